// The Python class Model and the model factory.
#pragma once

#include <Python.h>

#include <array>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/pyref.hpp"
#include "quorvantis/fixed/fixed_forest.hpp"
#include "quorvantis/fixed/linear_model.hpp"

namespace quorvantis::py {

// The estimator a model holds: a closed set, dispatched on the variant.
using CausalMethod = std::variant<fixed::FixedForest, fixed::LinearCausalModel>;

struct ModelData {
    CausalMethod method;
    std::optional<std::vector<std::string>> feature_names;
    PyRef features;
    PyRef treatment;
    PyRef outcome;

    std::array<PyRef*, 3> references() { return {&features, &treatment, &outcome}; }
};

PyObject* model_type();  // borrowed; created on first use

PyObject* create_model(PyObject* module, PyObject* args, PyObject* kwargs);

// Predicts with the held estimator (through the fallible interface).
Result<fixed::InferenceResult> predict_with(const CausalMethod& method, const MatrixView& x,
                                            const Interrupt& interrupt);

}  // namespace quorvantis::py
