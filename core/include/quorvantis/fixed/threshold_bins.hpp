// A node's candidate thresholds for one feature, and the bins they cut: every
// draw of a feature is scored from one pass that puts each row into the bin
// of thresholds below its value, then prefix sums over the bins.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <limits>

namespace quorvantis::fixed {

inline constexpr double kTreatedCut = 0.5;
inline constexpr std::size_t kMaxDraws = 10;  // threshold draws per candidate feature
inline constexpr std::size_t kThresholdBins = kMaxDraws + 1;

inline bool treated(double t) noexcept {
    return t > kTreatedCut;
}

// Outcome sums and row counts of the two arms. Counts are kept as doubles
// (exact below 2^53) next to their sums, so one vector add updates an arm.
struct ArmSums {
    alignas(16) double v[4] = {0.0, 0.0, 0.0, 0.0};  // control sum, count, treated sum, count

    void add(bool arm, double y) noexcept {
        double* p = v + 2 * static_cast<int>(arm);
        _mm_store_pd(p, _mm_add_pd(_mm_load_pd(p), _mm_set_pd(1.0, y)));
    }
    void merge(const ArmSums& o) noexcept {
        _mm_store_pd(v, _mm_add_pd(_mm_load_pd(v), _mm_load_pd(o.v)));
        _mm_store_pd(v + 2, _mm_add_pd(_mm_load_pd(v + 2), _mm_load_pd(o.v + 2)));
    }
    std::uint64_t total() const noexcept { return static_cast<std::uint64_t>(v[1] + v[3]); }
    // Mean outcome of treated minus control rows; 0 if an arm is empty.
    double difference() const noexcept {
        if (v[1] == 0.0 || v[3] == 0.0) return 0.0;
        return v[2] / v[3] - v[0] / v[1];
    }
};

// Size weight first, then times the squared effect difference.
inline double split_score(std::uint64_t n_left, std::uint64_t n_right, double tau_left, double tau_right) noexcept {
    const double l = static_cast<double>(n_left);
    const double r = static_cast<double>(n_right);
    const double w = (l * r) / ((l + r) * (l + r));
    const double d = tau_left - tau_right;
    return (d * d) * w;
}

// The draws of one candidate feature at one node.
struct ThresholdSet {
    std::uint64_t feature = 0;
    alignas(16) double sorted[16];  // the distinct-or-not finite thresholds ascending, padded with +inf
    double theta[kMaxDraws];        // thresholds in draw order
    int position[kMaxDraws];        // left side of draw j: bins <= position[j]; -1: nothing goes left
    int n_draws = 0;
    int n_sorted = 0;

    void set(std::uint64_t f, const double* thresholds, int count) noexcept {
        feature = f;
        n_draws = count;
        n_sorted = 0;
        for (int j = 0; j < count; ++j) {
            const double v = thresholds[j];
            theta[j] = v;
            if (v != v) continue;
            int s = n_sorted++;  // insertion sort: at most ten values
            while (s > 0 && sorted[s - 1] > v) {
                sorted[s] = sorted[s - 1];
                --s;
            }
            sorted[s] = v;
        }
        for (int j = 0; j < count; ++j) {
            const double v = theta[j];
            if (v != v) {
                position[j] = -1;
                continue;
            }
            int below = 0;
            while (below < n_sorted && sorted[below] < v) ++below;
            position[j] = below;
        }
        for (int s = n_sorted; s < 16; ++s) sorted[s] = std::numeric_limits<double>::infinity();
    }
};

// A value's bin: the number of thresholds below it, counted two at a time;
// NaN goes right of all. `sorted` is 16-byte aligned and padded with +inf.
// A value lies left of draw j exactly when its bin is <= position[j].
inline unsigned bin_of(double x, const double* sorted, int n_sorted) noexcept {
    const __m128d v = _mm_set1_pd(x);
    __m128i count = _mm_setzero_si128();
    for (std::size_t s = 0; s < kMaxDraws; s += 2)
        count = _mm_sub_epi64(count, _mm_castpd_si128(_mm_cmpgt_pd(v, _mm_load_pd(sorted + s))));
    const auto b =
        static_cast<unsigned>(_mm_cvtsi128_si64(count) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(count, count)));
    return x == x ? b : static_cast<unsigned>(n_sorted);
}

struct DrawChoice {
    double score = -1.0;
    std::size_t candidate = 0;
    int draw = -1;  // -1: no valid draw
};

// Best draw of one candidate from its bin sums: strict improvement only, so
// the earliest of equal scores stays.
inline DrawChoice best_draw(const ThresholdSet& c, const ArmSums* hist, std::uint64_t min_samples_leaf,
                            std::size_t position) noexcept {
    ArmSums prefix[kThresholdBins], suffix[kThresholdBins + 1];
    const int top = c.n_sorted;  // bins 0..top are in use
    for (int b = 0; b <= top; ++b) {
        prefix[b] = b > 0 ? prefix[b - 1] : ArmSums{};
        prefix[b].merge(hist[b]);
    }
    suffix[top + 1] = ArmSums{};
    for (int b = top; b >= 0; --b) {
        suffix[b] = suffix[b + 1];
        suffix[b].merge(hist[b]);
    }
    DrawChoice best;
    best.candidate = position;
    for (int j = 0; j < c.n_draws; ++j) {
        const int pos = c.position[j];
        const ArmSums left = pos >= 0 ? prefix[pos] : ArmSums{};
        const ArmSums& right = suffix[pos + 1];
        const std::uint64_t nl = left.total(), nr = right.total();
        if (nl < min_samples_leaf || nr < min_samples_leaf) continue;
        const double score = split_score(nl, nr, left.difference(), right.difference());
        if (score > best.score) {
            best.score = score;
            best.draw = j;
        }
    }
    return best;
}

// Candidates combine in candidate order: a higher score wins, ties go to the later.
inline DrawChoice later_wins_ties(DrawChoice a, DrawChoice b) noexcept {
    return a.score > b.score ? a : b;
}

}  // namespace quorvantis::fixed
