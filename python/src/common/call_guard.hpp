// What the core polls while a call works: Python's signal handlers run, and
// the work stops if one raised or changed an array the work reads. The pool
// pauses its workers around the poll, so no handler runs while they read.
#pragma once

#include <Python.h>

#include <string>
#include <utility>
#include <vector>

#include "common/arguments.hpp"
#include "quorvantis/base/errors.hpp"
#include "quorvantis/base/interrupt.hpp"

namespace quorvantis::py {

class CallGuard {
public:
    CallGuard() : interrupt_([this] { return poll(); }) {}
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

    // `what` names the array in the error, e.g. "argument 'x'".
    void watch(const ArrayArg& array, std::string what) { watched_.emplace_back(&array, std::move(what)); }
    const Interrupt& interrupt() const { return interrupt_; }

    // The Python error of a halted call: what the poll left pending (Ctrl-C,
    // a handler's own error, a changed array), or RuntimeError for a fork.
    PyObject* raise(Halt halt) const;

private:
    bool poll();

    std::vector<std::pair<const ArrayArg*, std::string>> watched_;
    Interrupt interrupt_;
};

}  // namespace quorvantis::py
