#pragma once
// A strong reference released on every path, panics included.

#include <utility>

#include "module/compat.hpp"

namespace tovimera::module {

// A daemon thread that wakes during interpreter exit is ended by pthread_exit,
// and the forced unwind runs our destructors with no thread state: the
// reference is then left to the dying process rather than touched.
inline bool attached_here() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    // The process-wide current state must be this thread's own. (With
    // sub-interpreters present 3.11 no longer tracks this and says yes.)
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
