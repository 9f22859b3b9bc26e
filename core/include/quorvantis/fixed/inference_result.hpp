// The prediction record both fixed estimators fill.
#pragma once

#include <utility>
#include <vector>

#include "quorvantis/base/errors.hpp"
#include "quorvantis/base/interrupt.hpp"
#include "quorvantis/base/views.hpp"

namespace quorvantis::fixed {

struct InferenceResult {
    std::vector<double> predictions;
    double mean_effect = 0.0;
    std::vector<std::pair<double, double>> confidence_intervals;
    std::vector<double> feature_importance;
};

// Half-width of the fixed band reported around every estimate.
inline constexpr double kIntervalHalfWidth = 0.1;

}  // namespace quorvantis::fixed
