#include "quorvantis/fixed/linear_model.hpp"

#include <cstdint>

namespace quorvantis::fixed {

Status LinearCausalModel::fit(const MatrixView& /*features*/, const VectorView& treatment, const VectorView& outcome,
                              const Interrupt& /*interrupt*/) {
    if (outcome.size < treatment.size) {
        return QuorvantisError::internal("outcome has fewer entries than treatment");
    }
    double treated_sum = 0.0, control_sum = 0.0;
    std::int64_t treated = 0, control = 0;  // 64-bit: groups may exceed 2^31 rows
    for (std::size_t k = 0; k < treatment.size; ++k) {
        if (treatment[k] > 0.5) {
            treated_sum += outcome[k];
            ++treated;
        } else {
            control_sum += outcome[k];
            ++control;
        }
    }
    effect = (treated > 0 && control > 0)
                 ? treated_sum / static_cast<double>(treated) - control_sum / static_cast<double>(control)
                 : 0.0;
    return Status::success();
}

Result<InferenceResult> LinearCausalModel::predict(const MatrixView& features, const Interrupt&) const {
    InferenceResult r;
    r.predictions.assign(features.rows, effect);
    r.mean_effect = effect;
    r.confidence_intervals.assign(features.rows, {effect + (-kIntervalHalfWidth), effect + kIntervalHalfWidth});
    r.feature_importance.assign(features.cols, 0.0);
    return r;
}

}  // namespace quorvantis::fixed
