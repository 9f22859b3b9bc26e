#include "quorvantis/tree.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "quorvantis/random.hpp"

namespace quorvantis {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

enum class Kind { Continuous, Ties, AllTreated, WithNaN, ConstantColumn };

// Integer outcomes keep every sum exact, so trees grown with different
// orders of addition must agree bit for bit.
struct Data {
    std::size_t n = 0, p = 0;
    std::vector<double> x, t, y;

    Data(std::size_t rows, std::size_t cols, Kind kind, std::uint64_t seed) : n(rows), p(cols) {
        Rng rng(seed);
        x.resize(n * p);
        t.resize(n);
        y.resize(n);
        for (double& v : x) v = kind == Kind::Ties ? std::floor(rng.uniform() * 4.0) : rng.uniform();
        for (std::size_t i = 0; i < n; ++i) {
            if (kind == Kind::ConstantColumn && p > 0) x[i * p] = 3.0;
            if (kind == Kind::WithNaN && p > 0 && rng.uniform() < 0.1) x[i * p + rng.bounded(p)] = kNaN;
            t[i] = kind == Kind::AllTreated || rng.uniform() < 0.5 ? 1.0 : 0.0;
            const bool high = p > 0 && x[i * p] > 0.5;
            y[i] = static_cast<double>(rng.bounded(10)) + t[i] * (high ? 3.0 : 1.0);
        }
    }
    MatrixView features() const { return MatrixView::of(x.data(), n, p); }
    VectorView treatment() const { return VectorView::of(t.data(), n); }
    VectorView outcome() const { return VectorView::of(y.data(), n); }
};

void expect_same_nodes(const CausalTree& a, const CausalTree& b) {
    ASSERT_EQ(a.nodes().size(), b.nodes().size());
    for (std::size_t i = 0; i < a.nodes().size(); ++i) {
        const Node& x = a.nodes()[i];
        const Node& y = b.nodes()[i];
        ASSERT_EQ(x.index(), y.index()) << "node " << i;
        if (const auto* s = std::get_if<Split>(&x)) {
            const auto& o = std::get<Split>(y);
            EXPECT_EQ(s->feature, o.feature) << i;
            EXPECT_EQ(s->threshold, o.threshold) << i;
            EXPECT_EQ(s->left, o.left) << i;
            EXPECT_EQ(s->right, o.right) << i;
        } else {
            EXPECT_EQ(std::get<Leaf>(x).effect, std::get<Leaf>(y).effect) << i;
            EXPECT_EQ(std::get<Leaf>(x).n_samples, std::get<Leaf>(y).n_samples) << i;
        }
    }
}

struct Case {
    std::size_t n, p;
    Kind kind;
    std::uint64_t max_depth, min_samples_leaf;
};

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    const Case& c = info.param;
    static const char* const kinds[] = {"continuous", "ties", "all_treated", "nan", "constant"};
    std::ostringstream name;
    name << 'n' << c.n << "_p" << c.p << '_' << kinds[static_cast<int>(c.kind)] << "_depth" << c.max_depth << "_leaf"
         << c.min_samples_leaf;
    return name.str();
}

class FastMatchesPlain : public ::testing::TestWithParam<Case> {};

