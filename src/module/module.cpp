// The module's face towards CPython: multi-phase initialisation, whose
// execution step adds the functions to each new module object.

#include <cxxabi.h>

#include <string>

#include "common/panic.hpp"
#include "module/error.hpp"
#include "module/functions.hpp"
#include "module/owned.hpp"
#include "module/process_values.hpp"

namespace tovimera::module {
namespace {

int fail(ErrorObject error) {
    std::move(error).raise();
    return -1;
}

// The module's __all__, created empty when missing.
Result<Owned> all_list(PyObject* module) {
    Owned all(PyObject_GetAttr(module, name_dunder_all()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fetch_error();
        PyErr_Clear();
        all = Owned(PyList_New(0));
        if (!all || PyObject_SetAttr(module, name_dunder_all(), all.get()) < 0) {
            return fetch_error();
        }
    }
    if (!PyList_Check(all.get())) {
        return ErrorObject::cast(all.get(), reinterpret_cast<PyObject*>(&PyList_Type));
    }
    return all;
}

int add_function(PyObject* module, PyMethodDef* record) {
    Owned function;
    {
        const Owned name(PyModule_GetNameObject(module));
        if (!name) return fail(fetch_error());
        function = Owned(PyCMethod_New(record, module, name.get(), nullptr));
    }
    if (!function) return fail(fetch_error());
    const Owned name(PyObject_GetAttr(function.get(), name_dunder_name()));
    if (!name) return fail(fetch_error());
    if (!PyUnicode_Check(name.get())) {
        return fail(ErrorObject::cast(name.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    }
    Result<Owned> all = all_list(module);
    if (auto* error = std::get_if<ErrorObject>(&all)) return fail(std::move(*error));
    if (PyList_Append(std::get<Owned>(all).get(), name.get()) < 0) {
        std::string cause = "could not append __name__ to __all__";
        PyObject* raised = PyErr_GetRaisedException();
        if (PyObject* text = raised != nullptr ? PyObject_Str(raised) : nullptr) {
            cause += ": " + utf8_lossy(text);
            Py_DECREF(text);
        }
        Py_XDECREF(raised);
        PyErr_Clear();
        panic(cause);
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return fail(fetch_error());
    return 0;
}

// Not noexcept: a forced unwind (see call_entry.hpp) passes through.
int exec_module(PyObject* module) {
    try {
        if (module == nullptr) return fail(fetch_error());
        if (!PyModule_Check(module)) {
            return fail(ErrorObject::cast(module, reinterpret_cast<PyObject*>(&PyModule_Type)));
        }
        for (PyMethodDef& record : function_table()) {
            if (add_function(module, &record) < 0) return -1;
        }
        return 0;
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const Panic& failure) {
        try {
            return fail(ErrorObject::panic(failure.message()));
        } catch (const abi::__forced_unwind&) {
            throw;
        } catch (...) {
            report_panic("uncaught panic at ffi boundary", std::source_location::current());
            std::abort();
        }
    } catch (...) {
        report_panic("uncaught panic at ffi boundary", std::source_location::current());
        std::abort();
    }
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tovimera",
    "Magnification of a finite source star by a point-mass gravitational lens.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tovimera::module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tovimera() {
    return PyModuleDef_Init(&tovimera::module::definition);
}
