// The split search's wide paths, each compiled for its instruction set
// function by function (the rest of the library stays plain x86-64) and
// called only when the CPU has it. The scores go four thresholds at a time
// with AVX2, which brings no FMA, so no product is fused into a sum: every
// lane rounds each operation as the scalar score() does.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "quorvantis/base/cpu_features.hpp"
#include "quorvantis/engine/splitting/criterion.hpp"

#define QUORVANTIS_AVX2 __attribute__((target("avx2"), always_inline)) inline
// AVX-512 brings fused multiply-adds, which contraction would put in place of
// a product and a sum: this file is built with -ffp-contract=off, so each
// operation rounds on its own.
#define QUORVANTIS_AVX512 __attribute__((target("avx512f"), always_inline)) inline

namespace quorvantis::engine {
namespace {

// Each word's set bits pick their positions out of 64 ascending bytes, with
// no branch per bit: in small nodes the ends of the bit loops mispredict.
__attribute__((target("avx512f,avx512bw,avx512vbmi2"))) std::size_t compress_bits(const std::uint64_t* words,
                                                                                  std::uint8_t* out) noexcept {
    alignas(64) static constexpr std::uint8_t kIota[64] = {
        0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
        22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
        44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63};
    const __m512i iota = _mm512_load_si512(kIota);
    std::size_t count = 0;
    for (int w = 0; w < 4; ++w) {
        const __m512i codes = _mm512_add_epi8(iota, _mm512_set1_epi8(static_cast<char>(w * 64)));
        _mm512_storeu_si512(out + count, _mm512_maskz_compress_epi8(words[w], codes));
        count += static_cast<std::size_t>(__builtin_popcountll(words[w]));
    }
    return count;
}

struct Quad {
    __m256d v;
};
struct QuadMask {
    __m256d v;
};

QUORVANTIS_AVX2 Quad operator+(Quad a, Quad b) noexcept {
    return {_mm256_add_pd(a.v, b.v)};
}
QUORVANTIS_AVX2 Quad operator-(Quad a, Quad b) noexcept {
    return {_mm256_sub_pd(a.v, b.v)};
}
QUORVANTIS_AVX2 Quad operator*(Quad a, Quad b) noexcept {
    return {_mm256_mul_pd(a.v, b.v)};
}
QUORVANTIS_AVX2 Quad operator/(Quad a, Quad b) noexcept {
    return {_mm256_div_pd(a.v, b.v)};
}
// Ordered, like SSE2's cmpge: false when either side is NaN.
QUORVANTIS_AVX2 QuadMask operator>=(Quad a, Quad b) noexcept {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OS)};
}
QUORVANTIS_AVX2 QuadMask operator&(QuadMask a, QuadMask b) noexcept {
    return {_mm256_and_pd(a.v, b.v)};
}
QUORVANTIS_AVX2 Quad quad(double x) noexcept {
    return {_mm256_set1_pd(x)};
}
QUORVANTIS_AVX2 Quad quad(const double* p) noexcept {
    return {_mm256_loadu_pd(p)};
}

