#include "module/process_values.hpp"

#include "common/panic.hpp"
#include "module/once.hpp"

namespace tovimera::module {

PyObject* InterpreterValue::peek() const noexcept {
    if (in_main_interpreter()) return main_.load(std::memory_order_acquire);
    PyObject* dictionary = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dictionary == nullptr) return nullptr;
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* value = PyDict_GetItemString(dictionary, key_);  // borrowed, kept by the dictionary
    PyErr_SetRaisedException(pending);
    return value;
}

PyObject* InterpreterValue::publish_here(PyObject* made) const {
    PyObject* dictionary = PyInterpreterState_GetDict(PyInterpreterState_Get());
    const Owned key(PyUnicode_FromString(key_));
    PyObject* kept = dictionary != nullptr && key ? PyDict_SetDefault(dictionary, key.get(), made)
                                                  : nullptr;
    if (kept == nullptr) {
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_SystemError, "no interpreter dictionary");
        }
        throw Panic("failed to keep a value for this interpreter");
    }
    return kept;
}

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

InterpreterValue panic_exception("tovimera.PanicException");

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
    static InterpreterValue value("tovimera.__name__");
    return value.get([] { return make_interned("__name__"); });
}

PyObject* name_dunder_all() {
    static InterpreterValue value("tovimera.__all__");
    return value.get([] { return make_interned("__all__"); });
}

PyObject* name_add_note() {
    static InterpreterValue value("tovimera.add_note");
    return value.get([] { return make_interned("add_note"); });
}

PyObject* sequence_type() {
    static InterpreterValue value("tovimera.Sequence");
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
