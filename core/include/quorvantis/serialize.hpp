// Estimators to bytes and back, for pickling and for moving models between
// processes. All integers and doubles are little-endian; doubles keep their
// exact bits, so a restored estimator predicts exactly what the original did.
//
//   offset  size  field
//   0       8     magic 89 51 56 4D 0D 0A 1A 0A ("\x89QVM\r\n\x1a\n")
//   8       2     format version (1)
//   10      1     estimator kind: 1 causal forest, 2 linear
//   11      1     reserved, 0
//   12      8     payload length L
//   20      L     payload
//   20+L    8     SipHash-1-3 (kSerialKey) of bytes [0, 20+L)
//
// Forest payload: n_trees, max_depth, min_samples_leaf, n_features, tree
// count (u64 each), then per tree n_features importances (f64), a node count
// (u64) and the nodes in pre-order, each a tag byte and its fields:
//   0 leaf:  effect f64, n_samples u64
//   1 split: feature u64, threshold f64, left u32, right u32
// Linear payload: effect f64.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "quorvantis/forest.hpp"
#include "quorvantis/linear.hpp"

namespace quorvantis {

using Estimator = std::variant<CausalForest, LinearCausalModel>;

inline constexpr std::uint16_t kSerialVersion = 1;
inline constexpr std::uint64_t kSerialKey[2] = {0x51756f7276616e74ULL, 0x6d6f64656c2d7631ULL};
inline constexpr std::size_t kSerialHeader = 20;
inline constexpr std::size_t kSerialTrailer = 8;

std::vector<unsigned char> serialize(const Estimator& estimator);

// The estimator, or why the bytes were refused (then `estimator` is null).
struct Decoded {
    std::unique_ptr<Estimator> estimator;
    std::string error;
};

// Checks everything before building: framing, checksum, counts against the
// bytes present, tree structure, the invariants a fit keeps, trailing bytes.
// Forests decode only when fitted (exactly n_trees trees) with the settings
// every fit uses (those of a default CausalForest).
Decoded deserialize(std::span<const unsigned char> bytes);

}  // namespace quorvantis