// The formula of BasicCausalCriterion::score_lanes, term for term in the same
// order; the tail of fewer than four goes through score_lanes itself.
template <bool Weighted>
__attribute__((target("avx2"))) void causal_quads(const double (*pre)[256], std::size_t from, std::size_t to,
                                                  const Moments<BasicCausalCriterion<Weighted>::K>& total,
                                                  const Moments<BasicCausalCriterion<Weighted>::K>* shift,
                                                  const typename BasicCausalCriterion<Weighted>::Node& nd,
                                                  double* out) noexcept {
    using C = BasicCausalCriterion<Weighted>;
    constexpr std::size_t N = C::N, TREATED = C::TREATED, W = C::W, Y = C::Y, WW = C::WW, WY = C::WY, S = C::S;
    const Quad dn = quad(shift ? shift->v[N] : 0.0), dt = quad(shift ? shift->v[TREATED] : 0.0);
    const Quad dw = quad(shift ? shift->v[W] : 0.0), dy = quad(shift ? shift->v[Y] : 0.0);
    const Quad dww = quad(shift ? shift->v[WW] : 0.0), dwy = quad(shift ? shift->v[WY] : 0.0);
    [[maybe_unused]] const Quad ds = quad(shift ? shift->v[S] : 0.0);
    const Quad a = quad(nd.w_mean), b = quad(nd.y_mean), tau = quad(nd.tau), msl = quad(nd.msl), min_s = quad(nd.min_s),
               one = quad(1.0), two = quad(2.0), none = quad(kNoSplit);
    const Quad t_n = quad(total.v[N]), t_t = quad(total.v[TREATED]), t_w = quad(total.v[W]), t_y = quad(total.v[Y]),
               t_ww = quad(total.v[WW]), t_wy = quad(total.v[WY]);
    [[maybe_unused]] const Quad t_s = quad(total.v[S]);
    std::size_t i = from;
    for (; i + 4 <= to; i += 4) {
        const Quad nl = quad(pre[N] + i) + dn, tl = quad(pre[TREATED] + i) + dt, wl = quad(pre[W] + i) + dw,
                   yl = quad(pre[Y] + i) + dy, wwl = quad(pre[WW] + i) + dww, wyl = quad(pre[WY] + i) + dwy;
        const Quad nr = t_n - nl, tr = t_t - tl, wr = t_w - wl, yr = t_y - yl, wwr = t_ww - wwl, wyr = t_wy - wyl;
        Quad ml = nl, mr = nr;
        if constexpr (Weighted) {
            ml = quad(pre[S] + i) + ds;
            mr = t_s - ml;
        }
        const Quad inv_l = one / ml, inv_r = one / mr;
        const Quad sl = wwl - wl * wl * inv_l, sr = wwr - wr * wr * inv_r;
        const Quad rho_l = (wyl - b * wl - a * yl + ml * a * b) - tau * (wwl - two * a * wl + ml * a * a);
        const Quad rho_r = (wyr - b * wr - a * yr + mr * a * b) - tau * (wwr - two * a * wr + mr * a * a);
        const Quad s = rho_l * rho_l * inv_l + rho_r * rho_r * inv_r;
        const QuadMask valid =
            (tl >= msl) & (nl - tl >= msl) & (tr >= msl) & (nr - tr >= msl) & (sl >= min_s) & (sr >= min_s);
        _mm256_storeu_pd(out + i, _mm256_or_pd(_mm256_and_pd(valid.v, s.v), _mm256_andnot_pd(valid.v, none.v)));
    }
    if (i < to) C::score_lanes(pre, i, to, total, shift, nd, out);
}

// The formula of BasicRegressionCriterion::score_lanes, likewise.
template <bool Weighted>
__attribute__((target("avx2"))) void regression_quads(const double (*pre)[256], std::size_t from, std::size_t to,
                                                      const Moments<BasicRegressionCriterion<Weighted>::K>& total,
                                                      const Moments<BasicRegressionCriterion<Weighted>::K>* shift,
                                                      const typename BasicRegressionCriterion<Weighted>::Node& nd,
                                                      double* out) noexcept {
    using C = BasicRegressionCriterion<Weighted>;
    constexpr std::size_t N = C::N, Y = C::Y, S = C::S;
    const Quad dn = quad(shift ? shift->v[N] : 0.0), dy = quad(shift ? shift->v[Y] : 0.0);
    [[maybe_unused]] const Quad ds = quad(shift ? shift->v[S] : 0.0);
    const Quad msl = quad(std::max(nd.msl, 1.0)), pen = quad(nd.penalty), one = quad(1.0), none = quad(kNoSplit);
    const Quad t_n = quad(total.v[N]), t_y = quad(total.v[Y]);
    [[maybe_unused]] const Quad t_s = quad(total.v[S]);
    std::size_t i = from;
    for (; i + 4 <= to; i += 4) {
        const Quad nl = quad(pre[N] + i) + dn, yl = quad(pre[Y] + i) + dy;
        const Quad nr = t_n - nl, yr = t_y - yl;
        Quad ml = nl, mr = nr;
        if constexpr (Weighted) {
            ml = quad(pre[S] + i) + ds;
            mr = t_s - ml;
        }
        const Quad inv_l = one / ml, inv_r = one / mr;
        const Quad s = yl * yl * inv_l + yr * yr * inv_r - pen * (inv_l + inv_r);
        const QuadMask valid = (nl >= msl) & (nr >= msl);
        _mm256_storeu_pd(out + i, _mm256_or_pd(_mm256_and_pd(valid.v, s.v), _mm256_andnot_pd(valid.v, none.v)));
    }
    if (i < to) C::score_lanes(pre, i, to, total, shift, nd, out);
}

struct Oct {
    __m512d v;
};

