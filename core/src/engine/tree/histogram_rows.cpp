#include "quorvantis/engine/tree/histogram_rows.hpp"

#include <immintrin.h>

#include "quorvantis/base/cpu_features.hpp"

namespace quorvantis::engine {
namespace {

template <std::size_t K>
void add_rows_plain(Moments<K>* h, std::size_t p, std::size_t n_codes, const SplitRecord<K>* rec, std::size_t lo,
                    std::size_t hi, const std::uint8_t* codes, const std::uint8_t* x,
                    const std::uint32_t* rows) noexcept {
    for (std::size_t i = lo; i < hi; ++i) {
        const std::uint8_t* c = codes != nullptr ? codes + i * p : x + std::size_t{rows[i]} * p;
        const Moments<K> m = rec[i].m;  // a local: stores to bins cannot alias it
        for (std::size_t f = 0; f < p; ++f) h[f * n_codes + c[f]].add(m);
    }
}

// Four moments to an instruction: a bin takes two adds instead of three
// (six moments) or four (eight). Lane-wise sums round as the two-wide ones.
template <std::size_t K>
__attribute__((target("avx2"))) void add_rows_avx2(Moments<K>* h, std::size_t p, std::size_t n_codes,
                                                   const SplitRecord<K>* rec, std::size_t lo, std::size_t hi,
                                                   const std::uint8_t* codes, const std::uint8_t* x,
                                                   const std::uint32_t* rows) noexcept {
    for (std::size_t i = lo; i < hi; ++i) {
        const std::uint8_t* c = codes != nullptr ? codes + i * p : x + std::size_t{rows[i]} * p;
        __m256d quads[K / 4];
        for (std::size_t k = 0; k < K / 4; ++k) quads[k] = _mm256_loadu_pd(rec[i].m.v + 4 * k);
        [[maybe_unused]] const __m128d pair = _mm_load_pd(rec[i].m.v + K - 2);
        for (std::size_t f = 0; f < p; ++f) {
            double* bin = h[f * n_codes + c[f]].v;
            for (std::size_t k = 0; k < K / 4; ++k)
                _mm256_storeu_pd(bin + 4 * k, _mm256_add_pd(_mm256_loadu_pd(bin + 4 * k), quads[k]));
            if constexpr (K % 4 != 0) {
                _mm_store_pd(bin + K - 2, _mm_add_pd(_mm_load_pd(bin + K - 2), pair));
            }
        }
    }
}

}  // namespace

template <std::size_t K>
void add_rows(Moments<K>* h, std::size_t p, std::size_t n_codes, const SplitRecord<K>* rec, std::size_t lo,
              std::size_t hi, const std::uint8_t* codes, const std::uint8_t* x, const std::uint32_t* rows) noexcept {
    if constexpr (K >= 4)
        if (cpu::features().avx2) return add_rows_avx2(h, p, n_codes, rec, lo, hi, codes, x, rows);
    add_rows_plain(h, p, n_codes, rec, lo, hi, codes, x, rows);
}

template void add_rows<2>(Moments<2>*, std::size_t, std::size_t, const SplitRecord<2>*, std::size_t, std::size_t,
                          const std::uint8_t*, const std::uint8_t*, const std::uint32_t*) noexcept;
template void add_rows<4>(Moments<4>*, std::size_t, std::size_t, const SplitRecord<4>*, std::size_t, std::size_t,
                          const std::uint8_t*, const std::uint8_t*, const std::uint32_t*) noexcept;
template void add_rows<6>(Moments<6>*, std::size_t, std::size_t, const SplitRecord<6>*, std::size_t, std::size_t,
                          const std::uint8_t*, const std::uint8_t*, const std::uint32_t*) noexcept;
template void add_rows<8>(Moments<8>*, std::size_t, std::size_t, const SplitRecord<8>*, std::size_t, std::size_t,
                          const std::uint8_t*, const std::uint8_t*, const std::uint32_t*) noexcept;

}  // namespace quorvantis::engine
