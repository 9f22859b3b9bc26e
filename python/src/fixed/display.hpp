// Visual methods of Model and InferenceResult, and plot_model.
#pragma once

#include <Python.h>

namespace quorvantis::py {

PyObject* model_to_visual_tag(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* model_show(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* model_preview(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* model_to_html(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* model_plot_importance(PyObject* self, PyObject* unused);
PyObject* model_plot_effects(PyObject* self, PyObject* unused);

PyObject* result_to_visual_tag(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* result_to_dict(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* result_show(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* result_preview(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* result_to_html(PyObject* self, PyObject* args, PyObject* kwargs);

// The summary as HTML tables followed by the importance chart, for notebooks.
PyObject* result_repr_html(PyObject* self, PyObject* unused);

PyObject* plot_model(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace quorvantis::py
