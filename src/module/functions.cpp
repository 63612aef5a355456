#include "module/functions.hpp"

#include <array>
#include <utility>

#include "fluxmap/flux_maps.hpp"
#include "integrated/disk_sequences.hpp"
#include "integrated/integrated_heyrovsky.hpp"
#include "integrated/integrated_witt_mao.hpp"
#include "kernels/ring.hpp"
#include "module/bind.hpp"
#include "module/call_entry.hpp"
#include "module/detach.hpp"

namespace tovimera::module {
namespace {

// A kernel's failure reaches Python as RuntimeError with the kernel's text.
ErrorObject runtime_error(Failure failure) {
    return ErrorObject::message(PyExc_RuntimeError, failure.message);
}

Result<PyObject*> witt_mao_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind<Sequence, Float, Float>(
        "witt_mao_magnification", {"l", "re", "rstar"}, args, nargs, kwnames,
        [](std::vector<double> l, double re, double rstar) -> Result<PyObject*> {
            const auto evaluations = static_cast<double>(l.size());
            return to_python(detached_if(
                evaluations, [&] { return witt_mao_magnification(std::move(l), re, rstar); }));
        });
}

Result<PyObject*> integrated_witt_mao_body(PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    return bind<Sequence, Float, Float>(
        "integrated_witt_mao_magnification", {"l", "re", "rstar"}, args, nargs, kwnames,
        [](std::vector<double> l, double re, double rstar) -> Result<PyObject*> {
            return to_python(detached([&] { return integrated_witt_mao_magnification(l, re, rstar); }));
        });
}

Result<PyObject*> integrated_flux_map_witt_mao_body(PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
    return bind<Sequence, Float, Float, Sequence, Sequence>(
        "integrated_flux_map_witt_mao_magnification", {"l", "re", "rstar", "bl", "bf"}, args,
        nargs, kwnames,
        [](std::vector<double> l, double re, double rstar, std::vector<double> bl,
           std::vector<double> bf) -> Result<PyObject*> {
            return to_python(detached(
                [&] { return integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf); }));
        });
}

Result<PyObject*> multi_witt_mao_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind<Sequence, Sequence, Sequence>(
        "multi_witt_mao_magnification", {"l", "re", "rstar"}, args, nargs, kwnames,
        [](std::vector<double> l, std::vector<double> re,
           std::vector<double> rstar) -> Result<PyObject*> {
            const double evaluations = static_cast<double>(l.size()) * static_cast<double>(re.size()) *
                                      static_cast<double>(rstar.size());
            return to_python(detached_if(
                evaluations, [&] { return multi_witt_mao_magnification(l, re, rstar); }));
        });
}

Result<PyObject*> heyrovsky_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind<Float, Float, Float, Float>(
        "heyrovsky_magnification", {"l", "r", "re", "rstar"}, args, nargs, kwnames,
        [](double l, double r, double re, double rstar) -> Result<PyObject*> {
            // One ring: over sooner than a detach would be.
            const Expected<double> value = heyrovsky_magnification(l, r, re, rstar);
            if (!value.has_value()) return runtime_error(value.error());
            return to_python(value.value());
        });
}

Result<PyObject*> integrated_heyrovsky_body(PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    return bind<Sequence, Float, Float>(
        "integrated_heyrovsky_magnification", {"l", "re", "rstar"}, args, nargs, kwnames,
        [](std::vector<double> l, double re, double rstar) -> Result<PyObject*> {
            return to_python(detached([&] { return integrated_heyrovsky_magnification(l, re, rstar); }));
        });
}

Result<PyObject*> integrated_flux_map_heyrovsky_body(PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames) {
    return bind<Sequence, Float, Float, Sequence, Sequence>(
        "integrated_flux_map_heyrovsky_magnification", {"l", "re", "rstar", "bl", "bf"}, args,
        nargs, kwnames,
        [](std::vector<double> l, double re, double rstar, std::vector<double> bl,
           std::vector<double> bf) -> Result<PyObject*> {
            return to_python(detached(
                [&] { return integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf); }));
        });
}

Result<PyObject*> discrete_flux_map_heyrovsky_body(PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) {
    return bind<Sequence, Float, Float, Sequence, Sequence>(
        "discrete_flux_map_heyrovsky_magnification", {"l", "re", "rstar", "bl", "bf"}, args,
        nargs, kwnames,
        [](std::vector<double> l, double re, double rstar, std::vector<double> bl,
           std::vector<double> bf) -> Result<PyObject*> {
            const double evaluations = static_cast<double>(l.size()) * static_cast<double>(bl.size());
            Expected<std::vector<double>> values = detached_if(evaluations, [&] {
                return discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf);
            });
            if (!values.has_value()) return runtime_error(values.error());
            return to_python(std::move(values).value());
        });
}

// CPython stores every calling convention behind one pointer type.
template <Body body>
PyCFunction entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_entry<body>));
}

// Fast call with keywords; the functions keep the module as their __self__.
constexpr int flags = METH_FASTCALL | METH_KEYWORDS;

// Registration order; CPython keeps pointers to these records for good.
PyMethodDef table[] = {
    {"witt_mao_magnification", entry<witt_mao_body>(), flags,
     "witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_witt_mao_magnification", entry<integrated_witt_mao_body>(), flags,
     "integrated_witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_flux_map_witt_mao_magnification", entry<integrated_flux_map_witt_mao_body>(),
     flags, "integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {"multi_witt_mao_magnification", entry<multi_witt_mao_body>(), flags,
     "multi_witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"heyrovsky_magnification", entry<heyrovsky_body>(), flags,
     "heyrovsky_magnification(l, r, re, rstar)\n--\n\n"},
    {"integrated_heyrovsky_magnification", entry<integrated_heyrovsky_body>(), flags,
     "integrated_heyrovsky_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_flux_map_heyrovsky_magnification", entry<integrated_flux_map_heyrovsky_body>(),
     flags, "integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {"discrete_flux_map_heyrovsky_magnification", entry<discrete_flux_map_heyrovsky_body>(),
     flags, "discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> function_table() { return table; }

}  // namespace tovimera::module
