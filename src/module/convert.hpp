#pragma once
// Python arguments to doubles and vectors of doubles, and results back.

#include <vector>

#include "module/error.hpp"

namespace tovimera::module {

// Exact floats are read directly; anything with __float__ or __index__ works.
Result<double> to_double(PyObject* object);

// Any sequence but str, converted in iteration order.
Result<std::vector<double>> to_separations(PyObject* object);

// New references; a failed allocation is reported and panics.
PyObject* to_python(double value);
PyObject* to_python(std::vector<double> values);
PyObject* to_python(std::vector<std::vector<double>> rows);

}  // namespace tovimera::module