QUORVANTIS_AVX512 Oct operator+(Oct a, Oct b) noexcept {
    return {_mm512_add_pd(a.v, b.v)};
}
QUORVANTIS_AVX512 Oct operator-(Oct a, Oct b) noexcept {
    return {_mm512_sub_pd(a.v, b.v)};
}
QUORVANTIS_AVX512 Oct operator*(Oct a, Oct b) noexcept {
    return {_mm512_mul_pd(a.v, b.v)};
}
QUORVANTIS_AVX512 Oct operator/(Oct a, Oct b) noexcept {
    return {_mm512_div_pd(a.v, b.v)};
}
// Ordered: false when either side is NaN.
QUORVANTIS_AVX512 __mmask8 operator>=(Oct a, Oct b) noexcept {
    return _mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OS);
}
QUORVANTIS_AVX512 Oct oct(double x) noexcept {
    return {_mm512_set1_pd(x)};
}
// The lanes of `live` from p, zeros in the others, which read nothing.
QUORVANTIS_AVX512 Oct oct(const double* p, __mmask8 live) noexcept {
    return {_mm512_maskz_loadu_pd(live, p)};
}
// The first min(left, 8) lanes.
QUORVANTIS_AVX512 __mmask8 live_lanes(std::size_t left) noexcept {
    return static_cast<__mmask8>((1u << std::min<std::size_t>(left, 8)) - 1);
}
// Stores the live lanes of `valid ? s : kNoSplit` and takes them into top.
QUORVANTIS_AVX512 void put(double* out, __mmask8 live, __mmask8 valid, Oct s, Oct& top) noexcept {
    const __m512d v = _mm512_mask_blend_pd(valid, _mm512_set1_pd(kNoSplit), s.v);
    _mm512_mask_storeu_pd(out, live, v);
    // v > top ? v : top, lane by lane, so NaN never counts.
    top.v = _mm512_mask_max_pd(top.v, live, v, top.v);
}
// The largest lane: halves folded onto each other. (The masked forms, all
// lanes on, because GCC 12's plain ones warn of an uninitialised source.)
QUORVANTIS_AVX512 double largest_lane(Oct x) noexcept {
    constexpr __mmask8 all = 0xFF;
    __m512d m = _mm512_mask_max_pd(x.v, all, x.v, _mm512_mask_shuffle_f64x2(x.v, all, x.v, x.v, 0x4E));
    m = _mm512_mask_max_pd(m, all, m, _mm512_mask_permutex_pd(m, all, m, 0x4E));
    m = _mm512_mask_max_pd(m, all, m, _mm512_mask_permute_pd(m, all, m, 0x55));
    return _mm512_cvtsd_f64(m);
}

// causal_quads() eight at a time, the last eight with only the thresholds
// left live, and the largest score kept as they go.
template <bool Weighted>
__attribute__((target("avx512f"))) double causal_octs(const double (*pre)[256], std::size_t from, std::size_t to,
                                                      const Moments<BasicCausalCriterion<Weighted>::K>& total,
                                                      const Moments<BasicCausalCriterion<Weighted>::K>* shift,
                                                      const typename BasicCausalCriterion<Weighted>::Node& nd,
                                                      double* out, double largest) noexcept {
    using C = BasicCausalCriterion<Weighted>;
    constexpr std::size_t N = C::N, TREATED = C::TREATED, W = C::W, Y = C::Y, WW = C::WW, WY = C::WY, S = C::S;
    const Oct dn = oct(shift ? shift->v[N] : 0.0), dt = oct(shift ? shift->v[TREATED] : 0.0);
    const Oct dw = oct(shift ? shift->v[W] : 0.0), dy = oct(shift ? shift->v[Y] : 0.0);
    const Oct dww = oct(shift ? shift->v[WW] : 0.0), dwy = oct(shift ? shift->v[WY] : 0.0);
    [[maybe_unused]] const Oct ds = oct(shift ? shift->v[S] : 0.0);
    const Oct a = oct(nd.w_mean), b = oct(nd.y_mean), tau = oct(nd.tau), msl = oct(nd.msl), min_s = oct(nd.min_s),
              one = oct(1.0), two = oct(2.0);
    const Oct t_n = oct(total.v[N]), t_t = oct(total.v[TREATED]), t_w = oct(total.v[W]), t_y = oct(total.v[Y]),
              t_ww = oct(total.v[WW]), t_wy = oct(total.v[WY]);
    [[maybe_unused]] const Oct t_s = oct(total.v[S]);
    Oct top = oct(largest);
    for (std::size_t i = from; i < to; i += 8) {
        const __mmask8 live = live_lanes(to - i);
        const Oct nl = oct(pre[N] + i, live) + dn, tl = oct(pre[TREATED] + i, live) + dt,
                  wl = oct(pre[W] + i, live) + dw, yl = oct(pre[Y] + i, live) + dy, wwl = oct(pre[WW] + i, live) + dww,
                  wyl = oct(pre[WY] + i, live) + dwy;
        const Oct nr = t_n - nl, tr = t_t - tl, wr = t_w - wl, yr = t_y - yl, wwr = t_ww - wwl, wyr = t_wy - wyl;
        Oct ml = nl, mr = nr;
        if constexpr (Weighted) {
            ml = oct(pre[S] + i, live) + ds;
            mr = t_s - ml;
        }
        const Oct inv_l = one / ml, inv_r = one / mr;
        const Oct sl = wwl - wl * wl * inv_l, sr = wwr - wr * wr * inv_r;
        const Oct rho_l = (wyl - b * wl - a * yl + ml * a * b) - tau * (wwl - two * a * wl + ml * a * a);
        const Oct rho_r = (wyr - b * wr - a * yr + mr * a * b) - tau * (wwr - two * a * wr + mr * a * a);
        const Oct s = rho_l * rho_l * inv_l + rho_r * rho_r * inv_r;
        const __mmask8 valid =
            (tl >= msl) & (nl - tl >= msl) & (tr >= msl) & (nr - tr >= msl) & (sl >= min_s) & (sr >= min_s);
        put(out + i, live, valid, s, top);
    }
    return largest_lane(top);
}

