// The random draws of one fixed-forest tree, given a generator: the honest
// halves and a node's candidate features.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvantis/base/random.hpp"

namespace quorvantis::fixed {

// Candidate features per node: floor(sqrt(p)), square root in double precision.
std::size_t candidate_count(std::uint64_t p) noexcept;

// Bit r set: row r belongs to the estimation half, the last n - floor(n/2)
// entries of a uniform permutation of 0..n-1 (Fisher-Yates from the top).
std::vector<std::uint64_t> estimation_bits(std::size_t n, Rng& rng);

inline bool is_estimation(const std::vector<std::uint64_t>& bits, std::size_t r) noexcept {
    return (bits[r >> 6] >> (r & 63)) & 1;
}

// The first candidate_count(p) entries of a uniform permutation of 0..p-1.
std::vector<std::uint64_t> random_candidates(std::uint64_t p, Rng& rng);

}  // namespace quorvantis::fixed
