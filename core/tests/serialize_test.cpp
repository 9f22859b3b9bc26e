#include "quorvantis/fixed/fixed_codec.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "quorvantis/base/random.hpp"
#include "quorvantis/base/siphash.hpp"

namespace quorvantis {
namespace fixed {}
namespace report {}
using namespace fixed;
using namespace report;
namespace {

using Bytes = std::vector<unsigned char>;

std::vector<double> uniform(std::size_t n, std::uint64_t seed) {
    Rng rng(seed);
    std::vector<double> v(n);
    for (double& x : v) x = rng.uniform();
    return v;
}

// Settings other than the defaults are what no fit from Python produces.
FixedForest fitted_forest(std::size_t n = 400, std::uint64_t seed = 11, std::uint64_t n_trees = 10,
                          std::uint64_t max_depth = 5, std::uint64_t min_samples_leaf = 5) {
    const std::vector<double> x = uniform(n * 4, 3), u = uniform(n, 4);
    std::vector<double> t(n), y(n);
    for (std::size_t i = 0; i < n; ++i) {
        t[i] = u[i] < 0.5;
        y[i] = x[i * 4 + 1] + t[i] * (1.0 + 2.0 * (x[i * 4] > 0.5)) + 0.1 * u[(i * 7) % n];
    }
    FixedForest forest;
    forest.n_trees = n_trees;
    forest.max_depth = max_depth;
    forest.min_samples_leaf = min_samples_leaf;
    EXPECT_TRUE(forest.fit_result(MatrixView::of(x.data(), n, 4), VectorView::of(t.data(), n),
                                  VectorView::of(y.data(), n), seed));
    return forest;
}

std::vector<std::uint64_t> predictions(const Estimator& e) {
    static const std::vector<double> x = uniform(300 * 4, 5);
    const auto r = std::visit([&](const auto& m) { return m.predict(MatrixView::of(x.data(), 300, 4)); }, e);
    std::vector<std::uint64_t> out;
    if (r)
        for (const double v : r.value().predictions) out.push_back(std::bit_cast<std::uint64_t>(v));
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
    for (const Estimator& original :
         {Estimator(fitted_forest()), Estimator(fitted_forest(60, 12)), Estimator(linear), Estimator(nan_linear)}) {
        const Bytes bytes = serialize(original);
        const Decoded back = deserialize(bytes);
        ASSERT_TRUE(back.estimator) << back.error;
        EXPECT_EQ(back.estimator->index(), original.index());
        EXPECT_EQ(serialize(*back.estimator), bytes);  // every field, bit for bit
        EXPECT_EQ(predictions(*back.estimator), predictions(original));
    }
}

TEST(Serialize, OnlyTheSettingsEveryFitUsesDecode) {
    const struct {
        FixedForest forest;
        const char* reason;
    } cases[] = {
        {fitted_forest(400, 11, 2), "n_trees is 2, expected 10"},
        {fitted_forest(400, 11, 10, 12), "max_depth is 12, expected 5"},
        {fitted_forest(400, 11, 10, 5, 1), "min_samples_leaf is 1, expected 5"},
    };
    for (const auto& c : cases) EXPECT_EQ(deserialize(serialize(c.forest)).error, c.reason);
}

TEST(Serialize, TruncatedOrForeignBytesAreRefused) {
    std::vector<Bytes> inputs = {{'h', 'e', 'l', 'l', 'o'}, {0x80, 0x04, 0x95}, serialize(FixedForest{})};
    for (const Estimator& e : {Estimator(fitted_forest(60)), Estimator(LinearCausalModel{})}) {
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
    const Bytes full = serialize(fitted_forest(60));
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

// Ten trees, each a split on feature 0 at 0.5 into two leaves (83 bytes)
// unless `first` says otherwise. Offsets: forest header at 20 (n_trees,
// max_depth, min_samples_leaf, n_features, tree count), the first tree's
// importances at 60, node count at 76, nodes at 84 (split: feature 85,
// threshold 93, left 101, right 105), 109 and 126 (leaves); the next tree at 143.
Bytes tiny(std::vector<Node> first = {Split{0, 0.5, 1, 2}, Leaf{1.0, 3}, Leaf{2.0, 4}}) {
    FixedForest forest;
    forest.n_features = 2;
    forest.trees.push_back(FixedTree::from_nodes(std::move(first), {0.25, 0.0}).value());
    while (forest.trees.size() < forest.n_trees)
        forest.trees.push_back(
            FixedTree::from_nodes({Split{0, 0.5, 1, 2}, Leaf{1.0, 3}, Leaf{2.0, 4}}, {0.25, 0.0}).value());
    return serialize(forest);
}

// Copies bytes [from, to) to `at` (default: the payload's end).
void grow(Bytes& b, std::size_t from, std::size_t to, std::size_t at = 0) {
    const Bytes copied(b.begin() + from, b.begin() + to);
    b.insert(at ? b.begin() + at : b.end() - 8, copied.begin(), copied.end());
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
    {"linear payload is truncated",
     [](Bytes& b) {
         b[10] = 2;
         put(b, 12, 4, 8);
         b.resize(32);
     }},
    {"n_trees is 2, expected 10", [](Bytes& b) { put(b, 20, 2, 8); }},
    {"max_depth is 6, expected 5", [](Bytes& b) { put(b, 28, 6, 8); }},
    {"min_samples_leaf is 0, expected 5", [](Bytes& b) { put(b, 36, 0, 8); }},
    {"no trees (not fitted)", [](Bytes& b) { put(b, 52, 0, 8); }},
    {"has 2 trees but n_trees is 10", [](Bytes& b) { put(b, 52, 2, 8); }},
    {"n_features 999", [](Bytes& b) { put(b, 44, 999, 8); }},
    {"tree count 10 exceeds",
     [](Bytes& b) {
         b.erase(b.begin() + 60 + 4 * 83, b.end() - 8);
         put(b, 12, b.size() - 28, 8);
     }},
    {"importance of feature 1", [](Bytes& b) { put(b, 68, std::bit_cast<std::uint64_t>(-1.0), 8); }},
    {"has no nodes", [](Bytes& b) { put(b, 76, 0, 8); }},
    {"node count exceeds", [](Bytes& b) { put(b, 76, 1000, 8); }},
    {"tree 0: nodes after the end",
     [](Bytes& b) {
         put(b, 76, 4, 8);
         grow(b, 109, 126, 143);
     }},
    {"truncated in node 2",
     [](Bytes& b) {
         b.erase(b.end() - 9);
         put(b, 12, b.size() - 28, 8);
     }},
    {"unknown tag 9", [](Bytes& b) { put(b, 109, 9, 1); }},
    {"split feature 2 out of range", [](Bytes& b) { put(b, 85, 2, 8); }},
    {"threshold is not finite", [](Bytes& b) { put(b, 93, std::bit_cast<std::uint64_t>(HUGE_VAL), 8); }},
    {"left child is not the next node", [](Bytes& b) { put(b, 101, 0, 4); }},  // a cycle
    {"left child is not the next node", [](Bytes& b) { put(b, 101, 2, 4); }},
    {"right child does not follow", [](Bytes& b) { put(b, 105, 1, 4); }},  // shared child
    {"right child does not follow", [](Bytes& b) { put(b, 105, 0xffffffff, 4); }},
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
    // A tree deeper than the forest's max_depth: six splits down the right.
    std::vector<Node> chain;
    for (std::uint32_t d = 0; d < 6; ++d) {
        chain.emplace_back(Split{0, 0.5, 2 * d + 1, 2 * d + 2});
        chain.emplace_back(Leaf{1.0, 5});
    }
    chain.emplace_back(Leaf{2.0, 5});
    EXPECT_EQ(deserialize(tiny(chain)).error, "tree 0: depth 6 exceeds max_depth 5");
    Bytes b = tiny();
    b[50] ^= 1;
    EXPECT_NE(deserialize(b).error.find("checksum mismatch"), std::string::npos);
}

}  // namespace
}  // namespace quorvantis
