#pragma once
// Values the module creates on first use and never frees: once for the main
// interpreter, once in each sub-interpreter that needs them.

#include "module/compat.hpp"

namespace tovimera::module {

// pyo3_runtime.PanicException, derived from BaseException. If CPython cannot
// create it (at the recursion limit, say), its exception stays pending and a
// Panic is thrown; a later call tries again.
PyObject* panic_exception_type();

// The type if it exists already: no instance can exist before it does.
PyObject* existing_panic_exception_type() noexcept;

// Interned attribute names.
PyObject* name_dunder_name();
PyObject* name_dunder_all();
PyObject* name_add_note();

// collections.abc.Sequence; a failure to obtain it is a panic.
PyObject* sequence_type();

}  // namespace tovimera::module