// regression_quads() eight at a time, as causal_octs().
template <bool Weighted>
__attribute__((target("avx512f"))) double regression_octs(const double (*pre)[256], std::size_t from, std::size_t to,
                                                          const Moments<BasicRegressionCriterion<Weighted>::K>& total,
                                                          const Moments<BasicRegressionCriterion<Weighted>::K>* shift,
                                                          const typename BasicRegressionCriterion<Weighted>::Node& nd,
                                                          double* out, double largest) noexcept {
    using C = BasicRegressionCriterion<Weighted>;
    constexpr std::size_t N = C::N, Y = C::Y, S = C::S;
    const Oct dn = oct(shift ? shift->v[N] : 0.0), dy = oct(shift ? shift->v[Y] : 0.0);
    [[maybe_unused]] const Oct ds = oct(shift ? shift->v[S] : 0.0);
    const Oct msl = oct(std::max(nd.msl, 1.0)), pen = oct(nd.penalty), one = oct(1.0);
    const Oct t_n = oct(total.v[N]), t_y = oct(total.v[Y]);
    [[maybe_unused]] const Oct t_s = oct(total.v[S]);
    Oct top = oct(largest);
    for (std::size_t i = from; i < to; i += 8) {
        const __mmask8 live = live_lanes(to - i);
        const Oct nl = oct(pre[N] + i, live) + dn, yl = oct(pre[Y] + i, live) + dy;
        const Oct nr = t_n - nl, yr = t_y - yl;
        Oct ml = nl, mr = nr;
        if constexpr (Weighted) {
            ml = oct(pre[S] + i, live) + ds;
            mr = t_s - ml;
        }
        const Oct inv_l = one / ml, inv_r = one / mr;
        const Oct s = yl * yl * inv_l + yr * yr * inv_r - pen * (inv_l + inv_r);
        put(out + i, live, (nl >= msl) & (nr >= msl), s, top);
    }
    return largest_lane(top);
}

__attribute__((target("avx512f"))) std::size_t first_equal_octs(const double* s, std::size_t from, std::size_t to,
                                                                double top) noexcept {
    const __m512d t = _mm512_set1_pd(top);
    for (std::size_t i = from; i < to; i += 8) {
        const __mmask8 live = live_lanes(to - i);
        const auto hit =
            static_cast<unsigned>(_mm512_mask_cmp_pd_mask(live, _mm512_maskz_loadu_pd(live, s + i), t, _CMP_EQ_OQ));
        if (hit != 0) return i + static_cast<std::size_t>(__builtin_ctz(hit));
    }
    return to;
}

