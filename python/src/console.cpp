#include "console.hpp"

#include <Python.h>
#include <unistd.h>

#include <cerrno>

#include "pyref.hpp"

namespace quorvantis::py {

bool write_stdout(std::string_view text) {
    PyObject* out = PySys_GetObject("stdout");  // borrowed; may be None or absent
    if (out != nullptr && out != Py_None) {
        PyRef flushed = PyRef::steal(PyObject_CallMethod(out, "flush", nullptr));
        // A broken sys.stdout must not stop our own output; Ctrl-C and
        // SystemExit must.
        if (!flushed) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyErr_Clear();
        }
    }
    while (!text.empty()) {
        const ssize_t n = ::write(1, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) {
                if (PyErr_CheckSignals() != 0) return false;
                continue;
            }
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace quorvantis::py
