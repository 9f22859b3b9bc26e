#include "quorvantis/serialize.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "quorvantis/random.hpp"
#include "quorvantis/siphash.hpp"

namespace quorvantis {
namespace {

using Bytes = std::vector<unsigned char>;

std::vector<double> uniform(std::size_t n, std::uint64_t seed) {
    Rng rng(seed);
    std::vector<double> v(n);
    for (double& x : v) x = rng.uniform();
    return v;
}

CausalForest fitted_forest(std::uint64_t n_trees, std::uint64_t max_depth) {
    const std::size_t n = 400;
    const std::vector<double> x = uniform(n * 4, 3), u = uniform(n, 4);
    std::vector<double> t(n), y(n);
    for (std::size_t i = 0; i < n; ++i) {
        t[i] = u[i] < 0.5;
        y[i] = x[i * 4 + 1] + t[i] * (1.0 + 2.0 * (x[i * 4] > 0.5)) + 0.1 * u[(i * 7) % n];
    }
    CausalForest forest;
    forest.n_trees = n_trees;
    forest.max_depth = max_depth;
    EXPECT_TRUE(forest.fit_result(MatrixView::of(x.data(), n, 4), VectorView::of(t.data(), n),
                                  VectorView::of(y.data(), n), 11));
    return forest;
}

std::vector<std::uint64_t> predictions(const Estimator& e) {
    static const std::vector<double> x = uniform(300 * 4, 5);
    const auto r = std::visit([&](const auto& m) { return m.predict(MatrixView::of(x.data(), 300, 4)); }, e);
    std::vector<std::uint64_t> out;
    if (r) for (const double v : r.value().predictions) out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}

void put(Bytes& b, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// Recomputes the checksum so that a change reaches the structural checks.
void reseal(Bytes& b) {
    put(b, b.size() - 8, siphash13({b.data(), b.size() - 8}, kSerialKey[0], kSerialKey[1]), 8);
}

TEST(Serialize, RoundTripIsExact) {
    LinearCausalModel linear, nan_linear;
    linear.effect = -1.25;
    nan_linear.effect = std::bit_cast<double>(0x7ff8dead00000001ULL);
    for (const Estimator& original : {Estimator(fitted_forest(10, 5)), Estimator(fitted_forest(2, 12)),
                                      Estimator(linear), Estimator(nan_linear)}) {
        const Bytes bytes = serialize(original);
        const Decoded back = deserialize(bytes);
        ASSERT_TRUE(back.estimator) << back.error;
        EXPECT_EQ(back.estimator->index(), original.index());
        EXPECT_EQ(serialize(*back.estimator), bytes);  // every field, bit for bit
        EXPECT_EQ(predictions(*back.estimator), predictions(original));
    }
}

TEST(Serialize, TruncatedOrForeignBytesAreRefused) {
    std::vector<Bytes> inputs = {{'h', 'e', 'l', 'l', 'o'}, {0x80, 0x04, 0x95}, serialize(CausalForest{})};
    for (const Estimator& e : {Estimator(fitted_forest(3, 3)), Estimator(LinearCausalModel{})}) {
        const Bytes full = serialize(e);
        for (std::size_t k = 0; k < full.size(); ++k) inputs.emplace_back(full.begin(), full.begin() + k);
    }
    Rng rng(42);
    for (int i = 0; i < 200; ++i) {
        Bytes b(rng.bounded(200));
        for (auto& c : b) c = static_cast<unsigned char>(rng.next());
        inputs.push_back(b);
    }
    for (const Bytes& b : inputs) {
        const Decoded got = deserialize(b);
        EXPECT_FALSE(got.estimator);
        EXPECT_FALSE(got.error.empty());
    }
}

TEST(Serialize, EveryByteFlipIsRefusedAndResealedFlipsDecodeFaithfullyOrNotAtAll) {
    const Bytes full = serialize(fitted_forest(3, 3));
    for (std::size_t i = 0; i < full.size(); ++i) {
        for (const unsigned char mask : {0x01, 0x80, 0xff}) {
            Bytes b = full;
            b[i] ^= mask;
            EXPECT_FALSE(deserialize(b).estimator) << "flip at " << i;
            // With the checksum repaired, the structural checks stand alone:
            // what they accept must encode to exactly these bytes and predict.
            reseal(b);
            const Decoded got = deserialize(b);
            if (got.estimator) {
                EXPECT_EQ(serialize(*got.estimator), b);
                predictions(*got.estimator);
            }
        }
    }
}

// One tree: split on feature 0 at 0.5 into two leaves. Offsets: forest header
// at 20 (n_trees, max_depth, min_samples_leaf, n_features, tree count),
// importances at 60, node count at 76, nodes at 84 (split: feature 85,
// threshold 93, left 101, right 105), 109 and 126 (leaves).
Bytes tiny() {
    CausalForest forest;
    forest.n_trees = 1;
    forest.max_depth = 1;
    forest.n_features = 2;
    forest.trees.push_back(CausalTree::from_nodes({Split{0, 0.5, 1, 2}, Leaf{1.0, 3}, Leaf{2.0, 4}}, {0.25, 0.0}).value());
    return serialize(forest);
}

void grow(Bytes& b, std::size_t from, std::size_t to) {
    b.insert(b.end() - 8, b.begin() + from, b.begin() + to);
    put(b, 12, b.size() - 28, 8);
}

const struct {
    const char* reason;  // expected in the error text
    void (*spoil)(Bytes&);
} kFaults[] = {
    {"format version 2", [](Bytes& b) { put(b, 8, 2, 2); }},
    {"estimator kind 7", [](Bytes& b) { put(b, 10, 7, 1); }},
    {"reserved header byte", [](Bytes& b) { put(b, 11, 1, 1); }},
    {"1 trailing bytes", [](Bytes& b) { b.insert(b.end() - 8, 0); }},
    {"1 bytes left over", [](Bytes& b) { grow(b, 0, 1); }},
    {"linear payload is truncated", [](Bytes& b) { b[10] = 2; put(b, 12, 4, 8); b.resize(32); }},
    {"no trees (not fitted)", [](Bytes& b) { put(b, 52, 0, 8); }},
    {"but n_trees is 2", [](Bytes& b) { put(b, 20, 2, 8); }},
    {"min_samples_leaf is 0", [](Bytes& b) { put(b, 36, 0, 8); }},
    {"n_features 99", [](Bytes& b) { put(b, 44, 99, 8); }},
    {"tree count 1000 exceeds", [](Bytes& b) { put(b, 20, 1000, 8); put(b, 52, 1000, 8); }},
    {"importance of feature 1", [](Bytes& b) { put(b, 68, std::bit_cast<std::uint64_t>(-1.0), 8); }},
    {"has no nodes", [](Bytes& b) { put(b, 76, 0, 8); }},
    {"node count exceeds", [](Bytes& b) { put(b, 76, 4, 8); }},
    {"nodes after the end", [](Bytes& b) { put(b, 76, 4, 8); grow(b, 109, 126); }},
    {"truncated in node 2", [](Bytes& b) { b.erase(b.end() - 9); put(b, 12, b.size() - 28, 8); }},
    {"unknown tag 9", [](Bytes& b) { put(b, 109, 9, 1); }},
    {"split feature 2 out of range", [](Bytes& b) { put(b, 85, 2, 8); }},
    {"threshold is not finite", [](Bytes& b) { put(b, 93, std::bit_cast<std::uint64_t>(HUGE_VAL), 8); }},
    {"left child is not the next node", [](Bytes& b) { put(b, 101, 0, 4); }},  // a cycle
    {"left child is not the next node", [](Bytes& b) { put(b, 101, 2, 4); }},
    {"right child does not follow", [](Bytes& b) { put(b, 105, 1, 4); }},  // shared child
    {"right child does not follow", [](Bytes& b) { put(b, 105, 0xffffffff, 4); }},
    {"exceeds max_depth 0", [](Bytes& b) { put(b, 28, 0, 8); }},
};

TEST(Serialize, StructuralFaultsAreNamed) {
    ASSERT_TRUE(deserialize(tiny()).estimator);
    for (const auto& f : kFaults) {
        Bytes b = tiny();
        f.spoil(b);
        reseal(b);
        const Decoded got = deserialize(b);
        ASSERT_FALSE(got.estimator) << f.reason;
        EXPECT_NE(got.error.find(f.reason), std::string::npos) << got.error << " / wanted: " << f.reason;
    }
    Bytes b = tiny();
    b[50] ^= 1;
    EXPECT_NE(deserialize(b).error.find("checksum mismatch"), std::string::npos);
}

}  // namespace
}  // namespace quorvantis
