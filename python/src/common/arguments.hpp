// Binding and conversion of every parameter kind; failures raise
// TypeError("argument 'name': reason").
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/pyref.hpp"
#include "quorvantis/base/views.hpp"

namespace quorvantis::py {

// Binds positional and keyword arguments to `names` (required ones first);
// `out` receives borrowed references, nullptr for parameters not passed.
bool bind_arguments(PyObject* args, PyObject* kwargs, const char* function, const std::vector<const char*>& names,
                    std::size_t required, PyObject** out);

// The arrays a model or result keeps from its creation. Their owner can change
// them in place afterwards, so errors about them name them, not a parameter.
enum class Stored { features, treatment, outcome, predictions };

// A NumPy float64 array read in place; keeps the exported buffer (and thereby
// the array) alive while it lives.
class ArrayArg {
public:
    ArrayArg() = default;
    ArrayArg(const ArrayArg&) = delete;
    ArrayArg& operator=(const ArrayArg&) = delete;
    ~ArrayArg();

    // Accepts exactly `ndim` dimensions of native float64; otherwise sets
    // TypeError naming `name` and returns false. Releases any buffer held before.
    bool load(PyObject* obj, int ndim, const char* name);
    // The same for a stored array: TypeError saying it was changed since;
    // RuntimeError when the collector dropped it (see require_stored).
    bool load_stored(PyObject* obj, Stored which);

    MatrixView matrix() const;
    VectorView vector() const;
    // True while the array still exports the buffer the views were made from
    // (same memory, shape, strides and dtype); Python code that ran since may
    // have resized, reshaped or retyped it.
    bool unchanged() const;
    PyObject* object() const { return buffer_.obj; }
    std::size_t length() const { return static_cast<std::size_t>(buffer_.shape[0]); }

private:
    // False with `got` saying what `obj` is when refused, or with `got` empty
    // and the exception pending when taking the buffer raised one.
    bool take(PyObject* obj, int ndim, std::string& got);
    void release();

    Py_buffer buffer_{};
    bool held_ = false;
};

// False with RuntimeError when `obj`, a stored array, is null: the collector
// cleared its owner (tp_clear), yet a finaliser could still call a method.
bool require_stored(PyObject* obj, Stored which);

bool to_text(PyObject* obj, const char* name, std::string& out);
bool to_names(PyObject* obj, const char* name, std::optional<std::vector<std::string>>& out);
// Integer index as unsigned 64-bit; OverflowError from the interpreter passes unchanged.
bool to_index(PyObject* obj, const char* name, std::uint64_t& out);
// Only the objects True and False.
bool to_bool(PyObject* obj, const char* name, bool& out);

// Sets TypeError "argument 'name': reason"; returns false.
bool raise_argument_error(const char* name, const std::string& reason);

// "list", "numpy.ndarray", "mypkg.Thing".
std::string type_name(PyObject* obj);

// A new 1-D float64 NumPy array holding a copy of `values`.
PyRef new_float64_array(const std::vector<double>& values);

PyRef utf8_to_str(const std::string& text);

}  // namespace quorvantis::py
