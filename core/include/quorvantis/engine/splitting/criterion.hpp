// What a split is worth, from the raw moments of its two sides.
//
// Causal (on centred W~ = W - e(X), Y~ = Y - m(X)): moments n, n_treated,
// sum W~, sum Y~, sum W~^2, sum W~Y~. A node relabels its rows with the
// pseudo-outcome rho = (W~ - W.)((Y~ - Y.) - tau (W~ - W.)), tau the node's
// effect, and a split scores (sum_L rho)^2 / n_L + (sum_R rho)^2 / n_R minus
// imbalance_penalty (1/s_L + 1/s_R), s = sum (W~ - mean W~)^2 of the side.
// Each side needs min_samples_leaf treated and as many control rows, and
// s >= alpha s_node.
//
// A categorical feature's codes are scanned in the order of their mean
// response (rho for the causal criterion): for a score of this form the best
// split into two sets is one of the prefixes of that order.
//
// Regression (CART on the response): moments n, sum Y; a split scores
// sum_L^2 / n_L + sum_R^2 / n_R minus the penalty on 1/n, and must beat the
// node's own sum^2 / n; each side needs min_samples_leaf rows.
//
// Weighted rows: every sum is weighted and n in the means and scores is the
// sum of weights S, while the leaf-size rules still count rows (N, treated),
// so a rescaling of the weights changes nothing. The unweighted criteria keep
// their own layout (S is N), so their arithmetic is what it was.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "quorvantis/engine/splitting/lanes.hpp"
#include "quorvantis/engine/splitting/moments.hpp"
#include "quorvantis/engine/tree/forest_tree.hpp"

namespace quorvantis::engine {

struct CriterionOptions {
    std::uint64_t min_samples_leaf = 5;
    double alpha = 0.05;
    double imbalance_penalty = 0.0;
};

inline constexpr double kNoSplit = -std::numeric_limits<double>::infinity();

// Whether this CPU runs AVX2, for the split scores four at a time, and
// AVX-512, for eight at a time (its divisions cost what four-wide ones do).
extern const bool kWideLanes;
extern const bool kOctLanes;

// The positions of the set bits of a 256-bit mask (four words, low first),
// ascending, into out[0..256) (bytes past the count may be written too);
// returns the count.
std::size_t set_bits(const std::uint64_t* words, std::uint8_t* out) noexcept;
// The codes c in [0, values) whose moments m[c] count rows, ascending, into
// out[0..256) (bytes past the count may be written too); returns the count.
template <std::size_t K>
std::size_t counted_codes(const Moments<K>* m, std::size_t values, std::uint8_t* out) noexcept;
// The first i in [from, to) where s[i] == top, or to: eight at a time where
// kOctLanes, so a short search costs no mispredicted exit per score.
std::size_t first_equal(const double* s, std::size_t from, std::size_t to, double top) noexcept;

template <bool Weighted>
struct BasicCausalCriterion {
    // n, n_treated, sum w, sum y, sum ww, sum wy (then sum of weights, padding)
    static constexpr std::size_t K = Weighted ? 8 : 6;
    static constexpr std::size_t N = 0, TREATED = 1, W = 2, Y = 3, WW = 4, WY = 5, S = Weighted ? 6 : 0;

    struct Node {
        double w_mean, y_mean, tau, s_node, min_s, msl, penalty, floor;
    };

    using Leaf = CausalLeaf;
    static Leaf leaf(const Moments<K>& s) noexcept {
        const double n = s.v[S];
        if (n == 0.0) return {};
        return {n, s.v[W] / n, s.v[Y] / n, s.v[WY] / n, s.v[WW] / n};
    }

    static Moments<K> record(double w, double y, bool is_treated, double weight) noexcept
        requires Weighted
    {
        Moments<K> m;
        m.v[N] = 1.0;
        m.v[TREATED] = is_treated ? 1.0 : 0.0;
        m.v[W] = weight * w;
        m.v[Y] = weight * y;
        m.v[WW] = weight * w * w;
        m.v[WY] = weight * w * y;
        m.v[S] = weight;
        return m;
    }

