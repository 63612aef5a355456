#include "module/process_values.hpp"

#include "common/panic.hpp"
#include "module/once.hpp"

namespace tovimera::module {
namespace {

constexpr const char* panic_exception_doc =
    "The exception raised when tovimera's native code panics: an internal failure that\n"
    "correct operation never produces.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "is not caught by 'except Exception' and typically propagates all the way up and\n"
    "ends the interpreter.";

PyObject* make_interned(const char* text) {
    PyObject* name = PyUnicode_FromString(text);
    if (name == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        panic("failed to create an interned attribute name");
    }
    PyUnicode_InternInPlace(&name);
    return name;
}

ProcessValue<PyObject> panic_exception;

}  // namespace

PyObject* panic_exception_type() {
    return panic_exception.get([] {
        PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                                   panic_exception_doc, PyExc_BaseException,
                                                   nullptr);
        if (type == nullptr) throw Panic("Failed to initialize new exception type.");
        return type;
    });
}

PyObject* existing_panic_exception_type() noexcept { return panic_exception.peek(); }

PyObject* name_dunder_name() {
    static ProcessValue<PyObject> value;
    return value.get([] { return make_interned("__name__"); });
}

PyObject* name_dunder_all() {
    static ProcessValue<PyObject> value;
    return value.get([] { return make_interned("__all__"); });
}

PyObject* name_add_note() {
    static ProcessValue<PyObject> value;
    return value.get([] { return make_interned("add_note"); });
}

PyObject* sequence_type() {
    static ProcessValue<PyObject> value;
    return value.get([] {
        PyObject* module_name = PyUnicode_FromString("collections.abc");
        PyObject* abc = module_name != nullptr ? PyImport_Import(module_name) : nullptr;
        Py_XDECREF(module_name);
        PyObject* sequence = abc != nullptr ? PyObject_GetAttrString(abc, "Sequence") : nullptr;
        Py_XDECREF(abc);
        if (sequence == nullptr) {
            PyErr_WriteUnraisable(nullptr);
            panic("failed to import collections.abc.Sequence");
        }
        if (!PyType_Check(sequence)) {
            Py_DECREF(sequence);
            panic("collections.abc.Sequence is not a type");
        }
        return sequence;
    });
}

}  // namespace tovimera::module