// The bits of the codes whose count (every other double of m) is > 0, eight
// codes a step.
__attribute__((target("avx512f"))) void counted_words(const Moments<2>* m, std::size_t values,
                                                      std::uint64_t* words) noexcept {
    const __m512i evens = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
    const __m512d zero = _mm512_setzero_pd();
    const double* v = m[0].v;
    for (std::size_t c = 0; c < values; c += 8) {
        const std::size_t n = std::min<std::size_t>(values - c, 8);  // codes, two doubles each
        const auto low = static_cast<__mmask8>((1u << std::min<std::size_t>(2 * n, 8)) - 1);
        const auto high = static_cast<__mmask8>(n > 4 ? (1u << (2 * n - 8)) - 1 : 0);
        const __m512d counts = _mm512_permutex2var_pd(_mm512_maskz_loadu_pd(low, v + 2 * c), evens,
                                                      _mm512_maskz_loadu_pd(high, v + 2 * c + 8));
        const std::uint64_t hit = _mm512_cmp_pd_mask(counts, zero, _CMP_GT_OQ);
        words[c >> 6] |= hit << (c & 63);
    }
}

}  // namespace

const bool kWideLanes = cpu::features().avx2;
const bool kOctLanes = cpu::features().avx512f;
const bool kByteCompress = cpu::features().avx512f && cpu::features().avx512bw && cpu::features().avx512vbmi2;

std::size_t first_equal(const double* s, std::size_t from, std::size_t to, double top) noexcept {
    if (kOctLanes) return first_equal_octs(s, from, to, top);
    std::size_t i = from;
    while (i < to && !(s[i] == top)) ++i;
    return i;
}

template <std::size_t K>
std::size_t counted_codes(const Moments<K>* m, std::size_t values, std::uint8_t* out) noexcept {
    if constexpr (K == 2) {
        if (kOctLanes) {
            std::uint64_t words[4] = {};
            counted_words(m, values, words);
            return set_bits(words, out);
        }
    }
    std::size_t count = 0;
    // Written whatever the count, kept by moving on: no branch per code.
    for (std::size_t code = 0; code < values; ++code) {
        out[count] = static_cast<std::uint8_t>(code);
        count += m[code].count() > 0.0 ? 1 : 0;
    }
    return count;
}

template std::size_t counted_codes<2>(const Moments<2>*, std::size_t, std::uint8_t*) noexcept;
template std::size_t counted_codes<4>(const Moments<4>*, std::size_t, std::uint8_t*) noexcept;
template std::size_t counted_codes<6>(const Moments<6>*, std::size_t, std::uint8_t*) noexcept;
template std::size_t counted_codes<8>(const Moments<8>*, std::size_t, std::uint8_t*) noexcept;

std::size_t set_bits(const std::uint64_t* words, std::uint8_t* out) noexcept {
    if (kByteCompress) return compress_bits(words, out);
    std::size_t count = 0;
    for (std::size_t w = 0; w < 4; ++w)
        for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1)
            out[count++] = static_cast<std::uint8_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits)));
    return count;
}

template <bool Weighted>
void BasicCausalCriterion<Weighted>::score_wide(const double (*pre)[256], std::size_t from, std::size_t to,
                                                const Moments<K>& total, const Moments<K>* shift, const Node& nd,
                                                double* out) noexcept {
    causal_quads<Weighted>(pre, from, to, total, shift, nd, out);
}

template <bool Weighted>
void BasicRegressionCriterion<Weighted>::score_wide(const double (*pre)[256], std::size_t from, std::size_t to,
                                                    const Moments<K>& total, const Moments<K>* shift, const Node& nd,
                                                    double* out) noexcept {
    regression_quads<Weighted>(pre, from, to, total, shift, nd, out);
}

template <bool Weighted>
double BasicCausalCriterion<Weighted>::score_octs(const double (*pre)[256], std::size_t from, std::size_t to,
                                                  const Moments<K>& total, const Moments<K>* shift, const Node& nd,
                                                  double* out, double top) noexcept {
    return causal_octs<Weighted>(pre, from, to, total, shift, nd, out, top);
}

template <bool Weighted>
double BasicRegressionCriterion<Weighted>::score_octs(const double (*pre)[256], std::size_t from, std::size_t to,
                                                      const Moments<K>& total, const Moments<K>* shift, const Node& nd,
                                                      double* out, double top) noexcept {
    return regression_octs<Weighted>(pre, from, to, total, shift, nd, out, top);
}

template struct BasicCausalCriterion<false>;
template struct BasicCausalCriterion<true>;
template struct BasicRegressionCriterion<false>;
template struct BasicRegressionCriterion<true>;

}  // namespace quorvantis::engine
