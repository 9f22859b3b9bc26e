// Two doubles in one SSE2 register, with the operators a score formula uses,
// so that one formula written as a template serves both one threshold
// (double) and two at a time (Lanes). Each operation rounds lane by lane
// exactly as the scalar one does, so both give the same bits.
#pragma once

#include <emmintrin.h>

#include <cstddef>

namespace quorvantis::engine {

struct Lanes {
    __m128d v;
};
struct LaneMask {
    __m128d v;
};

inline Lanes operator+(Lanes a, Lanes b) noexcept {
    return {_mm_add_pd(a.v, b.v)};
}
inline Lanes operator-(Lanes a, Lanes b) noexcept {
    return {_mm_sub_pd(a.v, b.v)};
}
inline Lanes operator*(Lanes a, Lanes b) noexcept {
    return {_mm_mul_pd(a.v, b.v)};
}
inline Lanes operator/(Lanes a, Lanes b) noexcept {
    return {_mm_div_pd(a.v, b.v)};
}
inline LaneMask operator>=(Lanes a, Lanes b) noexcept {
    return {_mm_cmpge_pd(a.v, b.v)};
}
inline LaneMask operator&(LaneMask a, LaneMask b) noexcept {
    return {_mm_and_pd(a.v, b.v)};
}

// The value of type T with every lane x.
template <class T>
inline T splat(double x) noexcept {
    if constexpr (sizeof(T) == sizeof(double))
        return x;
    else
        return {_mm_set1_pd(x)};
}
// p[0] (and p[1] for Lanes); p need not be aligned.
template <class T>
inline T load(const double* p) noexcept {
    if constexpr (sizeof(T) == sizeof(double))
        return *p;
    else
        return {_mm_loadu_pd(p)};
}
inline void store(double* p, double x) noexcept {
    *p = x;
}
inline void store(double* p, Lanes x) noexcept {
    _mm_storeu_pd(p, x.v);
}
inline double select(bool m, double a, double b) noexcept {
    return m ? a : b;
}
inline Lanes select(LaneMask m, Lanes a, Lanes b) noexcept {
    return {_mm_or_pd(_mm_and_pd(m.v, a.v), _mm_andnot_pd(m.v, b.v))};
}

// The largest of top and s[from..to), two at a time; max(a, b) is
// a > b ? a : b, so NaN never counts, and two running maxima halve the chain
// of dependent steps.
inline double largest(const double* s, std::size_t from, std::size_t to, double top) noexcept {
    __m128d one = _mm_set1_pd(top), other = one;
    std::size_t i = from;
    for (; i + 4 <= to; i += 4) {
        one = _mm_max_pd(_mm_loadu_pd(s + i), one);
        other = _mm_max_pd(_mm_loadu_pd(s + i + 2), other);
    }
    for (; i < to; ++i)
        if (s[i] > top) top = s[i];
    alignas(16) double lanes[4];
    _mm_store_pd(lanes, one);
    _mm_store_pd(lanes + 2, other);
    for (const double v : lanes)
        if (v > top) top = v;
    return top;
}

// f.template operator()<T>(i) for every i in [from, to): two at a time, then
// the odd one left.
template <class F>
inline void for_lanes(std::size_t from, std::size_t to, F&& f) {
    std::size_t i = from;
    for (; i + 2 <= to; i += 2) f.template operator()<Lanes>(i);
    if (i < to) f.template operator()<double>(i);
}

}  // namespace quorvantis::engine