    static Moments<K> record(double w, double y, bool is_treated) noexcept
        requires(!Weighted)
    {
        Moments<K> m;
        m.v[N] = 1.0;
        m.v[TREATED] = is_treated ? 1.0 : 0.0;
        m.v[W] = w;
        m.v[Y] = y;
        m.v[WW] = w * w;
        m.v[WY] = w * y;
        return m;
    }

    // False when the node cannot split: too few rows of an arm, or no
    // variation in W~ to estimate an effect from.
    static bool prepare(const Moments<K>& t, const CriterionOptions& o, Node& nd) noexcept {
        const double n = t.v[N], treated = t.v[TREATED], msl = static_cast<double>(o.min_samples_leaf);
        if (treated < 2 * msl || n - treated < 2 * msl || n < 2) return false;
        const double mass = t.v[S];
        if constexpr (Weighted)
            if (!(mass > 0.0)) return false;
        nd.w_mean = t.v[W] / mass;
        nd.y_mean = t.v[Y] / mass;
        const double sww = t.v[WW] - t.v[W] * nd.w_mean;  // sum (w - w.)^2
        const double swy = t.v[WY] - t.v[W] * nd.y_mean;  // sum (w - w.)(y - y.)
        if (!(sww > 1e-12 * std::max(1.0, t.v[WW]))) return false;
        nd.tau = swy / sww;
        nd.s_node = sww;
        nd.min_s = o.alpha * sww;
        nd.msl = msl;
        nd.penalty = o.imbalance_penalty;
        nd.floor = 0.0;
        return true;
    }

    // Whether a side has the rows a split needs; adding rows keeps it so.
    // It reads only the first kCounts moments.
    static constexpr std::size_t kCounts = 2;
    static bool enough(const Moments<K>& m, const Node& nd) noexcept {
        return m.v[TREATED] >= nd.msl && m.v[N] - m.v[TREATED] >= nd.msl;
    }

    // How many of the thresholds [0, count) leave the right side, and how
    // many the left side (pre plus `shift`), without enough(): the tests of
    // enough() two thresholds at a time, the misses summed as exact ones.
    static void count_short(const double (*pre)[256], std::size_t count, const Moments<K>& total,
                            const Moments<K>& shift, const Node& nd, std::size_t& right_short,
                            std::size_t& left_short) noexcept {
        Lanes right2 = splat<Lanes>(0.0), left2 = right2;
        double right1 = 0.0, left1 = 0.0;
        for_lanes(0, count, [&]<class T>(std::size_t i) {
            const T msl = splat<T>(nd.msl), zero = splat<T>(0.0), one = splat<T>(1.0);
            const T nl = load<T>(pre[N] + i), tl = load<T>(pre[TREATED] + i);
            const T nr = splat<T>(total.v[N]) - nl, tr = splat<T>(total.v[TREATED]) - tl;
            const T ns = nl + splat<T>(shift.v[N]), ts = tl + splat<T>(shift.v[TREATED]);
            const T r = select((tr >= msl) & (nr - tr >= msl), zero, one);
            const T l = select((ts >= msl) & (ns - ts >= msl), zero, one);
            if constexpr (sizeof(T) == sizeof(double)) {
                right1 = r;
                left1 = l;
            } else {
                right2 = right2 + r;
                left2 = left2 + l;
            }
        });
        alignas(16) double lanes[2][2];
        _mm_store_pd(lanes[0], right2.v);
        _mm_store_pd(lanes[1], left2.v);
        right_short = static_cast<std::size_t>(lanes[0][0] + lanes[0][1] + right1);
        left_short = static_cast<std::size_t>(lanes[1][0] + lanes[1][1] + left1);
    }

