#include "module/convert.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/panic.hpp"
#include "module/owned.hpp"
#include "module/process_values.hpp"

namespace tovimera::module {
namespace {

// The largest vector of doubles the address space allows, as a byte count
// that fits ptrdiff_t: 268435455 elements on 32-bit targets.
constexpr std::size_t max_elements = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double);

// The objects already created are released by their owners as the panic
// unwinds, after the pending exception has been reported.
[[noreturn]] void null_object() {
    PyErr_WriteUnraisable(nullptr);
    panic("PyObject pointer is null");
}

// A failure of an optional step (a size hint, a buffer) is dropped, unless
// it is not an Exception: KeyboardInterrupt and SystemExit must reach the user.
bool discard_optional_failure() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// Types whose iteration yields exactly their buffer's items. A subclass may
// iterate otherwise (a masked array hides masked items), so it is iterated.
// Matched by name, as neither type is reachable without importing its module;
// a class that only borrows the name has its own base.
bool iterates_as_buffer(PyTypeObject* type) {
    if (type == &PyMemoryView_Type) return true;
    if (type->tp_base != &PyBaseObject_Type) return false;
    return std::strcmp(type->tp_name, "numpy.ndarray") == 0 ||
           std::strcmp(type->tp_name, "array.array") == 0;
}

enum class Copied { yes, no, failed };

// A one-dimensional, contiguous buffer of native doubles (numpy float64,
// array('d'), their memoryviews) is copied in one go: iterating it would make
// one Python float per element only to read it back.
Copied copy_double_buffer(PyObject* object, std::vector<double>& values) {
    if (!iterates_as_buffer(Py_TYPE(object)) || !PyObject_CheckBuffer(object)) return Copied::no;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_ND) < 0) {
        return discard_optional_failure() ? Copied::no : Copied::failed;
    }
    const char* format = view.format != nullptr ? view.format : "B";
    const bool native_double = (format[0] == 'd' && format[1] == '\0') ||
                               (format[0] == '@' && format[1] == 'd' && format[2] == '\0');
    const bool usable = native_double && view.ndim == 1 && view.itemsize == sizeof(double) &&
                        PyBuffer_IsContiguous(&view, 'C');
    if (usable) {
        const auto count = static_cast<std::size_t>(view.len) / sizeof(double);
        const auto* first = static_cast<const double*>(view.buf);
        values.assign(first, first + count);
    }
    PyBuffer_Release(&view);
    return usable ? Copied::yes : Copied::no;
}

}  // namespace

Result<double> to_double(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) return fetch_error();
    return value;
}

Result<std::vector<double>> to_separations(PyObject* object) {
    if (PyUnicode_Check(object)) {
        return ErrorObject::message(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (PySequence_Check(object) == 0) return ErrorObject::cast(object, sequence_type());
    std::vector<double> values;
    switch (copy_double_buffer(object, values)) {
        case Copied::yes: return values;
        case Copied::failed: return fetch_error();
        case Copied::no: break;
    }

    Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {
        if (!discard_optional_failure()) return fetch_error();
        hint = 0;
    }
    if (static_cast<std::size_t>(hint) > max_elements) panic("capacity overflow");
    values.reserve(static_cast<std::size_t>(hint));

    const Owned iterator(PyObject_GetIter(object));
    if (!iterator) return fetch_error();
    for (;;) {
        PyObject* next = nullptr;
        const int status = PyIter_NextItem(iterator.get(), &next);
        if (status == 0) break;
        if (status < 0) return fetch_error();
        const Owned item(next);
        Result<double> value = to_double(item.get());
        if (auto* error = std::get_if<ErrorObject>(&value)) return std::move(*error);
        values.push_back(std::get<double>(value));
    }
    return values;
}

PyObject* to_python(double value) {
    PyObject* result = PyFloat_FromDouble(value);
    if (result == nullptr) null_object();
    return result;
}

PyObject* to_python(std::vector<double> values) {
    Owned list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) null_object();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) null_object();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* to_python(std::vector<std::vector<double>> rows) {
    Owned list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) null_object();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(std::move(rows[i])));
    }
    return list.release();
}

}  // namespace tovimera::module
