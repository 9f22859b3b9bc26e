// The one owning smart pointer for Python references.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvantis::py {

class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef(const PyRef& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new reference for handing to the interpreter.
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace quorvantis::py
