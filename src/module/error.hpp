#pragma once
// The error object: how the module carries an ordinary failure back to Python.
// A message needs no interpreter to be created, moved or dropped; a cast
// failure and an exception fetched from Python hold references.

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "module/compat.hpp"

namespace tovimera::module {

class ErrorObject {
public:
    // `type` must live as long as the process (a builtin type, PanicException).
    static ErrorObject message(PyObject* type, const char* constant) noexcept;
    static ErrorObject message(PyObject* type, std::string owned) noexcept;
    static ErrorObject panic(std::string message) noexcept;
    // Takes new references to both objects.
    static ErrorObject cast(PyObject* object, PyObject* expected_type) noexcept;
    // Steals the reference to an exception instance.
    static ErrorObject raised(PyObject* instance) noexcept;

    ErrorObject(ErrorObject&& other) noexcept;
    ErrorObject& operator=(ErrorObject&& other) noexcept;
    ErrorObject(const ErrorObject&) = delete;
    ErrorObject& operator=(const ErrorObject&) = delete;
    ~ErrorObject();

    // Sets the interpreter's current exception; consumes the error.
    void raise() &&;
    // The exception instance, created on first need (borrowed; NULL only when
    // CPython itself failed while creating it, with nothing pending).
    PyObject* instance();
    // Attaches "while processing '{name}'" to the instance; a failure while
    // doing so is discarded and the error stays as it was.
    ErrorObject with_argument_note(std::string_view name) &&;

private:
    ErrorObject() = default;
    void release() noexcept;
    PyObject* value_object() const;

    PyObject* type_ = nullptr;
    const char* constant_ = nullptr;
    std::string owned_;
    bool panic_ = false;
    PyObject* object_ = nullptr;
    PyObject* expected_ = nullptr;
    PyObject* instance_ = nullptr;
};

// The interpreter's current exception as an error object (cleared), or the
// SystemError for "none pending". A PanicException coming back from Python
// continues as a panic instead.
ErrorObject fetch_error();

// The cast-failure text: "'T' object is not an instance of 'E'".
std::string cast_failure_message(PyObject* object, PyObject* expected_type);

// UTF-8 text of a str, replacing what cannot be encoded strictly as the lossy
// rule does (surrogates become U+FFFD per invalid byte).
std::string utf8_lossy(PyObject* text);

template <class T>
using Result = std::variant<T, ErrorObject>;

}  // namespace tovimera::module
