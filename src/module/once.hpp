#pragma once
// Values made on first use and kept: one for the main interpreter, kept for
// the life of the process, and one per sub-interpreter, kept in that
// interpreter's own dictionary, since an object made with a sub-interpreter's
// allocator dies with it. No lock is held while one is made: making it may
// run Python code (an import hook, a signal handler) that needs the same value
// on the same thread. Threads that race each make one; the first published
// wins and the others drop theirs.

#include <atomic>

#include "common/panic.hpp"
#include "module/compat.hpp"
#include "module/owned.hpp"

namespace tovimera::module {

class InterpreterValue {
public:
    // `key` names the value in a sub-interpreter's dictionary.
    explicit constexpr InterpreterValue(const char* key) noexcept : key_(key) {}

    // `make` runs attached and returns a new reference, or throws (a panic),
    // in which case a later caller tries again. The result is borrowed.
    template <class Make>
    PyObject* get(Make&& make) {
        if (PyObject* value = peek()) return value;
        Owned made(make());
        if (in_main_interpreter()) {
            PyObject* published = nullptr;
            if (main_.compare_exchange_strong(published, made.get(), std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
                return made.release();
            }
            return published;
        }
        return publish_here(made.get());
    }

    // The value if this interpreter has one, else NULL; never makes it.
    PyObject* peek() const noexcept;

private:
    static bool in_main_interpreter() noexcept {
        return PyInterpreterState_Get() == PyInterpreterState_Main();
    }
    PyObject* publish_here(PyObject* made) const;

    const char* key_;
    std::atomic<PyObject*> main_{nullptr};
};

}  // namespace tovimera::module
