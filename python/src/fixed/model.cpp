#include "fixed/model.hpp"

#include <memory>

#include "common/arguments.hpp"
#include "common/call_guard.hpp"
#include "common/classes.hpp"
#include "fixed/display.hpp"
#include "common/exceptions.hpp"
#include "fixed/pickling.hpp"
#include "quorvantis/fixed/placebo_check.hpp"
#include "fixed/results.hpp"

namespace quorvantis::fixed {}
namespace quorvantis::report {}

namespace quorvantis::py {
using namespace quorvantis::fixed;
using namespace quorvantis::report;

Result<InferenceResult> predict_with(const CausalMethod& method, const MatrixView& x, const Interrupt& interrupt) {
    return std::visit([&](const auto& estimator) { return estimator.predict(x, interrupt); }, method);
}

namespace {

// Raises the Python form of a failed fit: a pending exception (Ctrl-C while
// the fit waited) wins over the core error it caused.
PyObject* raise_fit_error(QuorvantisError&& error) {
    if (PyErr_Occurred()) return nullptr;
    return raise_error(std::move(error));
}

PyObject* raise_length_error(const char* vector, std::size_t length, const char* against, std::size_t needed,
                             const char* unit) {
    const std::string message = std::string(vector) + " has " + std::to_string(length) + " entries but " + against +
                                " has " + std::to_string(needed) + " " + unit + "; " + vector + " needs at least " +
                                std::to_string(needed) + " entries";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

PyObject* create_model_impl(PyObject* args, PyObject* kwargs) {
    PyObject* a[5];
    if (!bind_arguments(args, kwargs, "create_model", {"features", "treatment", "outcome", "method", "feature_names"},
                        3, a)) {
        return nullptr;
    }
    ArrayArg features, treatment, outcome;
    auto load_arrays = [&] {
        return features.load(a[0], 2, "features") && treatment.load(a[1], 1, "treatment") &&
               outcome.load(a[2], 1, "outcome");
    };
    // Checked first: errors follow the parameter order.
    if (!load_arrays()) return nullptr;
    std::string method = "forest";
    if (a[3] != nullptr && !to_text(a[3], "method", method)) return nullptr;
    std::optional<std::vector<std::string>> names;
    if (!to_names(a[4], "feature_names", names)) return nullptr;
    // Iterating the names ran Python code, which may have resized or
    // reshaped the arrays and freed the memory the views pointed to.
    if (!load_arrays()) return nullptr;

    const MatrixView x = features.matrix();
    const VectorView t = treatment.vector();
    const VectorView y = outcome.vector();
    auto data = std::make_unique<ModelData>();
    if (method == "forest") {
        // Shorter vectors would be read past their end; longer ones are fine.
        if (t.size < x.rows) return raise_length_error("treatment", t.size, "features", x.rows, "rows");
        if (y.size < x.rows) return raise_length_error("outcome", y.size, "features", x.rows, "rows");
        CallGuard guard;
        guard.watch(features, "argument 'features'");
        guard.watch(treatment, "argument 'treatment'");
        guard.watch(outcome, "argument 'outcome'");
        FixedForest forest;
        Status fitted = forest.fit_result(x, t, y, guard.interrupt());
        if (fitted.halted()) return guard.raise(fitted.halt());
        if (!fitted) return raise_fit_error(fitted.take_error());
        data->method.emplace<FixedForest>(std::move(forest));
    } else if (method == "linear") {
        if (y.size < t.size) return raise_length_error("outcome", y.size, "treatment", t.size, "entries");
        LinearCausalModel linear;
        Status fitted = linear.fit(x, t, y);
        if (!fitted) return raise_fit_error(fitted.take_error());
        data->method.emplace<LinearCausalModel>(linear);
    } else {
        const std::string message = "Unknown method: " + method + ". Supported methods are 'forest', 'linear'";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return nullptr;
    }
    data->feature_names = std::move(names);
    data->features = PyRef::borrow(a[0]);
    data->treatment = PyRef::borrow(a[1]);
    data->outcome = PyRef::borrow(a[2]);
    return new_instance(model_type(), std::move(data));
}

PyObject* estimate_effects(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_arguments(args, kwargs, "estimate_effects", {"x"}, 1, a)) return nullptr;
        ArrayArg x;
        if (!x.load(a[0], 2, "x")) return nullptr;
        const ModelData& model = data_of<ModelData>(self);
        CallGuard guard;
        guard.watch(x, "argument 'x'");
        Result<InferenceResult> predicted = predict_with(model.method, x.matrix(), guard.interrupt());
        if (predicted.halted()) return guard.raise(predicted.halt());
        if (!predicted) return raise_error(predicted.take_error());
        InferenceResult& record = predicted.value();
        ResultData result;
        result.predictions = new_float64_array(record.predictions);
        if (!result.predictions) return nullptr;
        record.predictions = {};
        result.mean_effect = record.mean_effect;
        result.confidence_intervals = std::move(record.confidence_intervals);
        result.feature_importance = std::move(record.feature_importance);
        result.feature_names = model.feature_names;
        return new_inference_result(std::move(result));
    });
}

