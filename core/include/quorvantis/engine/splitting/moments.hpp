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

// One split row's moments. Its row in the coded matrix is kept apart, and
// only when the builder reads codes from the matrix: 48 bytes instead of 64
// for K = 6 is that much less to move in every partition and histogram.
template <std::size_t K>
struct SplitRecord {
    Moments<K> m;
};

}  // namespace quorvantis::engine
