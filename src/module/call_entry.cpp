#include "module/call_entry.hpp"

#include <cxxabi.h>

#include <source_location>

namespace tovimera::module {

Result<PyObject*> guarded(Body body, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    try {
        return body(args, nargs, kwnames);
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const Panic& failure) {
        return ErrorObject::panic(failure.message());
    } catch (const std::bad_alloc&) {
        return ErrorObject::message(PyExc_MemoryError, "cannot allocate memory");
    } catch (const std::exception& failure) {
        report_panic(failure.what(), std::source_location::current());
        return ErrorObject::panic(failure.what());
    } catch (...) {
        constexpr const char* unknown = "panic with a payload that is not a message";
        report_panic(unknown, std::source_location::current());
        return ErrorObject::panic(unknown);
    }
}

PyObject* hand_over(Result<PyObject*> outcome) {
    try {
        if (PyObject** result = std::get_if<PyObject*>(&outcome)) return *result;
        std::move(std::get<ErrorObject>(outcome)).raise();
        return nullptr;
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        report_panic("uncaught panic at ffi boundary", std::source_location::current());
        std::abort();
    }
}

}  // namespace tovimera::module
