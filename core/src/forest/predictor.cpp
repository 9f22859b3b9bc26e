#include "quorvantis/forest/predictor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "quorvantis/parallel.hpp"
#include "quorvantis/sampling/row_sampler.hpp"

namespace quorvantis::engine {
namespace {

constexpr std::size_t kRows = 4096;  // rows per block of a regression forest's pass
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool out_of_bag(const InBag* in_bag, std::size_t tree, std::size_t row) noexcept {
    return in_bag == nullptr || !bit(*(*in_bag)[tree], row);
}

}  // namespace

double objective_bayes_variance(double estimate, double se) noexcept {
    if (!(se > 0.0)) return std::max(estimate, 0.0);
    const double r = estimate / se;
    // estimate + se phi(r)/Phi(r). Far left the two terms nearly cancel, so
    // r + phi(r)/Phi(r) comes directly from the continued fraction of the
    // normal tail, 1 / (x + 2 / (x + 3 / (x + ...))) at x = -r.
    if (r > -8.0) {
        const double phi = std::exp(-0.5 * r * r) / std::sqrt(2.0 * M_PI);
        const double cdf = 0.5 * std::erfc(-r / std::sqrt(2.0));
        return estimate + se * phi / cdf;
    }
    const double x = -r;
    double tail = x;
    for (int k = 60; k >= 2; --k) tail = x + k / tail;
    return se / tail;
}

CausalPrediction predict_causal(const std::vector<ForestTree<CausalLeaf>>& trees, std::size_t group_size,
                                const CodedRows& x, bool variance, const InBag* in_bag) {
    const std::size_t n = x.rows, g = std::max<std::size_t>(1, group_size);
    const std::size_t used_trees = trees.size() / g * g;
    CausalPrediction out;
    out.tau.assign(n, kNaN);
    if (variance) out.variance.assign(n, kNaN);
    constexpr std::uint32_t kNone = ~std::uint32_t{0};
    // A tree's tables come from far away once per block, so blocks are large
    // (measured: 256 rows cost 2.6 times the time per row of 4096 with 500
    // trees); the leaf of every row in every tree is kept to 8 MiB per block.
    const std::size_t rows_per_block =
        std::clamp<std::size_t>((std::size_t{1} << 21) / std::max<std::size_t>(1, used_trees), 256, 4096);
    const std::size_t blocks = (n + rows_per_block - 1) / rows_per_block;
    parallel::parallel_for(blocks, [&](std::size_t blk) {
        parallel::checkpoint();
        const std::size_t lo = blk * rows_per_block, len = std::min(rows_per_block, n - lo);
        // The leaf of every row in every tree, kNone where the tree has no
        // answer (the row is in its bag, or its leaf is empty).
        std::vector<std::uint32_t> leaf(used_trees * len, kNone);
        std::vector<const std::uint8_t*> rows(len);
        std::vector<std::uint32_t> row_of(len), found(len);
        std::vector<double> sums(4 * len, 0.0), used(len, 0.0);
        // New rows meet every tree: their list is made once.
        if (in_bag == nullptr)
            for (std::size_t i = 0; i < len; ++i) {
                rows[i] = x.row(lo + i);
                row_of[i] = static_cast<std::uint32_t>(i);
            }
        for (std::size_t b = 0; b < used_trees; ++b) {
            std::size_t k = len;
            if (in_bag != nullptr) {
                k = 0;
                for (std::size_t i = 0; i < len; ++i) {
                    if (!out_of_bag(in_bag, b, lo + i)) continue;
                    rows[k] = x.row(lo + i);
                    row_of[k++] = static_cast<std::uint32_t>(i);
                }
            }
            if (b + 1 < used_trees) trees[b + 1].prefetch();
            trees[b].leaves_of(rows.data(), k, found.data());
            const CausalLeaf* leaves = trees[b].leaves.data();
            std::uint32_t* tree_leaf = leaf.data() + b * len;
            for (std::size_t q = 0; q < k; ++q) {
                const CausalLeaf& l = leaves[found[q]];
                if (l.n == 0.0) continue;
                const std::size_t i = row_of[q];
                tree_leaf[i] = found[q];
                double* s = sums.data() + 4 * i;
                s[0] += l.wy;
                s[1] += l.ww;
                s[2] += l.w;
                s[3] += l.y;
                used[i] += 1.0;
            }
        }
        std::vector<double> tau(len, kNaN), mu(len, kNaN);
        for (std::size_t i = 0; i < len; ++i) {
            if (used[i] == 0.0) continue;
            const double* s = sums.data() + 4 * i;
            const double e_wy = s[0] / used[i], e_ww = s[1] / used[i], e_w = s[2] / used[i], e_y = s[3] / used[i];
            tau[i] = (e_wy - e_w * e_y) / (e_ww - e_w * e_w);
            mu[i] = e_y - tau[i] * e_w;
            out.tau[lo + i] = tau[i];
        }
        if (!variance || g < 2) return;
        // Per good group and tree, psi = (W~Y~ - tau W~^2 - mu W~, Y~ - tau W~ - mu)
        // at the row's own tau and mu: second moments of the trees' psi and of
        // the groups' mean psi.
        // Tree by tree, so that one tree's leaves serve the whole block.
        std::vector<double> total(3 * len, 0.0), grouped(3 * len, 0.0), good(len, 0.0), mean(2 * len);
        std::vector<std::uint8_t> complete(len);
        for (std::size_t first = 0; first < used_trees; first += g) {
            for (std::size_t i = 0; i < len; ++i) {
                bool all = true;
                for (std::size_t j = 0; j < g; ++j) all &= leaf[(first + j) * len + i] != kNone;
                complete[i] = all;
            }
            std::fill(mean.begin(), mean.end(), 0.0);
            for (std::size_t j = 0; j < g; ++j) {
                const std::size_t b = first + j;
                if (b + 1 < used_trees) trees[b + 1].prefetch();
                const CausalLeaf* leaves = trees[b].leaves.data();
                const std::uint32_t* tree_leaf = leaf.data() + b * len;
                for (std::size_t i = 0; i < len; ++i) {
                    if (!complete[i]) continue;
                    const CausalLeaf& l = leaves[tree_leaf[i]];
                    const double p0 = l.wy - tau[i] * l.ww - mu[i] * l.w, p1 = l.y - tau[i] * l.w - mu[i];
                    double* t = total.data() + 3 * i;
                    t[0] += p0 * p0;
                    t[1] += p0 * p1;
                    t[2] += p1 * p1;
                    mean[2 * i] += p0;
                    mean[2 * i + 1] += p1;
                }
            }
            for (std::size_t i = 0; i < len; ++i) {
                if (!complete[i]) continue;
                const double m0 = mean[2 * i] / static_cast<double>(g), m1 = mean[2 * i + 1] / static_cast<double>(g);
                double* gr = grouped.data() + 3 * i;
                gr[0] += m0 * m0;
                gr[1] += m0 * m1;
                gr[2] += m1 * m1;
                good[i] += 1.0;
            }
        }
        for (std::size_t i = 0; i < len; ++i) {
            if (good[i] < 1.0) continue;
            const double* s = sums.data() + 4 * i;
            const double e_wy = s[0] / used[i], e_ww = s[1] / used[i], e_w = s[2] / used[i], e_y = s[3] / used[i];
            const double denom = e_ww - e_w * e_w;
            // psi at the forest's own averages, subtracted from both moments.
            const double c0 = e_wy - tau[i] * e_ww - mu[i] * e_w, c1 = e_y - tau[i] * e_w - mu[i];
            const double j0 = 1.0 / denom, j1 = -e_w / denom;
            auto quad = [&](const double* m, double count) {
                const double a00 = m[0] / count - c0 * c0, a01 = m[1] / count - c0 * c1, a11 = m[2] / count - c1 * c1;
                return j0 * j0 * a00 + 2.0 * j0 * j1 * a01 + j1 * j1 * a11;
            };
            const double var_total = quad(total.data() + 3 * i, good[i] * static_cast<double>(g));
            const double var_between = quad(grouped.data() + 3 * i, good[i]);
            const double noise = (var_total - var_between) / static_cast<double>(g - 1);
            const double se = std::max(var_between, noise) * std::sqrt(2.0 / good[i]);
            out.variance[lo + i] = objective_bayes_variance(var_between - noise, se);
        }
    });
    return out;
}

std::vector<double> predict_regression(const std::vector<ForestTree<RegressionLeaf>>& trees, const CodedRows& x,
                                       const InBag* in_bag) {
    const std::size_t n = x.rows;
    std::vector<double> out(n, kNaN);
    const std::size_t blocks = (n + kRows - 1) / kRows;
    parallel::parallel_for(blocks, [&](std::size_t blk) {
        parallel::checkpoint();
        const std::size_t lo = blk * kRows, len = std::min(kRows, n - lo);
        std::vector<double> sum(len, 0.0), used(len, 0.0);
        std::vector<const std::uint8_t*> rows(len);
        std::vector<std::uint32_t> row_of(len), found(len);
        auto pass = [&](bool out_of_bag_only) {
            for (std::size_t b = 0; b < trees.size(); ++b) {
                std::size_t k = 0;
                for (std::size_t i = 0; i < len; ++i) {
                    if (out_of_bag_only ? !out_of_bag(in_bag, b, lo + i) : used[i] > 0.0) continue;
                    rows[k] = x.row(lo + i);
                    row_of[k++] = static_cast<std::uint32_t>(i);
                }
                if (b + 1 < trees.size()) trees[b + 1].prefetch();
                trees[b].leaves_of(rows.data(), k, found.data());
                for (std::size_t q = 0; q < k; ++q) {
                    const RegressionLeaf& l = trees[b].leaves[found[q]];
                    if (l.n == 0.0) continue;
                    sum[row_of[q]] += l.y;
                    used[row_of[q]] += 1.0;
                }
            }
        };
        pass(true);
        // Rows that every tree sampled: the mean over all trees.
        bool unanswered = false;
        for (std::size_t i = 0; i < len; ++i) unanswered |= used[i] == 0.0;
        if (unanswered && in_bag != nullptr) pass(false);
        for (std::size_t i = 0; i < len; ++i)
            if (used[i] > 0.0) out[lo + i] = sum[i] / used[i];
    });
    return out;
}

}  // namespace quorvantis::engine
