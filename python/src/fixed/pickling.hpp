// pickle and copy support: every class reduces to (_restore, (class name,
// state tuple)). The state's first item is its layout version; a Model's
// estimator travels as the core's checksummed bytes.
#pragma once

#include <Python.h>

namespace quorvantis::py {

PyObject* model_reduce(PyObject* self, PyObject*);
PyObject* result_reduce(PyObject* self, PyObject*);
PyObject* validation_reduce(PyObject* self, PyObject*);

// The module-level `_restore(kind, state)`; created once, kept for the process.
PyObject* restore_function();

}  // namespace quorvantis::py
