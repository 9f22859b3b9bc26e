// The Python classes InferenceResult and ValidationResult.
#pragma once

#include <Python.h>

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/pyref.hpp"

namespace quorvantis::py {

struct ResultData {
    double mean_effect = 0.0;
    PyRef predictions;  // 1-D float64 array owned by the result
    std::vector<std::pair<double, double>> confidence_intervals;
    std::vector<double> feature_importance;
    std::optional<std::vector<std::string>> feature_names;

    std::array<PyRef*, 1> references() { return {&predictions}; }
};

struct ValidationData {
    bool is_robust = false;
    std::string message;
};

PyObject* inference_result_type();   // borrowed; created on first use
PyObject* validation_result_type();  // borrowed; created on first use

PyObject* new_inference_result(ResultData data);
PyObject* new_validation_result(ValidationData data);

// The report text of a result (also its repr and str).
std::string summary_text(PyObject* result);

}  // namespace quorvantis::py
