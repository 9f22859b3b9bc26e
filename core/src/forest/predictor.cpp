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
    // phi(r) / Phi(r), the inverse Mills ratio; its tail series far left.
    double mills;
    if (r > -8.0) {
        const double phi = std::exp(-0.5 * r * r) / std::sqrt(2.0 * M_PI);
        const double cdf = 0.5 * std::erfc(-r / std::sqrt(2.0));
        mills = phi / cdf;
    } else {
        const double r2 = 1.0 / (r * r);
        mills = -r / (1.0 - r2 + 3.0 * r2 * r2 - 15.0 * r2 * r2 * r2);
    }
    return estimate + se * mills;
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
        std::vector<const CausalLeaf*> group_leaves(g);
        for (std::size_t first = 0; first + g <= trees.size(); first += g) {
            for (std::size_t i = 0; i < len; ++i) {
                const std::size_t r = lo + i;
                const std::uint8_t* codes = x.row(r);
                bool good = true;
                for (std::size_t j = 0; j < g; ++j) {
                    const std::size_t b = first + j;
                    const CausalLeaf* l = nullptr;
                    if (out_of_bag(in_bag, b, r)) {
                        const CausalLeaf& found = trees[b].leaves[trees[b].leaf_of(codes, missing_code)];
                        if (found.n > 0.0) l = &found;
                    }
                    group_leaves[j] = l;
                    if (l == nullptr) {
                        good = false;
                        continue;
                    }
                    RowSums& a = acc[i];
                    a.s[0] += l->wy;
                    a.s[1] += l->ww;
                    a.s[2] += l->w;
                    a.s[3] += l->y;
                    a.used += 1.0;
                }
                if (!variance || !good) continue;
                RowSums& a = acc[i];
                double mean[kDim] = {0, 0, 0, 0, 1.0};
                for (std::size_t j = 0; j < g; ++j) {
                    const CausalLeaf* l = group_leaves[j];
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
        std::vector<double> sum(len, 0.0), used(len, 0.0), all(len, 0.0), all_used(len, 0.0);
        for (std::size_t b = 0; b < trees.size(); ++b) {
            for (std::size_t i = 0; i < len; ++i) {
                const std::size_t r = lo + i;
                const RegressionLeaf& l = trees[b].leaves[trees[b].leaf_of(x.row(r), missing_code)];
                if (l.n == 0.0) continue;
                all[i] += l.y;
                all_used[i] += 1.0;
                if (out_of_bag(in_bag, b, r)) {
                    sum[i] += l.y;
                    used[i] += 1.0;
                }
            }
        }
        for (std::size_t i = 0; i < len; ++i) {
            if (used[i] > 0.0) {
                out[lo + i] = sum[i] / used[i];
            } else if (all_used[i] > 0.0) {
                out[lo + i] = all[i] / all_used[i];
            }
        }
    });
    return out;
}

}  // namespace quorvantis::engine
