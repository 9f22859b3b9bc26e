#include "fixed/results.hpp"

#include <memory>

#include "common/arguments.hpp"
#include "common/classes.hpp"
#include "fixed/display.hpp"
#include "common/exceptions.hpp"
#include "fixed/pickling.hpp"

namespace quorvantis::fixed {}
namespace quorvantis::report {}

namespace quorvantis::py {
using namespace quorvantis::fixed;
using namespace quorvantis::report;
namespace {

// ---- InferenceResult ----

PyObject* get_mean_effect(PyObject* self, void*) {
    return PyFloat_FromDouble(data_of<ResultData>(self).mean_effect);
}

PyObject* get_predictions(PyObject* self, void*) {
    const PyRef& predictions = data_of<ResultData>(self).predictions;
    return require_stored(predictions.get(), Stored::predictions) ? predictions.new_ref() : nullptr;
}

PyObject* get_confidence_intervals(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const auto& ci = data_of<ResultData>(self).confidence_intervals;
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ci.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < ci.size(); ++i) {
            PyObject* pair = Py_BuildValue("(dd)", ci[i].first, ci[i].second);
            if (pair == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        return list.release();
    });
}

PyObject* get_feature_importance(PyObject* self, void*) {
    const auto& fi = data_of<ResultData>(self).feature_importance;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(fi.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < fi.size(); ++i) {
        PyObject* value = PyFloat_FromDouble(fi[i]);
        if (value == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
}

PyObject* result_summary(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!require_stored(data_of<ResultData>(self).predictions.get(), Stored::predictions)) return nullptr;
        return utf8_to_str(summary_text(self)).release();
    });
}

PyObject* result_repr(PyObject* self) {
    return result_summary(self, nullptr);
}

PyGetSetDef result_getset[] = {
    {"mean_effect", get_mean_effect, nullptr, nullptr, nullptr},
    {"predictions", get_predictions, nullptr, nullptr, nullptr},
    {"confidence_intervals", get_confidence_intervals, nullptr, nullptr, nullptr},
    {"feature_importance", get_feature_importance, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef result_methods[] = {
    {"to_visual_tag", as_cfunction(result_to_visual_tag), METH_VARARGS | METH_KEYWORDS,
     "to_visual_tag($self, plot_type=\"importance\")\n--\n\n"},
    {"to_dict", as_cfunction(result_to_dict), METH_VARARGS | METH_KEYWORDS,
     "to_dict($self, plot_type=\"importance\")\n--\n\n"},
    {"show", as_cfunction(result_show), METH_VARARGS | METH_KEYWORDS, "show($self, plot_type=\"importance\")\n--\n\n"},
    {"preview", as_cfunction(result_preview), METH_VARARGS | METH_KEYWORDS,
     "preview($self, plot_type=\"importance\")\n--\n\n"},
    {"to_html", as_cfunction(result_to_html), METH_VARARGS | METH_KEYWORDS,
     "to_html($self, plot_type=\"importance\")\n--\n\n"},
    {"summary", result_summary, METH_NOARGS, "summary($self)\n--\n\n"},
    {"_repr_html_", result_repr_html, METH_NOARGS, "_repr_html_($self)\n--\n\n"},
    {"__reduce__", result_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ResultData>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_instance<ResultData>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_instance<ResultData>)},
    {Py_tp_getset, result_getset},
    {Py_tp_methods, result_methods},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_str, reinterpret_cast<void*>(result_repr)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec result_spec = {"_quorvantis.InferenceResult", sizeof(Instance<ResultData>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, result_slots};

// ---- ValidationResult ----

PyObject* get_is_robust(PyObject* self, void*) {
    return PyBool_FromLong(data_of<ValidationData>(self).is_robust);
}

PyObject* get_message(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return utf8_to_str(data_of<ValidationData>(self).message).release(); });
}

PyGetSetDef validation_getset[] = {
    {"is_robust", get_is_robust, nullptr, nullptr, nullptr},
    {"message", get_message, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef validation_methods[] = {
    {"__reduce__", validation_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot validation_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ValidationData>)},
    {Py_tp_getset, validation_getset},
    {Py_tp_methods, validation_methods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

// Holds no Python references, so it stays out of the collector.
PyType_Spec validation_spec = {"_quorvantis.ValidationResult", sizeof(Instance<ValidationData>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, validation_slots};

}  // namespace

PyObject* inference_result_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = make_class(&result_spec);
    return type;
}

PyObject* validation_result_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = make_class(&validation_spec);
    return type;
}

PyObject* new_inference_result(ResultData data) {
    return new_instance(inference_result_type(), std::make_unique<ResultData>(std::move(data)));
}

PyObject* new_validation_result(ValidationData data) {
    return new_instance(validation_result_type(), std::make_unique<ValidationData>(std::move(data)));
}

}  // namespace quorvantis::py
