#include "module/error.hpp"

#include <cstdio>

#include "common/panic.hpp"
#include "module/owned.hpp"
#include "module/process_values.hpp"

namespace tovimera::module {

ErrorObject ErrorObject::message(PyObject* type, const char* constant) noexcept {
    ErrorObject error;
    error.type_ = type;
    error.constant_ = constant;
    return error;
}

ErrorObject ErrorObject::message(PyObject* type, std::string owned) noexcept {
    ErrorObject error;
    error.type_ = type;
    error.owned_ = std::move(owned);
    return error;
}

ErrorObject ErrorObject::panic(std::string message) noexcept {
    ErrorObject error = ErrorObject::message(nullptr, std::move(message));
    error.panic_ = true;
    return error;
}

ErrorObject ErrorObject::cast(PyObject* object, PyObject* expected_type) noexcept {
    ErrorObject error;
    error.type_ = PyExc_TypeError;
    error.object_ = Py_NewRef(object);
    error.expected_ = Py_NewRef(expected_type);
    return error;
}

ErrorObject ErrorObject::raised(PyObject* instance) noexcept {
    ErrorObject error;
    error.instance_ = instance;
    return error;
}

ErrorObject::ErrorObject(ErrorObject&& other) noexcept
    : type_(std::exchange(other.type_, nullptr)),
      constant_(std::exchange(other.constant_, nullptr)),
      owned_(std::move(other.owned_)),
      panic_(other.panic_),
      object_(std::exchange(other.object_, nullptr)),
      expected_(std::exchange(other.expected_, nullptr)),
      instance_(std::exchange(other.instance_, nullptr)) {}

ErrorObject& ErrorObject::operator=(ErrorObject&& other) noexcept {
    if (this != &other) {
        release();
        type_ = std::exchange(other.type_, nullptr);
        constant_ = std::exchange(other.constant_, nullptr);
        owned_ = std::move(other.owned_);
        panic_ = other.panic_;
        object_ = std::exchange(other.object_, nullptr);
        expected_ = std::exchange(other.expected_, nullptr);
        instance_ = std::exchange(other.instance_, nullptr);
    }
    return *this;
}

ErrorObject::~ErrorObject() { release(); }

void ErrorObject::release() noexcept {
    release_reference(std::exchange(object_, nullptr));
    release_reference(std::exchange(expected_, nullptr));
    release_reference(std::exchange(instance_, nullptr));
}

PyObject* ErrorObject::value_object() const {
    if (object_ != nullptr) {
        const std::string text = cast_failure_message(object_, expected_);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    PyObject* text = constant_ != nullptr
                         ? PyUnicode_FromString(constant_)
                         : PyUnicode_FromStringAndSize(owned_.data(),
                                                       static_cast<Py_ssize_t>(owned_.size()));
    if (text == nullptr || !panic_) return text;
    PyObject* args = PyTuple_Pack(1, text);
    Py_DECREF(text);
    return args;
}

void ErrorObject::raise() && {
    if (instance_ != nullptr) {
        PyErr_SetRaisedException(std::exchange(instance_, nullptr));
        return;
    }
    PyObject* type = type_;
    if (panic_) {
        try {
            type = panic_exception_type();
        } catch (const Panic&) {
            return;  // CPython's reason, e.g. RecursionError, is raised instead
        }
    }
    PyObject* value = value_object();
    if (value == nullptr) return;  // CPython's own failure is pending instead
    PyErr_SetObject(type, value);
    Py_DECREF(value);
    release();
}

PyObject* ErrorObject::instance() {
    if (instance_ == nullptr) {
        ErrorObject pending = std::move(*this);
        std::move(pending).raise();
        instance_ = PyErr_GetRaisedException();
    }
    return instance_;
}

ErrorObject ErrorObject::with_argument_note(std::string_view name) && {
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
    PyObject* note = nullptr;
    if (writer != nullptr) {
        constexpr std::string_view head = "while processing '";
        if (PyUnicodeWriter_WriteUTF8(writer, head.data(), static_cast<Py_ssize_t>(head.size())) <
                0 ||
            PyUnicodeWriter_WriteUTF8(writer, name.data(), static_cast<Py_ssize_t>(name.size())) <
                0 ||
            PyUnicodeWriter_WriteUTF8(writer, "'", 1) < 0) {
            PyUnicodeWriter_Discard(writer);
        } else {
            note = PyUnicodeWriter_Finish(writer);
        }
    }
    if (note == nullptr) {
        PyErr_Clear();
        return std::move(*this);
    }
    PyObject* target = instance();
    if (target == nullptr) {
        PyErr_Clear();
        Py_DECREF(note);
        return std::move(*this);
    }
    PyObject* call_args[] = {target, note};
    PyObject* outcome = PyObject_VectorcallMethod(name_add_note(), call_args, 2, nullptr);
    if (outcome == nullptr) {
        PyErr_Clear();
    } else {
        Py_DECREF(outcome);
    }
    Py_DECREF(note);
    return std::move(*this);
}

ErrorObject fetch_error() {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) {
        return ErrorObject::message(PyExc_SystemError,
                                    "attempted to fetch exception but none was set");
    }
    PyObject* panic_type = existing_panic_exception_type();
    if (panic_type == nullptr ||
        !PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(panic_type))) {
        return ErrorObject::raised(exception);
    }
    // A panic of ours that travelled through Python code: it goes on as a panic.
    std::string message = "Unwrapped panic from Python code";
    if (PyObject* text = PyObject_Str(exception)) {
        message = utf8_lossy(text);
        Py_DECREF(text);
    } else {
        PyErr_Clear();
    }
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n",
               stderr);
    PyErr_SetRaisedException(exception);
    PyErr_PrintEx(0);
    throw Panic(std::move(message));
}

std::string utf8_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    std::string result;
    PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass");
    PyObject* repaired =
        bytes != nullptr
            ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), "replace")
            : nullptr;
    const char* utf8 = repaired != nullptr ? PyUnicode_AsUTF8AndSize(repaired, &size) : nullptr;
    if (utf8 != nullptr) {
        result.assign(utf8, static_cast<std::size_t>(size));
    } else {
        PyErr_Clear();
    }
    Py_XDECREF(repaired);
    Py_XDECREF(bytes);
    return result;
}

namespace {

std::string qualified_name(PyObject* type) {
    PyObject* name = PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type));
    if (name == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    std::string text = utf8_lossy(name);
    Py_DECREF(name);
    return text;
}

}  // namespace

std::string cast_failure_message(PyObject* object, PyObject* expected_type) {
    std::string text;
    if (object == Py_None) {
        text = "'None'";
    } else {
        text.append("'")
            .append(qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(object))))
            .append("' object");
    }
    return text.append(" is not an instance of '").append(qualified_name(expected_type)).append("'");
}

}  // namespace tovimera::module
