#include "quorvantis/fixed/fixed_tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "quorvantis/fixed/honest_sampling.hpp"
#include "quorvantis/base/random.hpp"
#include "tree_oracle.hpp"

namespace quorvantis {
namespace fixed {}
namespace report {}
using namespace fixed;
using namespace report;
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
        std::mt19937_64 gen(seed);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        x.resize(n * p);
        t.resize(n);
        y.resize(n);
        for (double& v : x) v = kind == Kind::Ties ? std::floor(u(gen) * 4.0) : u(gen);
        for (std::size_t i = 0; i < n; ++i) {
            if (kind == Kind::ConstantColumn && p > 0) x[i * p] = 3.0;
            if (kind == Kind::WithNaN && p > 0 && u(gen) < 0.1) x[i * p + gen() % p] = kNaN;
            t[i] = kind == Kind::AllTreated || u(gen) < 0.5 ? 1.0 : 0.0;
            const bool high = p > 0 && x[i * p] > 0.5;
            y[i] = static_cast<double>(gen() % 10) + t[i] * (high ? 3.0 : 1.0);
        }
    }
    MatrixView features() const { return MatrixView::of(x.data(), n, p); }
    VectorView treatment() const { return VectorView::of(t.data(), n); }
    VectorView outcome() const { return VectorView::of(y.data(), n); }
};

// Choices from the standard library's generator, keyed by plain arithmetic:
// nothing in common with the production scheme.
class ScriptedChoices final : public TreeChoices {
public:
    explicit ScriptedChoices(std::uint64_t seed) : seed_(seed) {}
    std::vector<std::uint64_t> estimation_rows(std::size_t n) const override {
        std::vector<std::uint64_t> order(n);
        std::iota(order.begin(), order.end(), 0);
        std::mt19937_64 gen(seed_ * 7 + 3);
        std::shuffle(order.begin(), order.end(), gen);
        std::vector<std::uint64_t> bits((n + 63) / 64, 0);
        for (std::size_t i = n / 2; i < n; ++i) bits[order[i] / 64] |= std::uint64_t{1} << (order[i] % 64);
        return bits;
    }
    std::uint64_t root_key() const override { return seed_ * 1000003 + 1; }
    std::uint64_t child_key(std::uint64_t key, bool right) const override { return key * 31 + (right ? 2 : 1); }
    std::vector<std::uint64_t> candidates(std::uint64_t key, std::uint64_t p) const override {
        std::vector<std::uint64_t> all(p);
        std::iota(all.begin(), all.end(), 0);
        std::mt19937_64 gen(key);
        std::shuffle(all.begin(), all.end(), gen);
        all.resize(static_cast<std::size_t>(std::floor(std::sqrt(static_cast<double>(p)))));
        return all;
    }
    void draws(std::uint64_t key, std::size_t position, std::size_t count, std::uint64_t n,
               std::uint64_t* ranks) const override {
        std::mt19937_64 gen(key ^ (0x9e37 * (position + 1)));
        std::uniform_int_distribution<std::uint64_t> pick(0, n - 1);
        for (std::size_t j = 0; j < count; ++j) ranks[j] = pick(gen);
    }

private:
    std::uint64_t seed_;
};

