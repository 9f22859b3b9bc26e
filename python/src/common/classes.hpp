// What the three classes share: no Python constructor, not subclassable, no
// __dict__, no weak references, immutable; C++ state behind one owned pointer.
// Classes whose state holds Python references take part in garbage collection:
// their Data lists them in references().
#pragma once

#include <Python.h>

#include <memory>
#include <utility>

#include "common/pyref.hpp"

namespace quorvantis::py {

// Method tables hold every C function as a PyCFunction.
template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <class Data>
struct Instance {
    PyObject_HEAD Data* data;
};

// tp_new of every class.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Specs are named "_quorvantis.X": __name__ is X and __module__ is set.
inline PyObject* make_class(PyType_Spec* spec) {
    return PyType_FromSpec(spec);
}

template <class Data>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // Releasing the references can run Python code, and with it the collector.
    if (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
    delete std::exchange(reinterpret_cast<Instance<Data>*>(self)->data, nullptr);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// tp_traverse and tp_clear. `data` is null until new_instance sets it. A
// cleared instance keeps its C++ state; its methods that need the dropped
// references raise RuntimeError (see require_stored).
template <class Data>
int traverse_instance(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (Data* data = reinterpret_cast<Instance<Data>*>(self)->data) {
        for (PyRef* ref : data->references()) Py_VISIT(ref->get());
    }
    return 0;
}

template <class Data>
int clear_instance(PyObject* self) {
    if (Data* data = reinterpret_cast<Instance<Data>*>(self)->data) {
        for (PyRef* ref : data->references()) *ref = PyRef();
    }
    return 0;
}

// A new instance of `type` owning `data`; nullptr with an exception set on failure.
template <class Data>
PyObject* new_instance(PyObject* type, std::unique_ptr<Data> data) {
    if (type == nullptr) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    PyObject* self = alloc(tp, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<Instance<Data>*>(self)->data = data.release();
    return self;
}

template <class Data>
Data& data_of(PyObject* self) {
    return *reinterpret_cast<Instance<Data>*>(self)->data;
}

}  // namespace quorvantis::py
