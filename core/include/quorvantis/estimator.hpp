// The estimator interface and the prediction record every estimator fills.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "quorvantis/errors.hpp"
#include "quorvantis/views.hpp"

namespace quorvantis {

struct InferenceResult {
    std::vector<double> predictions;
    double mean_effect = 0.0;
    std::vector<std::pair<double, double>> confidence_intervals;
    std::vector<double> feature_importance;
};

// Polled by a caller blocked on a long computation; returning true asks the
// computation to stop early (it then reports Halt::Interrupted and changes
// nothing).
using Interrupt = std::function<bool()>;

class CausalModel {
public:
    virtual ~CausalModel() = default;
    virtual Status fit(const MatrixView& features, const VectorView& treatment, const VectorView& outcome,
                       const Interrupt& interrupt = {}) = 0;
    virtual Result<InferenceResult> predict(const MatrixView& features, const Interrupt& interrupt = {}) const = 0;
};

// Half-width of the fixed band reported around every estimate.
inline constexpr double kIntervalHalfWidth = 0.1;

}  // namespace quorvantis
