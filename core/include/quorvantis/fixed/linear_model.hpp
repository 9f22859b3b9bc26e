// Constant treatment effect as a difference of group means.
#pragma once

#include "quorvantis/fixed/inference_result.hpp"

namespace quorvantis::fixed {

class LinearCausalModel final {
public:
    double effect = 0.0;

    // Reads outcome[k] for every k of the treatment; an outcome shorter than
    // the treatment is refused rather than read past its end.
    Status fit(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
               const Interrupt& interrupt = {});
    Result<InferenceResult> predict(const MatrixView& features, const Interrupt& interrupt = {}) const;
};

}  // namespace quorvantis::fixed
