#pragma once
// A strong reference released on every path, panics included.

#include <utility>

#include "module/compat.hpp"

namespace tovimera::module {

#if PY_VERSION_HEX < 0x030C0000
// 3.11 keeps one current thread state for the process, so a thread knows it is
// attached only by comparing that with its own: the state it called us with.
inline thread_local PyThreadState* calling_thread_state = nullptr;
#endif

// Marks the extent of one call on this thread (nested calls restore the outer).
class CallScope {
public:
#if PY_VERSION_HEX < 0x030C0000
    CallScope() noexcept : outer_(std::exchange(calling_thread_state, PyThreadState_Get())) {}
    ~CallScope() { calling_thread_state = outer_; }

private:
    PyThreadState* outer_;
#else
    CallScope() noexcept = default;
#endif
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

// A daemon thread that wakes during interpreter exit is ended by pthread_exit,
// and the forced unwind runs our destructors with no thread state: the
// reference is then left to the dying process rather than touched.
inline bool attached_here() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    // Not PyGILState_Check inside a call: once finalization has deleted its
    // thread-local key it says yes to every thread, the dying daemon included.
    if (calling_thread_state != nullptr) return _PyThreadState_UncheckedGet() == calling_thread_state;
    // Outside calls (module set-up) it holds; with sub-interpreters present it
    // no longer tracks the thread and says yes.
    return PyGILState_Check() != 0;
#endif
}

inline void release_reference(PyObject* object) noexcept {
    if (object != nullptr && attached_here()) Py_DECREF(object);
}

class Owned {
public:
    Owned() = default;
    explicit Owned(PyObject* object) noexcept : object_(object) {}
    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Owned() { release_reference(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace tovimera::module
