// Estimators to bytes and back, for pickling and for moving models between
// processes. All integers and doubles are little-endian; doubles keep their
// exact bits, so a restored estimator predicts exactly what the original did.
// The frame is serial_io.hpp's, version 1, kind 1 causal forest, 2 linear.
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

#include "quorvantis/fixed/fixed_forest.hpp"
#include "quorvantis/fixed/linear_model.hpp"
#include "quorvantis/base/serial_frame.hpp"

namespace quorvantis::fixed {

using Estimator = std::variant<FixedForest, LinearCausalModel>;

inline constexpr std::uint16_t kSerialVersion = 1;

std::vector<unsigned char> serialize(const Estimator& estimator);

// The estimator, or why the bytes were refused (then `estimator` is null).
struct Decoded {
    std::unique_ptr<Estimator> estimator;
    std::string error;
};

// Checks everything before building: framing, checksum, counts against the
// bytes present, tree structure, the invariants a fit keeps, trailing bytes.
// Forests decode only when fitted (exactly n_trees trees) with the settings
// every fit uses (those of a default FixedForest).
Decoded deserialize(std::span<const unsigned char> bytes);

}  // namespace quorvantis::fixed
