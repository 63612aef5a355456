#pragma once
// Values the module creates once per process, on first use, and never frees.

#include "module/compat.hpp"

namespace tovimera::module {

// pyo3_runtime.PanicException, derived from BaseException.
PyObject* panic_exception_type();

// Interned attribute names.
PyObject* name_dunder_name();
PyObject* name_dunder_all();
PyObject* name_add_note();

// collections.abc.Sequence; a failure to obtain it is a panic.
PyObject* sequence_type();

}  // namespace tovimera::module
