#include "module/functions.hpp"

#include <array>
#include <utility>

#include "kernels/ring.hpp"
#include "module/bind.hpp"
#include "module/call_entry.hpp"

namespace tovimera::module {
namespace {

// A kernel's failure reaches Python as RuntimeError with the kernel's text.
ErrorObject runtime_error(Failure failure) {
    return ErrorObject::message(PyExc_RuntimeError, failure.message);
}

Result<PyObject*> heyrovsky_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind<Float, Float, Float, Float>(
        "heyrovsky_magnification", {"l", "r", "re", "rstar"}, args, nargs, kwnames,
        [](double l, double r, double re, double rstar) -> Result<PyObject*> {
            const Expected<double> value = heyrovsky_magnification(l, r, re, rstar);
            if (!value.has_value()) return runtime_error(value.error());
            return to_python(value.value());
        });
}

// CPython stores every calling convention behind one pointer type.
template <Body body>
PyCFunction entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_entry<body>));
}

// Fast call with keywords; the functions keep the module as their __self__.
constexpr int flags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef table[] = {  // NOLINT: CPython keeps pointers to these records
    {"heyrovsky_magnification", entry<heyrovsky_body>(), flags,
     "heyrovsky_magnification(l, r, re, rstar)\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> function_table() { return table; }

}  // namespace tovimera::module