PyObject* validate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind_arguments(args, kwargs, "validate", {"n_folds", "is_time_series"}, 0, a)) {
            return nullptr;
        }
        std::uint64_t n_folds = 5;
        if (a[0] != nullptr && !to_index(a[0], "n_folds", n_folds)) return nullptr;
        bool is_time_series = false;
        if (a[1] != nullptr && !to_bool(a[1], "is_time_series", is_time_series)) return nullptr;

        const ModelData& model = data_of<ModelData>(self);
        const auto* forest = std::get_if<FixedForest>(&model.method);
        if (forest == nullptr) {
            return new_validation_result({true, "Validation not implemented for this model type yet."});
        }
        ArrayArg features, treatment, outcome;
        if (!features.load_stored(model.features.get(), Stored::features) ||
            !treatment.load_stored(model.treatment.get(), Stored::treatment) ||
            !outcome.load_stored(model.outcome.get(), Stored::outcome)) {
            return nullptr;
        }
        CallGuard guard;
        guard.watch(features, "the model's training features");
        guard.watch(treatment, "the model's training treatment");
        guard.watch(outcome, "the model's training outcome");
        Result<ValidationOutcome> checked = validate_causal_structure(*forest, features.matrix(), treatment.vector(),
                                                                      outcome.vector(), n_folds, guard.interrupt());
        if (checked.halted()) return guard.raise(checked.halt());
        if (!checked) {
            const std::string message =
                "the model's stored training arrays no longer fit the model: " + checked.error().message();
            PyErr_SetString(PyExc_ValueError, message.c_str());
            return nullptr;
        }
        ValidationOutcome& verdict = checked.value();
        return new_validation_result({verdict.is_robust, std::move(verdict.message)});
    });
}

PyMethodDef model_methods[] = {
    {"to_visual_tag", as_cfunction(model_to_visual_tag), METH_VARARGS | METH_KEYWORDS,
     "to_visual_tag($self, plot_type=\"graph\")\n--\n\n"},
    {"show", as_cfunction(model_show), METH_VARARGS | METH_KEYWORDS, "show($self, plot_type=\"graph\")\n--\n\n"},
    {"preview", as_cfunction(model_preview), METH_VARARGS | METH_KEYWORDS,
     "preview($self, plot_type=\"graph\")\n--\n\n"},
    {"to_html", as_cfunction(model_to_html), METH_VARARGS | METH_KEYWORDS,
     "to_html($self, plot_type=\"graph\")\n--\n\n"},
    {"estimate_effects", as_cfunction(estimate_effects), METH_VARARGS | METH_KEYWORDS,
     "estimate_effects($self, x)\n--\n\n"},
    {"validate", as_cfunction(validate), METH_VARARGS | METH_KEYWORDS,
     "validate($self, n_folds=5, is_time_series=False)\n--\n\n"},
    {"plot_importance", as_cfunction(model_plot_importance), METH_NOARGS, "plot_importance($self)\n--\n\n"},
    {"plot_effects", as_cfunction(model_plot_effects), METH_NOARGS, "plot_effects($self)\n--\n\n"},
    {"__reduce__", model_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ModelData>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_instance<ModelData>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_instance<ModelData>)},
    {Py_tp_methods, model_methods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec model_spec = {"_quorvantis.Model", sizeof(Instance<ModelData>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, model_slots};

}  // namespace

PyObject* model_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = make_class(&model_spec);
    return type;
}

PyObject* create_model(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return create_model_impl(args, kwargs); });
}

}  // namespace quorvantis::py