    static double score(const Moments<K>& l, const Moments<K>& r, const Node& nd) noexcept {
        const double nl = l.v[N], nr = r.v[N];
        if (l.v[TREATED] < nd.msl || nl - l.v[TREATED] < nd.msl || r.v[TREATED] < nd.msl || nr - r.v[TREATED] < nd.msl)
            return kNoSplit;
        const double inv_l = 1.0 / l.v[S], inv_r = 1.0 / r.v[S];
        const double sl = l.v[WW] - l.v[W] * l.v[W] * inv_l, sr = r.v[WW] - r.v[W] * r.v[W] * inv_r;
        if (sl < nd.min_s || sr < nd.min_s) return kNoSplit;
        const double rho_l = rho_sum(l, nd), rho_r = rho_sum(r, nd);
        double s = rho_l * rho_l * inv_l + rho_r * rho_r * inv_r;
        if (nd.penalty > 0.0) {
            if (sl <= 0.0 || sr <= 0.0) return kNoSplit;
            s -= nd.penalty * (1.0 / sl + 1.0 / sr);
        }
        return s;
    }

    // score() of every threshold i in [from, to): left = pre[.][i] (plus
    // `shift` when given), right = total - left; written without branches so
    // it runs two thresholds at a time, or four where the CPU has AVX2.
    static void score_all(const double (*pre)[256], std::size_t from, std::size_t to, const Moments<K>& total,
                          const Moments<K>* shift, const Node& nd, double* out) noexcept {
        if (to - from >= 4 && kWideLanes)
            score_wide(pre, from, to, total, shift, nd, out);
        else
            score_lanes(pre, from, to, total, shift, nd, out);
        if (nd.penalty > 0.0) {
            const double dn = shift ? shift->v[N] : 0.0, dw = shift ? shift->v[W] : 0.0;
            const double dww = shift ? shift->v[WW] : 0.0;
            [[maybe_unused]] const double ds = shift ? shift->v[S] : 0.0;
            for (std::size_t i = from; i < to; ++i) {
                if (out[i] == kNoSplit) continue;
                const double nl = pre[S][i] + (S == N ? dn : ds), wl = pre[W][i] + dw, wwl = pre[WW][i] + dww;
                const double nr = total.v[S] - nl, wr = total.v[W] - wl, wwr = total.v[WW] - wwl;
                const double sl = wwl - wl * wl / nl, sr = wwr - wr * wr / nr;
                out[i] = sl > 0.0 && sr > 0.0 ? out[i] - nd.penalty * (1.0 / sl + 1.0 / sr) : kNoSplit;
            }
        }
    }

    // score_all(), returning the largest of `top` and the scores (NaN never
    // counts): where kOctLanes and without the penalty, eight thresholds at a
    // time, each eight taken into the largest as they are made.
    static double score_top(const double (*pre)[256], std::size_t from, std::size_t to, const Moments<K>& total,
                            const Moments<K>* shift, const Node& nd, double* out, double top) noexcept {
        if (kOctLanes && !(nd.penalty > 0.0)) return score_octs(pre, from, to, total, shift, nd, out, top);
        score_all(pre, from, to, total, shift, nd, out);
        return largest(out, from, to, top);
    }

