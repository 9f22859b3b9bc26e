// Core errors to Python exceptions, and the guard that keeps C++ exceptions
// from ever reaching the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "quorvantis/base/errors.hpp"

namespace quorvantis::py {

// Consumes the error: sets ValueError (kinds 0-3) or RuntimeError (4-6)
// carrying the message text. Returns nullptr for convenient `return`.
PyObject* raise_error(QuorvantisError&& error);

// The dedicated exception for broken internal invariants; derives from
// BaseException so `except Exception` does not swallow it.
PyObject* internal_failure_type();
PyObject* raise_internal_failure(const std::string& message);

// Calls f(); any escaping C++ exception becomes a Python exception and the
// failure value (nullptr or -1) of the entry point is returned.
template <class F>
auto guarded(F&& f) noexcept -> decltype(f()) {
    using R = decltype(f());
    auto fail = []() -> R {
        if constexpr (std::is_pointer_v<R>) {
            return nullptr;
        } else {
            return static_cast<R>(-1);
        }
    };
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_failure(e.what());
    } catch (...) {
        raise_internal_failure("unknown C++ exception");
    }
    return fail();
}

}  // namespace quorvantis::py
