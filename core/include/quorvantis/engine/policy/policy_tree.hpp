// Policy trees: the tree of a given depth whose leaves' actions collect the
// largest total reward over the training rows.
//
// Candidate thresholds lie midway between consecutive distinct values of a
// feature over all training rows (with split_step s, the gaps 0, s, 2s, ...
// in ascending order); each split also chooses the side of missing values.
// Depth 1 and 2 are exact; deeper trees take the root of the exact depth-2
// tree at every level above the last two, whose depth-2 subtrees are exact.
// A deeper tree therefore never earns less than the exact depth-2 tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvantis/base/errors.hpp"
#include "quorvantis/base/interrupt.hpp"
#include "quorvantis/base/views.hpp"

namespace quorvantis::engine {

struct PolicyOptions {
    std::size_t max_depth = 2;
    std::size_t min_samples_leaf = 1;
    std::size_t split_step = 1;
    std::size_t n_threads = 0;  // 0: every worker of the pool
};

// A node of the flat tree; node 0 is the root. Leaves have feature -1.
struct PolicyNode {
    std::int32_t feature = -1;
    double threshold = 0.0;  // rows with x <= threshold go left
    bool missing_left = false;
    std::int32_t left = -1;
    std::int32_t right = -1;
    std::int32_t action = -1;  // leaves only
};

struct PolicyTree {
    std::vector<PolicyNode> nodes;
    double reward = 0.0;  // total reward of the chosen actions over the training rows
};

// `rewards` is n rows by K >= 2 actions, finite; `features` n rows, NaN missing.
// Ties go to the simpler tree, then to the lower feature, the lower threshold,
// missing values right before left, and the lower action.
Result<PolicyTree> fit_policy_tree(const MatrixView& features, const MatrixView& rewards, const PolicyOptions& options,
                                   const Interrupt& interrupt = {});

}  // namespace quorvantis::engine
