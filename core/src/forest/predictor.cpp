#include "quorvantis/forest/predictor.hpp"

#include <cmath>
#include <limits>

#include "quorvantis/parallel.hpp"
#include "quorvantis/sampling/row_sampler.hpp"

namespace quorvantis::engine {
namespace {

constexpr std::size_t kRows = 1024;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The 15 products of (wy, ww, w, y, 1) with itself, upper triangle.
constexpr std::size_t kDim = 5;
constexpr std::size_t kPairs = kDim * (kDim + 1) / 2;

void add_outer(double* acc, const double* s) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < kDim; ++i)
        for (std::size_t j = i; j < kDim; ++j) acc[k++] += s[i] * s[j];
}

double at(const double* sym, std::size_t i, std::size_t j) noexcept {
    if (i > j) std::swap(i, j);
    // Row i of the upper triangle starts after i rows of decreasing length.
    return sym[i * kDim - i * (i - 1) / 2 + (j - i)];
}

// (A S A^T) for A the 2 x 5 map of s to psi, as [a00, a01, a11].
void psi_moments(const double* sym, double tau, double mu, double out[3]) noexcept {
    const double a[2][kDim] = {{1.0, -tau, -mu, 0.0, 0.0}, {0.0, 0.0, -tau, 1.0, -mu}};
    for (int r = 0; r < 2; ++r)
        for (int c = r; c < 2; ++c) {
            double v = 0.0;
            for (std::size_t i = 0; i < kDim; ++i)
                for (std::size_t j = 0; j < kDim; ++j) v += a[r][i] * at(sym, i, j) * a[c][j];
            out[r == 0 ? c : 2] = v;
        }
}

struct RowSums {
    double s[4] = {0, 0, 0, 0};  // wy, ww, w, y
    double used = 0.0;
    double total[kPairs] = {};
    double grouped[kPairs] = {};
    double good_trees = 0.0, good_groups = 0.0;
};

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
                                const CodedRows& x, std::uint8_t missing_code, bool variance, const InBag* in_bag) {
    const std::size_t n = x.rows, g = std::max<std::size_t>(1, group_size);
    CausalPrediction out;
    out.tau.assign(n, kNaN);
    if (variance) out.variance.assign(n, kNaN);
    const std::size_t blocks = (n + kRows - 1) / kRows;
    parallel::parallel_for(blocks, [&](std::size_t blk) {
        parallel::checkpoint();
        const std::size_t lo = blk * kRows, len = std::min(kRows, n - lo);
        std::vector<RowSums> acc(len);
        std::vector<const std::uint8_t*> rows(len);
        std::vector<std::uint32_t> row_of(len);
        // Per tree of the current group, the leaf of each row (null: none).
        std::vector<const CausalLeaf*> leaf(g * len);
        std::vector<std::uint32_t> found(len);
        for (std::size_t first = 0; first + g <= trees.size(); first += g) {
            for (std::size_t j = 0; j < g; ++j) {
                const std::size_t b = first + j;
                // The rows this tree may answer for: all, or those out of its bag.
                std::size_t k = 0;
                for (std::size_t i = 0; i < len; ++i) {
                    leaf[j * len + i] = nullptr;
                    if (!out_of_bag(in_bag, b, lo + i)) continue;
                    rows[k] = x.row(lo + i);
                    row_of[k++] = static_cast<std::uint32_t>(i);
                }
                trees[b].leaves_of(rows.data(), k, missing_code, found.data());
                for (std::size_t q = 0; q < k; ++q) {
                    const CausalLeaf& l = trees[b].leaves[found[q]];
                    if (l.n > 0.0) leaf[j * len + row_of[q]] = &l;
                }
            }
            for (std::size_t i = 0; i < len; ++i) {
                RowSums& a = acc[i];
                bool good = true;
                for (std::size_t j = 0; j < g; ++j) {
                    const CausalLeaf* l = leaf[j * len + i];
                    if (l == nullptr) {
                        good = false;
                        continue;
                    }
                    a.s[0] += l->wy;
                    a.s[1] += l->ww;
                    a.s[2] += l->w;
                    a.s[3] += l->y;
                    a.used += 1.0;
                }
                if (!variance || !good) continue;
                double mean[kDim] = {0, 0, 0, 0, 1.0};
                for (std::size_t j = 0; j < g; ++j) {
                    const CausalLeaf* l = leaf[j * len + i];
                    const double s[kDim] = {l->wy, l->ww, l->w, l->y, 1.0};
                    add_outer(a.total, s);
                    for (std::size_t k = 0; k < 4; ++k) mean[k] += s[k] / static_cast<double>(g);
                }
                add_outer(a.grouped, mean);
                a.good_trees += static_cast<double>(g);
                a.good_groups += 1.0;
            }
        }
        for (std::size_t i = 0; i < len; ++i) {
            const RowSums& a = acc[i];
            if (a.used == 0.0) continue;
            const double e_wy = a.s[0] / a.used, e_ww = a.s[1] / a.used, e_w = a.s[2] / a.used, e_y = a.s[3] / a.used;
            const double denom = e_ww - e_w * e_w;
            const double tau = (e_wy - e_w * e_y) / denom;
            out.tau[lo + i] = tau;
            if (!variance || a.good_groups < 1.0 || g < 2) continue;
            const double mu = e_y - tau * e_w;
            // psi at the forest's own averages, subtracted from both moments.
            const double psi0 = e_wy - tau * e_ww - mu * e_w, psi1 = e_y - tau * e_w - mu;
            double total[kPairs], grouped[kPairs];
            for (std::size_t k = 0; k < kPairs; ++k) {
                total[k] = a.total[k] / a.good_trees;
                grouped[k] = a.grouped[k] / a.good_groups;
            }
            double mt[3], mg[3];
            psi_moments(total, tau, mu, mt);
            psi_moments(grouped, tau, mu, mg);
            const double centre[3] = {psi0 * psi0, psi0 * psi1, psi1 * psi1};
            const double j0 = 1.0 / denom, j1 = -e_w / denom;
            auto quad = [&](const double m[3]) {
                const double c0 = m[0] - centre[0], c1 = m[1] - centre[1], c2 = m[2] - centre[2];
                return j0 * j0 * c0 + 2.0 * j0 * j1 * c1 + j1 * j1 * c2;
            };
            const double var_total = quad(mt), var_between = quad(mg);
            const double noise = (var_total - var_between) / static_cast<double>(g - 1);
            const double se = std::max(var_between, noise) * std::sqrt(2.0 / a.good_groups);
            out.variance[lo + i] = objective_bayes_variance(var_between - noise, se);
        }
    });
    return out;
}

std::vector<double> predict_regression(const std::vector<ForestTree<RegressionLeaf>>& trees, const CodedRows& x,
                                       std::uint8_t missing_code, const InBag* in_bag) {
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
                trees[b].leaves_of(rows.data(), k, missing_code, found.data());
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
