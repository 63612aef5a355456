#pragma once
// Computations that touch no Python object run detached from the interpreter,
// so that other threads run (GIL builds) and stop-the-world pauses do not wait
// for them (free-threaded builds).

#include <cxxabi.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "module/compat.hpp"

namespace tovimera::module {

// `compute` must not touch Python objects or the interpreter; what it throws is
// rethrown once the thread is attached again.
template <class Compute>
auto detached(Compute&& compute) -> std::invoke_result_t<Compute&> {
    std::optional<std::invoke_result_t<Compute&>> result;
    std::exception_ptr failure;
    PyThreadState* const state = PyEval_SaveThread();
    try {
        result.emplace(compute());
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    // Outside any handler: during interpreter exit this may end the thread
    // with pthread_exit.
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// Detaching and re-attaching costs about 500 instructions on a GIL build
// (callgrind), a third of a one-ring call: calls with fewer kernel
// evaluations than this run attached, as they end sooner than a pause would.
inline constexpr double evaluations_worth_detaching = 16.0;

template <class Compute>
auto detached_if(double evaluations, Compute&& compute) -> std::invoke_result_t<Compute&> {
    if (evaluations < evaluations_worth_detaching) return compute();
    return detached(compute);
}

}  // namespace tovimera::module