// The fast growers (binned draws, lazy estimation counts, block passes, and
// several trees per pass) must build exactly the trees of the plain
// recursion for the same seeds.
TEST_P(FastMatchesPlain, SameTreeForSameSeed) {
    const Case c = GetParam();
    const Data d(c.n, c.p, c.kind, c.n * 101 + c.p);
    // More trees than one batch holds where that is cheap.
    std::vector<std::uint64_t> seeds(c.n <= 2000 ? 12 : 3);
    std::iota(seeds.begin(), seeds.end(), std::uint64_t{1});
    const std::vector<CausalTree> batch =
        CausalTree::fit_batch(d.features(), d.treatment(), d.outcome(), c.max_depth, c.min_samples_leaf, seeds);
    ASSERT_EQ(batch.size(), seeds.size());
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        CausalTree single(c.p), plain(c.p);
        single.fit(d.features(), d.treatment(), d.outcome(), c.max_depth, c.min_samples_leaf, seeds[i]);
        plain.fit_reference(d.features(), d.treatment(), d.outcome(), c.max_depth, c.min_samples_leaf, seeds[i]);
        expect_same_nodes(single, plain);
        expect_same_nodes(batch[i], plain);
        EXPECT_EQ(single.feature_importance, plain.feature_importance);
        EXPECT_EQ(batch[i].feature_importance, plain.feature_importance);
        EXPECT_EQ(single.predict(d.features()), plain.predict(d.features()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Trees, FastMatchesPlain,
    ::testing::Values(Case{1, 3, Kind::Continuous, 5, 5}, Case{19, 4, Kind::Continuous, 5, 5},
                      Case{20, 4, Kind::Continuous, 5, 5}, Case{21, 2, Kind::Continuous, 5, 1},
                      Case{300, 16, Kind::Continuous, 5, 5}, Case{300, 16, Kind::Ties, 6, 1},
                      Case{400, 16, Kind::AllTreated, 5, 5}, Case{600, 9, Kind::WithNaN, 5, 3},
                      Case{300, 3, Kind::ConstantColumn, 5, 5}, Case{400, 0, Kind::Continuous, 5, 5},
                      Case{2000, 1, Kind::Continuous, 9, 2}, Case{1500, 300, Kind::Continuous, 3, 5},
                      Case{45000, 4, Kind::Ties, 5, 5}, Case{45000, 16, Kind::Continuous, 4, 40},
                      Case{40000, 30, Kind::Continuous, 3, 5}, Case{40000, 100, Kind::Continuous, 3, 5},
                      Case{140000, 4, Kind::Ties, 4, 5}),
    case_name);

TEST(Tree, OneRowIsALeafWithEffectZero) {
    const Data d(1, 2, Kind::Continuous, 3);
    CausalTree tree(2);
    tree.fit(d.features(), d.treatment(), d.outcome(), 5, 5, 9);
    ASSERT_EQ(tree.nodes().size(), 1u);
    EXPECT_EQ(std::get<Leaf>(tree.nodes()[0]).effect, 0.0);
    EXPECT_EQ(std::get<Leaf>(tree.nodes()[0]).n_samples, 1u);
    EXPECT_EQ(tree.predict(d.features()), std::vector<double>{0.0});
}

TEST(Tree, FewerThanTwentyRowsGiveTheEstimationHalfDifference) {
    for (const std::size_t n : {2u, 11u, 19u}) {
        const Data d(n, 3, Kind::Continuous, n);
        CausalTree tree(3);
        tree.fit(d.features(), d.treatment(), d.outcome(), 5, 5, 17);
        std::vector<std::uint64_t> split, est;
        CausalTree::honest_halves(n, 17, split, est);
        ASSERT_EQ(tree.nodes().size(), 1u);
        const Leaf& leaf = std::get<Leaf>(tree.nodes()[0]);
        EXPECT_EQ(leaf.n_samples, n - n / 2);
        EXPECT_EQ(leaf.effect, CausalTree::arm_mean_difference(d.treatment(), d.outcome(), est));
        EXPECT_EQ(tree.feature_importance, std::vector<double>(3, 0.0));
    }
}

TEST(Tree, TwentyRowsSplitIntoFiveAndFive) {
    int splits = 0;
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        const Data d(20, 3, Kind::Continuous, seed + 500);
        CausalTree tree(3);
        tree.fit(d.features(), d.treatment(), d.outcome(), 5, 5, seed);
        const auto* root = std::get_if<Split>(&tree.nodes()[0]);
        if (root == nullptr) continue;
        ++splits;
        std::vector<std::uint64_t> split, est;
        CausalTree::honest_halves(20, seed, split, est);
        std::size_t left = 0;
        for (const auto r : split) left += d.x[r * 3 + root->feature] <= root->threshold;
        EXPECT_EQ(left, 5u);
        EXPECT_TRUE(std::holds_alternative<Leaf>(tree.nodes()[root->left]));
        EXPECT_TRUE(std::holds_alternative<Leaf>(tree.nodes()[root->right]));
    }
    EXPECT_GT(splits, 0);
}

// Every valid draw scores 0: the node splits on the last candidate with a
// valid draw, at that candidate's first valid draw, and gains no importance.
TEST(Tree, AllTreatedNodeStillSplitsOnLastValidCandidate) {
    const std::size_t n = 60, p = 16;
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        Data d(n, p, Kind::AllTreated, seed);
        // Half the columns nearly constant, so some candidates have no valid draw.
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t f = 0; f < p; f += 2) d.x[i * p + f] = i % 29 == 0 ? 1.0 : 0.0;
        CausalTree tree(p);
        tree.fit(d.features(), d.treatment(), d.outcome(), 5, 5, seed);

        std::vector<std::uint64_t> split, est;
        CausalTree::honest_halves(n, seed, split, est);
        const std::uint64_t key = CausalTree::root_key(seed);
        const auto cands = CausalTree::candidate_features(p, key);
        std::optional<std::pair<std::uint64_t, double>> expected;
        for (std::size_t c = 0; c < cands.size(); ++c) {
            Rng draws = Rng::stream(key, 1 + c);
            for (int j = 0; j < 10; ++j) {
                const double theta = d.x[split[draws.bounded(split.size())] * p + cands[c]];
                std::size_t left = 0;
                for (const auto r : split) left += d.x[r * p + cands[c]] <= theta;
                if (left >= 5 && split.size() - left >= 5) {
                    expected = {cands[c], theta};
                    break;
                }
            }
        }
        if (!expected) {
            EXPECT_TRUE(std::holds_alternative<Leaf>(tree.nodes()[0]));
            continue;
        }
        const auto& root = std::get<Split>(tree.nodes()[0]);
        EXPECT_EQ(root.feature, expected->first) << seed;
        EXPECT_EQ(root.threshold, expected->second) << seed;
        EXPECT_EQ(tree.feature_importance, std::vector<double>(p, 0.0));
    }
}

