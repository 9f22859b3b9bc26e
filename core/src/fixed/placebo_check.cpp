#include "quorvantis/fixed/placebo_check.hpp"

#include <cmath>

#include "quorvantis/base/format.hpp"

namespace quorvantis::fixed {

ValidationOutcome placebo_verdict(double placebo_mean, double estimated_mean, std::uint64_t n_folds) {
    const double placebo = std::fabs(placebo_mean);
    const double estimated = std::fabs(estimated_mean);
    const double threshold = (estimated_mean == 0.0 || std::isnan(estimated_mean)) ? 0.05 : estimated * 0.2;
    ValidationOutcome out;
    out.is_robust = placebo < threshold;
    if (out.is_robust) {
        out.message = "Causal structure looks robust. Placebo effect (" + format_fixed4(placebo) +
                      ") is significantly lower than estimated effect (" + format_fixed4(estimated) +
                      "). Verified using " + std::to_string(n_folds) + " folds.";
    } else {
        out.message = "Warning: Causal structure may NOT be robust. Placebo effect (" + format_fixed4(placebo) +
                      ") is too high compared to estimated effect (" + format_fixed4(estimated) + ").";
    }
    return out;
}

Result<ValidationOutcome> validate_causal_structure(const FixedForest& forest, const MatrixView& features,
                                                    const VectorView& treatment, const VectorView& outcome,
                                                    std::uint64_t n_folds, const Interrupt& interrupt) {
    // Deterministic, so asked first: when it fails the refit would be wasted.
    Result<InferenceResult> estimated = forest.predict_result(features, interrupt);
    if (estimated.halted()) return estimated.halt();
    if (!estimated) return estimated.take_error();
    FixedForest placebo = forest;
    // A failed refit leaves the copy with the trees it was copied with.
    const Status refit = placebo.fit_placebo_result(features, treatment, outcome, interrupt);
    if (refit.halted()) return refit.halt();
    // A failing placebo prediction counts as no effect.
    const Result<InferenceResult> placebo_predicted = placebo.predict_result(features, interrupt);
    if (placebo_predicted.halted()) return placebo_predicted.halt();
    const double placebo_mean = placebo_predicted.ok() ? placebo_predicted.value().mean_effect : 0.0;
    return placebo_verdict(placebo_mean, estimated.value().mean_effect, n_folds);
}

}  // namespace quorvantis::fixed
