#include "quorvantis/fixed/honest_sampling.hpp"

#include <cmath>
#include <limits>
#include <numeric>
#include <span>
#include <type_traits>

#include "quorvantis/base/page_buffer.hpp"

namespace quorvantis::fixed {

std::size_t candidate_count(std::uint64_t p) noexcept {
    return static_cast<std::size_t>(std::sqrt(static_cast<double>(p)));
}

// Positions n-1 down to floor(n/2) of a Fisher-Yates shuffle are final after
// those steps, so the shuffle stops there: the rest only reorders the split half.
std::vector<std::uint64_t> estimation_bits(std::size_t n, Rng& rng) {
    std::vector<std::uint64_t> bits((n + 63) / 64, 0);
    const std::size_t half = n / 2;
    auto mark = [&](auto* perm) {
        using I = std::remove_reference_t<decltype(*perm)>;
        for (std::size_t i = 0; i < n; ++i) perm[i] = static_cast<I>(i);
        for (std::size_t i = n; i-- > half;) {
            const std::size_t j = static_cast<std::size_t>(rng.bounded(i + 1));
            std::swap(perm[i], perm[j]);
            bits[perm[i] >> 6] |= std::uint64_t{1} << (perm[i] & 63);
        }
    };
    if (n <= std::numeric_limits<std::uint32_t>::max()) {
        PageBuffer<std::uint32_t> perm(n);
        mark(perm.data());
    } else {
        PageBuffer<std::uint64_t> perm(n);
        mark(perm.data());
    }
    return bits;
}

std::vector<std::uint64_t> random_candidates(std::uint64_t p, Rng& rng) {
    std::vector<std::uint64_t> perm(static_cast<std::size_t>(p));
    std::iota(perm.begin(), perm.end(), std::uint64_t{0});
    rng.shuffle(std::span<std::uint64_t>(perm));
    perm.resize(candidate_count(p));
    return perm;
}

}  // namespace quorvantis::fixed
