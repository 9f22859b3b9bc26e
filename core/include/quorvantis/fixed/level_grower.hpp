// Grows fixed-forest trees level by level: one pass over the matrix per level
// serves every node of every tree at that level, since the fit is bound by
// memory traffic. Each tree makes exactly the choices its TreeChoices give,
// over its split rows in ascending order, whatever runs where.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvantis/fixed/threshold_bins.hpp"
#include "quorvantis/fixed/tree_keys.hpp"
#include "quorvantis/base/views.hpp"

namespace quorvantis::fixed {

// A node as grown from split rows, before the estimation rows are known.
struct GrownNode {
    std::uint64_t feature = 0;
    double threshold = 0.0;
    double score = 0.0;
    std::uint32_t left = 0, right = 0;  // indices of the children, after their parent
    std::uint32_t depth = 0;
    bool split = false;
};

struct GrownTree {
    std::vector<GrownNode> nodes;     // root first
    std::vector<ArmSums> estimation;  // estimation-row sums of the subtree below each node
};

// One tree per entry of `choices`. Treatment and outcome need an entry for
// every row. Runs on the pool when called inside a job (checkpoints included).
std::vector<GrownTree> grow_trees(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                                  std::uint64_t max_depth, std::uint64_t min_samples_leaf,
                                  std::span<const TreeChoices* const> choices);

}  // namespace quorvantis::fixed
