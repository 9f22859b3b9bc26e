#include "common/exceptions.hpp"

namespace quorvantis::py {

PyObject* raise_error(QuorvantisError&& error) {
    const QuorvantisError owned = std::move(error);
    PyObject* type = owned.is_value_error() ? PyExc_ValueError : PyExc_RuntimeError;
    const std::string message = owned.message();
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    return nullptr;
}

PyObject* internal_failure_type() {
    // Created once per process and kept for its life.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "_quorvantis.InternalFailure", "An internal invariant of _quorvantis broke; never a data or usage error.",
        PyExc_BaseException, nullptr);
    return type;
}

PyObject* raise_internal_failure(const std::string& message) {
    PyObject* type = internal_failure_type();
    if (type == nullptr) return nullptr;  // creating the type failed and set an error
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    return nullptr;
}

}  // namespace quorvantis::py