    // score_all() without the penalty, two thresholds at a time (SSE2), four
    // at a time (AVX2) and eight (AVX-512), without FMA, so every lane rounds
    // as score() does; score_wide() only where kWideLanes, score_octs() only
    // where kOctLanes.
    static double score_octs(const double (*pre)[256], std::size_t from, std::size_t to, const Moments<K>& total,
                             const Moments<K>* shift, const Node& nd, double* out, double top) noexcept;
    static void score_wide(const double (*pre)[256], std::size_t from, std::size_t to, const Moments<K>& total,
                           const Moments<K>* shift, const Node& nd, double* out) noexcept;
    static void score_lanes(const double (*pre)[256], std::size_t from, std::size_t to, const Moments<K>& total,
                            const Moments<K>* shift, const Node& nd, double* out) noexcept {
        const double dn = shift ? shift->v[N] : 0.0, dt = shift ? shift->v[TREATED] : 0.0;
        const double dw = shift ? shift->v[W] : 0.0, dy = shift ? shift->v[Y] : 0.0;
        const double dww = shift ? shift->v[WW] : 0.0, dwy = shift ? shift->v[WY] : 0.0;
        [[maybe_unused]] const double ds = shift ? shift->v[S] : 0.0;
        for_lanes(from, to, [&]<class T>(std::size_t i) {
            const T a = splat<T>(nd.w_mean), b = splat<T>(nd.y_mean), tau = splat<T>(nd.tau), msl = splat<T>(nd.msl),
                    min_s = splat<T>(nd.min_s), one = splat<T>(1.0), two = splat<T>(2.0);
            const T nl = load<T>(pre[N] + i) + splat<T>(dn), tl = load<T>(pre[TREATED] + i) + splat<T>(dt),
                    wl = load<T>(pre[W] + i) + splat<T>(dw), yl = load<T>(pre[Y] + i) + splat<T>(dy),
                    wwl = load<T>(pre[WW] + i) + splat<T>(dww), wyl = load<T>(pre[WY] + i) + splat<T>(dwy);
            const T nr = splat<T>(total.v[N]) - nl, tr = splat<T>(total.v[TREATED]) - tl,
                    wr = splat<T>(total.v[W]) - wl, yr = splat<T>(total.v[Y]) - yl, wwr = splat<T>(total.v[WW]) - wwl,
                    wyr = splat<T>(total.v[WY]) - wyl;
            T ml = nl, mr = nr;  // the sides' weights
            if constexpr (Weighted) {
                ml = load<T>(pre[S] + i) + splat<T>(ds);
                mr = splat<T>(total.v[S]) - ml;
            }
            const T inv_l = one / ml, inv_r = one / mr;
            const T sl = wwl - wl * wl * inv_l, sr = wwr - wr * wr * inv_r;
            const T rho_l = (wyl - b * wl - a * yl + ml * a * b) - tau * (wwl - two * a * wl + ml * a * a);
            const T rho_r = (wyr - b * wr - a * yr + mr * a * b) - tau * (wwr - two * a * wr + mr * a * a);
            const T s = rho_l * rho_l * inv_l + rho_r * rho_r * inv_r;
            const auto valid =
                (tl >= msl) & (nl - tl >= msl) & (tr >= msl) & (nr - tr >= msl) & (sl >= min_s) & (sr >= min_s);
            store(out + i, select(valid, s, splat<T>(kNoSplit)));
        });
    }

    // Where a category goes in the order a categorical split scans: its mean
    // pseudo-outcome, the response the score is a regression of. A category
    // whose rows all weigh 0 has no mean; it sorts as 0 rather than as NaN.
    static double order_key(const Moments<K>& m, const Node& nd) noexcept {
        return m.v[S] > 0.0 ? rho_sum(m, nd) / m.v[S] : 0.0;
    }

    // sum over the side of (w - w.)((y - y.) - tau (w - w.)), from raw moments.
    static double rho_sum(const Moments<K>& m, const Node& nd) noexcept {
        const double n = m.v[S], a = nd.w_mean, b = nd.y_mean;
        const double cross = m.v[WY] - b * m.v[W] - a * m.v[Y] + n * a * b;
        const double square = m.v[WW] - 2.0 * a * m.v[W] + n * a * a;
        return cross - nd.tau * square;
    }
};

using CausalCriterion = BasicCausalCriterion<false>;
using WeightedCausalCriterion = BasicCausalCriterion<true>;

template <bool Weighted>
struct BasicRegressionCriterion {
    static constexpr std::size_t K = Weighted ? 4 : 2;  // n, sum y (then sum of weights, padding)
    static constexpr std::size_t N = 0, Y = 1, S = Weighted ? 2 : 0;

    struct Node {
        double msl, penalty, floor;
    };

    using Leaf = RegressionLeaf;
    static Leaf leaf(const Moments<K>& s) noexcept {
        const double n = s.v[S];
        return n == 0.0 ? Leaf{} : Leaf{n, s.v[Y] / n};
    }

    static Moments<K> record(double y) noexcept
        requires(!Weighted)
    {
        Moments<K> m;
        m.v[N] = 1.0;
        m.v[Y] = y;
        return m;
    }

    static Moments<K> record(double y, double weight) noexcept
        requires Weighted
    {
        Moments<K> m;
        m.v[N] = 1.0;
        m.v[Y] = weight * y;
        m.v[S] = weight;
        return m;
    }

