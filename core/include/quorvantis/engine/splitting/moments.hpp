// Sums that a histogram bin, a node or a split side keeps: K doubles, added
// with SSE2. Raw moments do not depend on the node, so a child's sums are its
// parent's minus its sibling's.
#pragma once

#include <emmintrin.h>

#include <cstddef>

namespace quorvantis::engine {

template <std::size_t K>
struct Moments {
    static_assert(K % 2 == 0);
    alignas(16) double v[K] = {};

    void add(const Moments& o) noexcept {
        for (std::size_t k = 0; k < K; k += 2)
            _mm_store_pd(v + k, _mm_add_pd(_mm_load_pd(v + k), _mm_load_pd(o.v + k)));
    }
    void subtract(const Moments& o) noexcept {
        for (std::size_t k = 0; k < K; k += 2)
            _mm_store_pd(v + k, _mm_sub_pd(_mm_load_pd(v + k), _mm_load_pd(o.v + k)));
    }
    friend Moments operator-(Moments a, const Moments& b) noexcept {
        a.subtract(b);
        return a;
    }
    friend Moments operator+(Moments a, const Moments& b) noexcept {
        a.add(b);
        return a;
    }
    double count() const noexcept { return v[0]; }
};

// One split row: its moments and its row in the coded matrix.
template <std::size_t K>
struct SplitRecord {
    Moments<K> m;
    std::uint32_t row = 0;
};

}  // namespace quorvantis::engine
