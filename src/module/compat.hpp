#pragma once
// The newest CPython calls this module uses, for the older interpreters that
// lack them. Each shim carries the name of the call it stands in for and
// behaves as that call's documentation says, as far as this module relies on it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#if PY_VERSION_HEX < 0x030C0000
// 3.12: the raised exception as one object.
inline PyObject* PyErr_GetRaisedException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
        Py_DECREF(traceback);
    }
    Py_DECREF(type);
    return value;
}

inline void PyErr_SetRaisedException(PyObject* exception) {
    PyObject* traceback = PyException_GetTraceback(exception);
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception, traceback);
}
#endif

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// 3.13: this thread's state, NULL when it is detached, without a fatal error.
// (3.11 keeps one current state for the whole process: no stand-in there.)
inline PyThreadState* PyThreadState_GetUnchecked() { return _PyThreadState_UncheckedGet(); }
#endif

#if PY_VERSION_HEX < 0x030E0000
// 3.14: the next item of an iterator, telling exhaustion apart from failure.
inline int PyIter_NextItem(PyObject* iterator, PyObject** item) {
    *item = PyIter_Next(iterator);
    if (*item != nullptr) return 1;
    return PyErr_Occurred() != nullptr ? -1 : 0;
}

// 3.14: a builder for str objects. This stand-in collects UTF-8 bytes and
// decodes them once at the end.
struct PyUnicodeWriter {
    std::string utf8;
};

inline PyUnicodeWriter* PyUnicodeWriter_Create(Py_ssize_t length) {
    auto* writer = new (std::nothrow) PyUnicodeWriter;
    if (writer == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (length > 0) writer->utf8.reserve(static_cast<std::size_t>(length));
    return writer;
}

inline int PyUnicodeWriter_WriteUTF8(PyUnicodeWriter* writer, const char* text, Py_ssize_t size) {
    try {
        if (size < 0) {
            writer->utf8.append(text);
        } else {
            writer->utf8.append(text, static_cast<std::size_t>(size));
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

inline PyObject* PyUnicodeWriter_Finish(PyUnicodeWriter* writer) {
    PyObject* text = PyUnicode_DecodeUTF8(writer->utf8.data(),
                                          static_cast<Py_ssize_t>(writer->utf8.size()), "strict");
    delete writer;
    return text;
}

inline void PyUnicodeWriter_Discard(PyUnicodeWriter* writer) { delete writer; }
#endif
