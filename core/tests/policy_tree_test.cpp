#include "quorvantis/engine/policy/policy_tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "quorvantis/engine/policy/prefix_tree.hpp"

namespace quorvantis::engine {
namespace {

// The prefix tree against plain prefix sums over random rows moving left.
TEST(PolicyPrefixTree, MatchesPlainPrefixSums) {
    std::mt19937 rng(3);
    for (const std::size_t bins : {1u, 2u, 5u, 17u}) {
        const std::size_t K = 3, n = 40;
        std::vector<std::size_t> bin(n);
        std::vector<double> r(n * K);
        PrefixTree tree;
        tree.reset(bins, K);
        for (std::size_t i = 0; i < n; ++i) {
            bin[i] = rng() % bins;
            for (std::size_t a = 0; a < K; ++a) r[i * K + a] = static_cast<double>(rng() % 7) - 3.0;
            tree.fill(PrefixTree::Right, bin[i], &r[i * K]);
        }
        tree.build();
        std::vector<bool> left(n, false);
        std::vector<double> out(tree.pairs());
        for (std::size_t moved = 0; moved <= n; ++moved) {
            for (const auto side : {PrefixTree::Left, PrefixTree::Right})
                for (std::size_t lo = 0; lo <= 6; lo += 3)
                    for (const std::size_t hi : {std::size_t{4}, std::size_t{n}}) {
                        tree.best_prefix(side, lo, hi, out.data());
                        for (std::size_t q = 0; q < tree.pairs(); ++q) {
                            double want = -std::numeric_limits<double>::infinity(), sum = 0.0;
                            std::size_t count = 0;
                            for (std::size_t L = 1; L <= bins; ++L) {
                                for (std::size_t i = 0; i < n; ++i)
                                    if (bin[i] == L - 1 && left[i] == (side == PrefixTree::Left)) {
                                        sum += r[i * K + tree.pair_first(q)] - r[i * K + tree.pair_second(q)];
                                        ++count;
                                    }
                                if (count >= lo && count <= hi) want = std::max(want, sum);
                            }
                            if (std::isinf(want)) {
                                EXPECT_EQ(out[q], want);
                            } else {
                                EXPECT_NEAR(out[q], want, 1e-9) << bins << " " << moved << " " << lo << " " << hi;
                            }
                            if (lo == 0 && hi == n) {
                                EXPECT_NEAR(tree.best_any(side)[q], want, 1e-9);
                            }
                        }
                    }
            if (moved < n) {
                tree.move_left(bin[moved], &r[moved * K]);
                left[moved] = true;
            }
        }
    }
}

TEST(PolicyTree, SameTreeForAnyThreadCountAndHaltsOnInterrupt) {
    std::mt19937 rng(7);
    std::normal_distribution<double> z;
    const std::size_t n = 3000, p = 4, K = 3;
    std::vector<double> x(n * p), r(n * K);
    for (double& v : x) v = z(rng) > 1.5 ? std::nan("") : std::round(z(rng) * 20);
    for (double& v : r) v = z(rng);
    const MatrixView xv = MatrixView::of(x.data(), n, p), rv = MatrixView::of(r.data(), n, K);
    PolicyOptions options;
    options.min_samples_leaf = 3;
    options.n_threads = 1;
    const auto one = fit_policy_tree(xv, rv, options);
    options.n_threads = 0;
    const auto all = fit_policy_tree(xv, rv, options);
    ASSERT_TRUE(one.ok() && all.ok());
    ASSERT_EQ(one.value().nodes.size(), all.value().nodes.size());
    for (std::size_t i = 0; i < one.value().nodes.size(); ++i) {
        const PolicyNode &a = one.value().nodes[i], &b = all.value().nodes[i];
        EXPECT_TRUE(a.feature == b.feature && a.threshold == b.threshold && a.missing_left == b.missing_left &&
                    a.action == b.action);
    }
    EXPECT_EQ(one.value().reward, all.value().reward);
    // Checkpoints poll the interrupt about every 20 ms, so the search must outlast that
    // whatever the machine's speed: a hundred times the rows.
    const std::size_t big = 100 * n;
    std::vector<double> bx(big * p), br(big * K);
    for (std::size_t i = 0; i < bx.size(); ++i) bx[i] = x[i % x.size()] + static_cast<double>(i / x.size());
    for (std::size_t i = 0; i < br.size(); ++i) br[i] = r[i % r.size()];
    options.n_threads = 1;
    const auto stopped = fit_policy_tree(MatrixView::of(bx.data(), big, p), MatrixView::of(br.data(), big, K), options,
                                         [] { return true; });
    ASSERT_TRUE(stopped.halted());
    EXPECT_EQ(stopped.halt(), Halt::Interrupted);
}

}  // namespace
}  // namespace quorvantis::engine
