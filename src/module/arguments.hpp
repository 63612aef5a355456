#pragma once
// Matching positional and keyword arguments to a function's parameters, with
// the messages CPython users know from Python-level functions.

#include <optional>
#include <span>

#include "module/error.hpp"

namespace tovimera::module {

// Every parameter may be passed by position or keyword and is required.
struct Parameters {
    const char* function;
    std::span<const char* const> names;
};

// Fills `slots` (one per parameter, borrowed references) or reports the first
// failure in check order: too many positionals, then keywords in order, then
// missing arguments.
std::optional<ErrorObject> match_arguments(const Parameters& parameters, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames,
                                           std::span<PyObject*> slots);

}  // namespace tovimera::module
