#pragma once
// The module's functions, in registration order.

#include <span>

#include "module/compat.hpp"

namespace tovimera::module {

std::span<PyMethodDef> function_table();

}  // namespace tovimera::module