TEST(Tree, CandidateCountIsFloorSqrtOfColumns) {
    const std::size_t expected[] = {0, 1, 1, 1, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 4};
    for (std::uint64_t p = 0; p <= 16; ++p) {
        const auto c = CausalTree::candidate_features(p, 1234 + p);
        ASSERT_EQ(c.size(), expected[p]) << p;
        for (std::size_t i = 0; i < c.size(); ++i) {
            EXPECT_LT(c[i], p);
            for (std::size_t j = 0; j < i; ++j) EXPECT_NE(c[i], c[j]);
        }
    }
}

TEST(Tree, HalvesAreUniformAndExact) {
    const std::size_t n = 9;
    std::vector<int> in_split(n, 0);
    const int rounds = 20000;
    for (int s = 0; s < rounds; ++s) {
        std::vector<std::uint64_t> split, est;
        CausalTree::honest_halves(n, static_cast<std::uint64_t>(s), split, est);
        ASSERT_EQ(split.size(), 4u);
        ASSERT_EQ(est.size(), 5u);
        for (const auto r : split) ++in_split[r];
    }
    for (const int c : in_split) EXPECT_NEAR(c, rounds * 4.0 / 9.0, rounds * 0.02);
}

TEST(Tree, NaNFollowsTheRightBranchAtPrediction) {
    const Data d(3000, 3, Kind::Continuous, 77);
    CausalTree tree(3);
    tree.fit(d.features(), d.treatment(), d.outcome(), 5, 5, 5);
    ASSERT_TRUE(std::holds_alternative<Split>(tree.nodes()[0]));
    auto extreme_leaf = [&](bool right) {
        std::uint32_t i = 0;
        while (const auto* s = std::get_if<Split>(&tree.nodes()[i])) i = right ? s->right : s->left;
        return std::get<Leaf>(tree.nodes()[i]).effect;
    };
    const std::vector<double> rows = {kNaN, kNaN, kNaN, kInf, kInf, kInf, -kInf, -kInf, -kInf};
    const auto out = tree.predict(MatrixView::of(rows.data(), 3, 3));
    EXPECT_EQ(out[0], extreme_leaf(true));
    EXPECT_EQ(out[1], extreme_leaf(true));
    EXPECT_EQ(out[2], extreme_leaf(false));
    EXPECT_TRUE(tree.predict(MatrixView::of(rows.data(), 0, 3)).empty());
}

TEST(Tree, UnfittedPredictsZerosAndCopiesAreDeep) {
    const Data d(500, 4, Kind::Continuous, 8);
    CausalTree empty(4);
    EXPECT_EQ(empty.predict(d.features()), std::vector<double>(500, 0.0));

    auto tree = std::make_unique<CausalTree>(4);
    tree->fit(d.features(), d.treatment(), d.outcome(), 5, 5, 3);
    const std::vector<double> before = tree->predict(d.features());
    const CausalTree copy = *tree;
    tree->fit(d.features(), d.treatment(), d.outcome(), 5, 5, 4);  // refit keeps adding importance
    tree.reset();
    EXPECT_EQ(copy.predict(d.features()), before);
}

TEST(Tree, ArmMeanDifferenceCountsHalfAsControl) {
    const std::vector<double> t = {1.0, 0.5, 0.0, 1.0, 0.0};
    const std::vector<double> y = {4.0, 10.0, 1.0, 6.0, 7.0};
    const auto tv = VectorView::of(t.data(), 5), yv = VectorView::of(y.data(), 5);
    const std::vector<std::uint64_t> all = {0, 1, 2, 3, 4}, treated_only = {0, 3}, none = {};
    EXPECT_DOUBLE_EQ(CausalTree::arm_mean_difference(tv, yv, all), 5.0 - 6.0);
    EXPECT_EQ(CausalTree::arm_mean_difference(tv, yv, treated_only), 0.0);
    EXPECT_EQ(CausalTree::arm_mean_difference(tv, yv, none), 0.0);
}

}  // namespace
}  // namespace quorvantis
