#include "common/console.hpp"

#include <Python.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <new>
#include <system_error>

#include "common/pyref.hpp"

namespace quorvantis::py {
namespace {

// Serialises our writers so that each text reaches fd 1 whole. It is only
// waited for with the interpreter lock released, and no Python code runs
// while it is held.
std::mutex* writers = nullptr;

// The thread that held it in the parent does not exist in a forked child.
void renew_in_child() {
    writers = new std::mutex;
}

std::mutex& writer_mutex() {
    static const bool ready = [] {
        writers = new std::mutex;
        pthread_atfork(nullptr, nullptr, renew_in_child);
        return true;
    }();
    (void)ready;
    return *writers;
}

// Writes `text` to fd 1 with the writers' mutex held, advancing it past what
// was written; 0 when all of it was, else the errno that stopped it.
int write_locked(std::string_view& text) noexcept {
    try {
        std::lock_guard<std::mutex> lock(writer_mutex());
        while (!text.empty()) {
            const ssize_t n = ::write(1, text.data(), text.size());
            if (n < 0) return errno;
            text.remove_prefix(static_cast<std::size_t>(n));
        }
        return 0;
    } catch (const std::system_error& e) {
        return e.code().value();
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

}  // namespace

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
    // The write may block (a full pipe drained by another of our threads), so
    // the interpreter lock is released around it, as os.write does.
    for (;;) {
        int error = 0;
        Py_BEGIN_ALLOW_THREADS error = write_locked(text);
        Py_END_ALLOW_THREADS if (error == 0) return true;
        if (error != EINTR) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        // Handlers run with the mutex released: another thread's text may
        // land between what was written before the signal and the rest.
        if (PyErr_CheckSignals() != 0) return false;
    }
}

}  // namespace quorvantis::py
