#pragma once
// Process-wide values made on first use. A thread that finds the value missing
// detaches from the interpreter while it waits at the guard, so a thread that
// is initialising (and may need the interpreter itself) can never deadlock
// against it; the initialising thread re-attaches inside the guard.

#include <atomic>
#include <mutex>

#include "module/compat.hpp"

namespace tovimera::module {

template <class T>
class ProcessValue {
public:
    // `make` runs attached, at most once successfully; it returns the value or
    // throws (a panic), in which case a later caller tries again.
    template <class Make>
    T* get(Make&& make) {
        if (T* value = value_.load(std::memory_order_acquire)) return value;
        PyThreadState* detached = PyEval_SaveThread();
        try {
            std::call_once(flag_, [&] {
                PyEval_RestoreThread(detached);
                detached = nullptr;
                value_.store(make(), std::memory_order_release);
            });
        } catch (...) {
            if (detached != nullptr) PyEval_RestoreThread(detached);
            throw;
        }
        if (detached != nullptr) PyEval_RestoreThread(detached);
        return value_.load(std::memory_order_acquire);
    }

    // The value if it has been made, else NULL; never makes it.
    T* peek() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    std::atomic<T*> value_{nullptr};
    std::once_flag flag_;
};

}  // namespace tovimera::module