// The fast tree's pre-order nodes against the oracle's linked nodes.
void expect_same_tree(const FixedTree& fast, const oracle::Tree& plain) {
    std::size_t i = 0;
    auto walk = [&](auto&& self, const oracle::Node& o) -> void {
        ASSERT_LT(i, fast.nodes().size());
        const Node& f = fast.nodes()[i++];
        if (o.is_leaf) {
            const auto* leaf = std::get_if<Leaf>(&f);
            ASSERT_NE(leaf, nullptr) << "node " << i - 1 << " should be a leaf";
            EXPECT_EQ(leaf->effect, o.effect) << i - 1;
            EXPECT_EQ(leaf->n_samples, o.n_samples) << i - 1;
            return;
        }
        const auto* split = std::get_if<Split>(&f);
        ASSERT_NE(split, nullptr) << "node " << i - 1 << " should split";
        EXPECT_EQ(split->feature, o.feature) << i - 1;
        EXPECT_EQ(split->threshold, o.threshold) << i - 1;
        EXPECT_EQ(split->left, i);
        self(self, *o.left);
        EXPECT_EQ(split->right, i);
        self(self, *o.right);
    };
    walk(walk, *plain.root);
    EXPECT_EQ(i, fast.nodes().size());
    EXPECT_EQ(fast.feature_importance, plain.importance);
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

class FastMatchesOracle : public ::testing::TestWithParam<Case> {};

// Several trees grown together from injected choices must each be the tree
// the oracle grows from the same choices; so must the production scheme's.
TEST_P(FastMatchesOracle, SameTreeForSameChoices) {
    const Case c = GetParam();
    const Data d(c.n, c.p, c.kind, c.n * 101 + c.p);
    const std::size_t count = c.n <= 2000 ? 5 : 2;
    std::vector<ScriptedChoices> scripted;
    for (std::size_t i = 0; i < count; ++i) scripted.emplace_back(i + 1);
    std::vector<const TreeChoices*> choices;
    for (const auto& s : scripted) choices.push_back(&s);
    const std::vector<GrownTree> grown =
        grow_trees(d.features(), d.treatment(), d.outcome(), c.max_depth, c.min_samples_leaf, choices);
    ASSERT_EQ(grown.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
        FixedTree fast(c.p);
        fast.fit(d.features(), d.treatment(), d.outcome(), c.max_depth, c.min_samples_leaf, scripted[i]);
        const oracle::Tree plain =
            oracle::Grower(d.features(), d.treatment(), d.outcome(), c.max_depth, c.min_samples_leaf, scripted[i])
                .fit();
        expect_same_tree(fast, plain);
    }
    const std::uint64_t seeds[] = {11, 12};
    const std::vector<FixedTree> keyed =
        FixedTree::fit_batch(d.features(), d.treatment(), d.outcome(), c.max_depth, c.min_samples_leaf, seeds);
    for (std::size_t i = 0; i < 2; ++i) {
        const KeyedChoices k(seeds[i]);
        expect_same_tree(
            keyed[i],
            oracle::Grower(d.features(), d.treatment(), d.outcome(), c.max_depth, c.min_samples_leaf, k).fit());
    }
}

INSTANTIATE_TEST_SUITE_P(Trees, FastMatchesOracle,
                         ::testing::Values(Case{1, 3, Kind::Continuous, 5, 5}, Case{19, 4, Kind::Continuous, 5, 5},
                                           Case{20, 4, Kind::Continuous, 5, 5}, Case{21, 2, Kind::Continuous, 5, 1},
                                           Case{300, 16, Kind::Continuous, 5, 5}, Case{300, 16, Kind::Ties, 6, 1},
                                           Case{400, 16, Kind::AllTreated, 5, 5}, Case{600, 9, Kind::WithNaN, 5, 3},
                                           Case{300, 3, Kind::ConstantColumn, 5, 5},
                                           Case{400, 0, Kind::Continuous, 5, 5}, Case{2000, 1, Kind::Continuous, 9, 2},
                                           Case{3000, 2, Kind::Ties, 12, 1}, Case{60, 3, Kind::Continuous, 7, 0},
                                           Case{1500, 300, Kind::Continuous, 3, 5}, Case{45000, 4, Kind::Ties, 5, 5},
                                           Case{45000, 16, Kind::Continuous, 4, 40},
                                           Case{40000, 30, Kind::Continuous, 3, 5},
                                           Case{40000, 100, Kind::Continuous, 3, 5}, Case{140000, 4, Kind::Ties, 4, 5}),
                         case_name);

TEST(Tree, CandidateCountIsFloorSqrtOfColumns) {
    const std::size_t expected[] = {0, 1, 1, 1, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 4};
    for (std::uint64_t p = 0; p <= 16; ++p) {
        EXPECT_EQ(candidate_count(p), expected[p]) << p;
        const auto c = KeyedChoices(p).candidates(1234 + p, p);
        ASSERT_EQ(c.size(), expected[p]) << p;
        for (std::size_t i = 0; i < c.size(); ++i) {
            EXPECT_LT(c[i], p);
            for (std::size_t j = 0; j < i; ++j) EXPECT_NE(c[i], c[j]);
        }
    }
    EXPECT_EQ(candidate_count(99), 9u);
    EXPECT_EQ(candidate_count(100), 10u);
}

TEST(Tree, HalvesAreUniformAndExact) {
    const std::size_t n = 9;
    std::vector<int> in_split(n, 0);
    const int rounds = 20000;
    for (int s = 0; s < rounds; ++s) {
        const auto bits = KeyedChoices(static_cast<std::uint64_t>(s)).estimation_rows(n);
        int split = 0;
        for (std::size_t r = 0; r < n; ++r)
            if (!is_estimation(bits, r)) {
                ++split;
                ++in_split[r];
            }
        ASSERT_EQ(split, 4);
    }
    for (const int c : in_split) EXPECT_NEAR(c, rounds * 4.0 / 9.0, rounds * 0.02);
}

TEST(Tree, NaNFollowsTheRightBranchAtPrediction) {
    const Data d(3000, 3, Kind::Continuous, 77);
    FixedTree tree(3);
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
    FixedTree empty(4);
    EXPECT_EQ(empty.predict(d.features()), std::vector<double>(500, 0.0));

    auto tree = std::make_unique<FixedTree>(4);
    tree->fit(d.features(), d.treatment(), d.outcome(), 5, 5, 3);
    const std::vector<double> before = tree->predict(d.features());
    const FixedTree copy = *tree;
    tree->fit(d.features(), d.treatment(), d.outcome(), 5, 5, 4);  // refit keeps adding importance
    tree.reset();
    EXPECT_EQ(copy.predict(d.features()), before);
}

}  // namespace
}  // namespace quorvantis
