#pragma once
// The frame every function passes through: the body runs under a panic guard,
// and its outcome (a result, an error object or a panic) is handed to CPython.

#include <cstdlib>
#include <exception>
#include <new>
#include <optional>

#include "common/panic.hpp"
#include "module/error.hpp"
#include "module/owned.hpp"

namespace tovimera::module {

using Body = Result<PyObject*> (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// None of these is noexcept, and none swallows abi::__forced_unwind: CPython
// ends a daemon thread that re-attaches during interpreter exit with
// pthread_exit, whose unwind must pass through to the thread's start.

// Runs a body; every exception it lets out becomes the matching error object.
Result<PyObject*> guarded(Body body, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Hands the outcome to CPython: the result, or NULL with the exception set. A
// failure at this point cannot be reported to the caller and aborts.
PyObject* hand_over(Result<PyObject*> outcome);

template <Body body>
PyObject* call_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    [[maybe_unused]] const CallScope call;
    return hand_over(guarded(body, args, nargs, kwnames));
}

}  // namespace tovimera::module
