#include "common/call_guard.hpp"

namespace quorvantis::py {

bool CallGuard::poll() {
    if (PyErr_CheckSignals() != 0) return true;
    for (const auto& [array, what] : watched_) {
        if (array->unchanged()) continue;
        const std::string message =
            what + " changed size, shape or dtype while the call was reading it; nothing was computed";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return true;
    }
    return false;
}

PyObject* CallGuard::raise(Halt halt) const {
    if (PyErr_Occurred()) return nullptr;
    if (halt == Halt::Forked) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the process forked while this call was running, and its worker threads stayed in the "
                        "parent: the call cannot finish in the child process; call it again there");
    } else {
        PyErr_SetString(PyExc_RuntimeError, "the call was interrupted before it finished");
    }
    return nullptr;
}

}  // namespace quorvantis::py
