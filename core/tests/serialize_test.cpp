#include "quorvantis/serialize.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "quorvantis/random.hpp"
#include "quorvantis/siphash.hpp"

namespace quorvantis {
namespace {

using Bytes = std::vector<unsigned char>;

struct Data {
    std::size_t n, p;
    std::vector<double> x, t, y;
    Data(std::size_t rows, std::size_t cols, std::uint64_t seed) : n(rows), p(cols), x(n * p), t(n), y(n) {
        Rng rng(seed);
        for (double& v : x) v = rng.uniform();
        for (std::size_t i = 0; i < n; ++i) {
            t[i] = rng.uniform() < 0.5 ? 1.0 : 0.0;
            y[i] = x[i * p + 1] + t[i] * (1.0 + 2.0 * (x[i * p] > 0.5)) + 0.2 * rng.uniform();
        }
    }
    MatrixView features() const { return MatrixView::of(x.data(), n, p); }
};

CausalForest fitted_forest(std::uint64_t n_trees, std::uint64_t max_depth) {
    const Data d(400, 4, 3);
    CausalForest forest;
    forest.n_trees = n_trees;
    forest.max_depth = max_depth;
    EXPECT_TRUE(forest.fit_result(d.features(), VectorView::of(d.t.data(), d.n), VectorView::of(d.y.data(), d.n), 11)
                    .ok());
    return forest;
}

std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (const double d : v) out.push_back(std::bit_cast<std::uint64_t>(d));
    return out;
}

std::vector<std::uint64_t> predictions(const Estimator& e, const Data& d) {
    const auto r = std::visit([&](const auto& m) { return m.predict(d.features()); }, e);
    return r ? bits(r.value().predictions) : std::vector<std::uint64_t>{};
}

// Recomputes the checksum so that a change reaches the structural checks.
void reseal(Bytes& b) {
    const std::uint64_t h = siphash13(std::span<const unsigned char>(b.data(), b.size() - 8), kSerialKey[0],
                                      kSerialKey[1]);
    for (int i = 0; i < 8; ++i) b[b.size() - 8 + i] = static_cast<unsigned char>(h >> (8 * i));
}

void put(Bytes& b, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// Either refused with a reason, or a valid estimator whose bytes are exactly
// these: nothing decodes to something other than what it encodes.
void expect_refused_or_faithful(const Bytes& b, const Data& d) {
    const Decoded got = deserialize(b);
    if (!got.estimator) {
        EXPECT_FALSE(got.error.empty());
        return;
    }
    EXPECT_EQ(serialize(*got.estimator), b);
    predictions(*got.estimator, d);  // must not fault whatever the tree
}

TEST(Serialize, RoundTripIsExact) {
    const Data d(300, 4, 5);
    LinearCausalModel nan_linear;
    nan_linear.effect = std::bit_cast<double>(0x7ff8dead00000001ULL);
    LinearCausalModel linear;
    linear.effect = -1.25;
    const Estimator cases[] = {fitted_forest(10, 5), fitted_forest(2, 12), linear, nan_linear};
    for (const Estimator& original : cases) {
        const Bytes bytes = serialize(original);
        const Decoded back = deserialize(bytes);
        ASSERT_TRUE(back.estimator) << back.error;
        EXPECT_EQ(serialize(*back.estimator), bytes);
        EXPECT_EQ(predictions(*back.estimator, d), predictions(original, d));
        ASSERT_EQ(back.estimator->index(), original.index());
        if (const auto* f = std::get_if<CausalForest>(&original)) {
            const auto& g = std::get<CausalForest>(*back.estimator);
            EXPECT_EQ(g.n_trees, f->n_trees);
            EXPECT_EQ(g.max_depth, f->max_depth);
            EXPECT_EQ(g.n_features, f->n_features);
            ASSERT_EQ(g.trees.size(), f->trees.size());
            for (std::size_t i = 0; i < g.trees.size(); ++i) {
                EXPECT_EQ(g.trees[i].depth(), f->trees[i].depth());
                EXPECT_EQ(bits(g.trees[i].feature_importance), bits(f->trees[i].feature_importance));
            }
        }
    }
}

TEST(Serialize, UnfittedForestIsRefused) {
    EXPECT_NE(deserialize(serialize(CausalForest{})).error.find("not fitted"), std::string::npos);
}

TEST(Serialize, EveryTruncationIsRefused) {
    for (const Estimator& e : {Estimator(fitted_forest(3, 3)), Estimator(LinearCausalModel{})}) {
        const Bytes full = serialize(e);
        for (std::size_t k = 0; k < full.size(); ++k) {
            const Decoded got = deserialize(std::span<const unsigned char>(full.data(), k));
            EXPECT_FALSE(got.estimator) << "prefix of " << k << " bytes accepted";
        }
    }
}

TEST(Serialize, EveryByteFlipIsRefusedOrFaithful) {
    const Data d(50, 4, 8);
    const Bytes full = serialize(fitted_forest(3, 3));
    std::size_t refused = 0, tried = 0;
    for (std::size_t i = 0; i < full.size(); ++i) {
        for (const unsigned char mask : {0x01, 0x80, 0xff}) {
            Bytes b = full;
            b[i] ^= mask;
            ++tried;
            refused += !deserialize(b).estimator;
            // With the checksum repaired the structural checks must hold alone.
            reseal(b);
            expect_refused_or_faithful(b, d);
        }
    }
    EXPECT_EQ(refused, tried);  // the checksum sees every flip outside itself, and itself
}

TEST(Serialize, ForeignBytesAreRefused) {
    std::vector<Bytes> inputs = {{}, {'h', 'e', 'l', 'l', 'o'}, {0x80, 0x04, 0x95}, {0x89, 'P', 'N', 'G'}};
    Bytes magic_only = serialize(LinearCausalModel{});
    magic_only.resize(8);
    inputs.push_back(magic_only);
    Rng rng(42);
    for (int i = 0; i < 200; ++i) {
        Bytes b(rng.bounded(200));
        for (auto& c : b) c = static_cast<unsigned char>(rng.next());
        inputs.push_back(b);
    }
    for (const Bytes& b : inputs) EXPECT_FALSE(deserialize(b).estimator);
}

// A hand-built forest of one tree: split on feature 0 at 0.5 into two leaves.
// Offsets: forest header at 20, importances at 60, node count at 76, nodes
// at 84 (split, 25 bytes), 109 and 126 (leaves, 17 bytes each).
Bytes tiny() {
    CausalForest forest;
    forest.n_trees = 1;
    forest.max_depth = 1;
    forest.n_features = 2;
    auto tree = CausalTree::from_nodes({Split{0, 0.5, 1, 2}, Leaf{1.0, 3}, Leaf{2.0, 4}}, {0.25, 0.0});
    EXPECT_TRUE(tree.ok());
    forest.trees.push_back(std::move(tree).value());
    return serialize(forest);
}

struct Fault {
    const char* reason;  // expected in the error text
    void (*spoil)(Bytes&);
};

const Fault kFaults[] = {
    {"format version 2", [](Bytes& b) { put(b, 8, 2, 2); }},
    {"estimator kind 7", [](Bytes& b) { put(b, 10, 7, 1); }},
    {"reserved header byte", [](Bytes& b) { put(b, 11, 1, 1); }},
    {"trailing bytes", [](Bytes& b) { b.insert(b.end() - 8, 0); }},
    {"left over", [](Bytes& b) { b.insert(b.end() - 8, 0); put(b, 12, b.size() - 28, 8); }},
    {"payload is truncated", [](Bytes& b) { b[10] = 2; put(b, 12, 4, 8); b.resize(20 + 4 + 8); }},
    {"min_samples_leaf is 0", [](Bytes& b) { put(b, 36, 0, 8); }},
    {"but n_trees is 2", [](Bytes& b) { put(b, 20, 2, 8); }},
    {"no trees (not fitted)", [](Bytes& b) { put(b, 52, 0, 8); }},
    {"n_features 99", [](Bytes& b) { put(b, 44, 99, 8); }},
    {"tree count", [](Bytes& b) { put(b, 20, 1000, 8); put(b, 52, 1000, 8); }},
    {"importance of feature 1", [](Bytes& b) { put(b, 68, std::bit_cast<std::uint64_t>(-1.0), 8); }},
    {"has no nodes", [](Bytes& b) { put(b, 76, 0, 8); }},
    {"node count exceeds", [](Bytes& b) { put(b, 76, 1ULL << 40, 8); }},
    {"nodes after the end", [](Bytes& b) { put(b, 76, 4, 8); b.insert(b.end() - 8, b.begin() + 109, b.begin() + 126); put(b, 12, b.size() - 28, 8); }},
    {"node count exceeds", [](Bytes& b) { put(b, 76, 4, 8); }},
    {"truncated in node 2", [](Bytes& b) { b.erase(b.end() - 9); put(b, 12, b.size() - 28, 8); }},
    {"unknown tag 9", [](Bytes& b) { put(b, 109, 9, 1); }},
    {"split feature 2 out of range", [](Bytes& b) { put(b, 85, 2, 8); }},
    {"threshold is not finite", [](Bytes& b) { put(b, 93, std::bit_cast<std::uint64_t>(std::nan("")), 8); }},
    {"left child is not the next node", [](Bytes& b) { put(b, 101, 0, 4); }},
    {"left child is not the next node", [](Bytes& b) { put(b, 101, 2, 4); }},
    {"right child does not follow", [](Bytes& b) { put(b, 105, 1, 4); }},
    {"right child does not follow", [](Bytes& b) { put(b, 105, 0xffffffff, 4); }},
    {"exceeds max_depth 0", [](Bytes& b) { put(b, 28, 0, 8); }},
};

TEST(Serialize, StructuralFaultsAreNamed) {
    ASSERT_TRUE(deserialize(tiny()).estimator);
    for (const Fault& f : kFaults) {
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

TEST(Serialize, FromNodesKeepsPredictionsOfTheGrownTree) {
    const CausalForest forest = fitted_forest(1, 5);
    const CausalTree& grown = forest.trees[0];
    auto rebuilt = CausalTree::from_nodes(grown.nodes(), grown.feature_importance);
    ASSERT_TRUE(rebuilt.ok());
    const Data d(500, 4, 9);
    EXPECT_EQ(bits(rebuilt.value().predict(d.features())), bits(grown.predict(d.features())));
    EXPECT_EQ(rebuilt.value().depth(), grown.depth());
    EXPECT_FALSE(CausalTree::from_nodes({}, {}).value().fitted());
}

}  // namespace
}  // namespace quorvantis
