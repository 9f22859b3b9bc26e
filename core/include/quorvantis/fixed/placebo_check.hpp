// The placebo check: does the forest find less effect when the treatment is
// shuffled at random than it finds on the real treatment?
#pragma once

#include <cstdint>
#include <string>

#include "quorvantis/fixed/fixed_forest.hpp"

namespace quorvantis::fixed {

struct ValidationOutcome {
    bool is_robust = false;
    std::string message;
};

// The verdict and sentence for a placebo mean and an estimated mean effect.
ValidationOutcome placebo_verdict(double placebo_mean, double estimated_mean, std::uint64_t n_folds);

// Refits a copy of `forest` on a permuted treatment and compares average
// effects; `forest` is only read. Fails, without refitting, only when
// `forest` itself cannot predict on `features`: there is nothing to compare.
// A failed refit leaves the copy's trees, and a failed placebo prediction
// counts as effect 0. When the interrupt stops the work (the refit or either
// prediction), the check halts and nothing more is computed.
Result<ValidationOutcome> validate_causal_structure(const FixedForest& forest, const MatrixView& features,
                                                    const VectorView& treatment, const VectorView& outcome,
                                                    std::uint64_t n_folds, const Interrupt& interrupt = {});

}  // namespace quorvantis::fixed
