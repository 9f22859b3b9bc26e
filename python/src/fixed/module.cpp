// Module initialisation: three functions, three classes, in that order.
#include <Python.h>

#include "common/classes.hpp"
#include "fixed/display.hpp"
#include "common/exceptions.hpp"
#include "fixed/model.hpp"
#include "fixed/pickling.hpp"
#include "common/pyref.hpp"
#include "fixed/results.hpp"

namespace quorvantis::fixed {}
namespace quorvantis::report {}

namespace quorvantis::py {
using namespace quorvantis::fixed;
using namespace quorvantis::report;
namespace {

PyObject* analyze_flow(PyObject*, PyObject*) {
    return PyUnicode_FromString("Rust core analysis results");
}

PyMethodDef module_functions[] = {
    {"analyze_flow", analyze_flow, METH_NOARGS, "analyze_flow()\n--\n\n"},
    {"create_model", as_cfunction(create_model), METH_VARARGS | METH_KEYWORDS,
     "create_model(features, treatment, outcome, method=\"forest\", feature_names=None)\n--\n\n"},
    {"plot_model", as_cfunction(plot_model), METH_VARARGS | METH_KEYWORDS, "plot_model(model, plot=\"graph\")\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0, not -1: with -1 a second interpreter (or an import after the module
// left sys.modules) gets a copy of this module's dict, type objects included,
// without PyInit running; with 0 PyInit runs again and refuses.
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_quorvantis", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Appends `name` to __all__ (creating it on first use), then sets the attribute.
bool add(PyObject* module, const char* name, PyObject* value /* stolen */) {
    PyRef owned = PyRef::steal(value);
    if (!owned) return false;
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) != 0) return false;
    return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

PyObject* init() {
    static bool initialised = false;
    if (initialised) {
        PyErr_SetString(PyExc_ImportError, "_quorvantis cannot be initialised twice in one process");
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
        if (!add(module.get(), def->ml_name, PyCFunction_NewEx(def, nullptr, nullptr))) return nullptr;
    }
    PyObject* model = model_type();
    PyObject* result = model ? inference_result_type() : nullptr;
    PyObject* validation = result ? validation_result_type() : nullptr;
    if (validation == nullptr) return nullptr;
    Py_INCREF(model);
    Py_INCREF(result);
    Py_INCREF(validation);
    if (!add(module.get(), "Model", model) || !add(module.get(), "InferenceResult", result) ||
        !add(module.get(), "ValidationResult", validation)) {
        return nullptr;
    }
    // Reachable for `except`, but not one of the public names.
    PyObject* failure = internal_failure_type();
    if (failure == nullptr) return nullptr;
    Py_INCREF(failure);
    if (PyModule_AddObject(module.get(), "InternalFailure", failure) != 0) {
        Py_DECREF(failure);
        return nullptr;
    }
    // pickle looks it up here; private, so not in __all__.
    PyObject* restore = restore_function();
    if (restore == nullptr) return nullptr;
    Py_INCREF(restore);
    if (PyModule_AddObject(module.get(), "_restore", restore) != 0) {
        Py_DECREF(restore);
        return nullptr;
    }
    initialised = true;
    return module.release();
}

}  // namespace
}  // namespace quorvantis::py

extern "C" PyMODINIT_FUNC PyInit__quorvantis() {
    return quorvantis::py::guarded([] { return quorvantis::py::init(); });
}
