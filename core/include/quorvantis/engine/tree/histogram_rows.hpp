// A histogram of every feature from a run of split rows: each row's moments
// go into its code's bin of each feature, rows in order, so every bin adds
// its rows as a row-by-row loop would.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvantis/engine/splitting/moments.hpp"

namespace quorvantis::engine {

// h[f * n_codes + code of row i at f] += rec[i].m for i in [lo, hi) and every
// f < p. A row's codes are codes + i * p when `codes` is given, else row
// rows[i] of the matrix `x` (p codes per row).
template <std::size_t K>
void add_rows(Moments<K>* h, std::size_t p, std::size_t n_codes, const SplitRecord<K>* rec, std::size_t lo,
              std::size_t hi, const std::uint8_t* codes, const std::uint8_t* x, const std::uint32_t* rows) noexcept;

}  // namespace quorvantis::engine