    static bool prepare(const Moments<K>& t, const CriterionOptions& o, Node& nd) noexcept {
        nd.msl = static_cast<double>(o.min_samples_leaf);
        if (t.v[N] < 2 * nd.msl || t.v[N] < 2) return false;
        nd.penalty = o.imbalance_penalty;
        // A split must explain something: beat the node's own term.
        if constexpr (Weighted)
            if (!(t.v[S] > 0.0)) return false;
        nd.floor = t.v[Y] * t.v[Y] / t.v[S];
        nd.floor += 1e-12 * std::fabs(nd.floor);
        return true;
    }

    static constexpr std::size_t kCounts = 1;  // enough() reads only the first moment
    static bool enough(const Moments<K>& m, const Node& nd) noexcept { return m.v[N] >= nd.msl && m.v[N] >= 1; }

    static double order_key(const Moments<K>& m, const Node&) noexcept { return m.v[S] > 0.0 ? m.v[Y] / m.v[S] : 0.0; }

    // score() of every threshold in [from, to), as the causal score_all().
    static void score_all(const double (*pre)[256], std::size_t from, std::size_t to, const Moments<K>& total,
                          const Moments<K>* shift, const Node& nd, double* out) noexcept {
        if (to - from >= 4 && kWideLanes)
            score_wide(pre, from, to, total, shift, nd, out);
        else
            score_lanes(pre, from, to, total, shift, nd, out);
    }
    // score_all() and the largest of `top` and the scores, as the causal
    // score_top().
    static double score_top(const double (*pre)[256], std::size_t from, std::size_t to, const Moments<K>& total,
                            const Moments<K>* shift, const Node& nd, double* out, double top) noexcept {
        if (kOctLanes) return score_octs(pre, from, to, total, shift, nd, out, top);
        score_all(pre, from, to, total, shift, nd, out);
        return largest(out, from, to, top);
    }
    static double score_octs(const double (*pre)[256], std::size_t from, std::size_t to, const Moments<K>& total,
                             const Moments<K>* shift, const Node& nd, double* out, double top) noexcept;
    static void score_wide(const double (*pre)[256], std::size_t from, std::size_t to, const Moments<K>& total,
                           const Moments<K>* shift, const Node& nd, double* out) noexcept;
    static void score_lanes(const double (*pre)[256], std::size_t from, std::size_t to, const Moments<K>& total,
                            const Moments<K>* shift, const Node& nd, double* out) noexcept {
        const double dn = shift ? shift->v[N] : 0.0, dy = shift ? shift->v[Y] : 0.0;
        [[maybe_unused]] const double ds = shift ? shift->v[S] : 0.0;
        for_lanes(from, to, [&]<class T>(std::size_t i) {
            const T msl = splat<T>(std::max(nd.msl, 1.0)), pen = splat<T>(nd.penalty), one = splat<T>(1.0);
            const T nl = load<T>(pre[N] + i) + splat<T>(dn), yl = load<T>(pre[Y] + i) + splat<T>(dy);
            const T nr = splat<T>(total.v[N]) - nl, yr = splat<T>(total.v[Y]) - yl;
            T ml = nl, mr = nr;  // the sides' weights
            if constexpr (Weighted) {
                ml = load<T>(pre[S] + i) + splat<T>(ds);
                mr = splat<T>(total.v[S]) - ml;
            }
            const T inv_l = one / ml, inv_r = one / mr;
            const T s = yl * yl * inv_l + yr * yr * inv_r - pen * (inv_l + inv_r);
            store(out + i, select((nl >= msl) & (nr >= msl), s, splat<T>(kNoSplit)));
        });
    }

    static double score(const Moments<K>& l, const Moments<K>& r, const Node& nd) noexcept {
        const double nl = l.v[N], nr = r.v[N];
        if (nl < nd.msl || nr < nd.msl || nl < 1 || nr < 1) return kNoSplit;
        const double inv_l = 1.0 / l.v[S], inv_r = 1.0 / r.v[S];
        double s = l.v[Y] * l.v[Y] * inv_l + r.v[Y] * r.v[Y] * inv_r;
        if (nd.penalty > 0.0) s -= nd.penalty * (inv_l + inv_r);
        return s;
    }
};

using RegressionCriterion = BasicRegressionCriterion<false>;
using WeightedRegressionCriterion = BasicRegressionCriterion<true>;

}  // namespace quorvantis::engine
