#pragma once
// The function table as data: a row gives a function's name, its parameters,
// its operation and the work it does; from the row come the function's body,
// its text signature and the method record CPython registers.

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/expected.hpp"
#include "module/bind.hpp"
#include "module/call_entry.hpp"
#include "module/compat.hpp"
#include "module/detach.hpp"

namespace tovimera::module {

// The work of an operation that always pays for a detach, whatever its arguments.
struct AlwaysDetached {};

// `work` maps the converted arguments to the kernel evaluations the call makes
// (weighed by detached_if), or is AlwaysDetached.
template <class Signature, class Operation, class Work>
struct Function {
    const char* name;
    Signature parameters;
    Operation operation;
    Work work;
};

template <class Signature, class Operation, class Work>
Function(const char*, Signature, Operation, Work) -> Function<Signature, Operation, Work>;

// A result becomes a new Python object; a kernel's failure reaches Python as
// RuntimeError with the kernel's text.
template <class T>
Result<PyObject*> to_result(T value) {
    return to_python(std::move(value));
}

template <class T>
Result<PyObject*> to_result(Expected<T> value) {
    if (!value.has_value()) return ErrorObject::message(PyExc_RuntimeError, value.error().message);
    return to_python(std::move(value).value());
}

// The body of row I of `rows` (a tuple of Function): the arguments bound, the
// operation run, detached when the work is worth it, and its outcome handed back.
template <const auto& rows, std::size_t I>
Result<PyObject*> function_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr auto& row = std::get<I>(rows);
    return bind(row.name, row.parameters, args, nargs, kwnames, [](auto... values) {
        constexpr auto& function = std::get<I>(rows);
        auto compute = [&] { return function.operation(std::move(values)...); };
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(function.work)>, AlwaysDetached>) {
            return to_result(detached(compute));
        } else {
            return to_result(detached_if(function.work(values...), compute));
        }
    });
}

// Writes "name(a, b)\n--\n\n" to `out` unless it is null, and returns its length:
// CPython reads __text_signature__ from this start of the docstring.
template <std::size_t N>
constexpr std::size_t write_text_signature(const char* name, const std::array<const char*, N>& names,
                                           char* out) {
    std::size_t length = 0;
    auto put = [&](std::string_view part) {
        for (const char c : part) {
            if (out != nullptr) out[length] = c;
            ++length;
        }
    };
    put(name);
    put("(");
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) put(", ");
        put(names[i]);
    }
    put(")\n--\n\n");
    return length;
}

template <const auto& rows, std::size_t I>
constexpr auto text_signature = [] {
    constexpr auto& row = std::get<I>(rows);
    std::array<char, write_text_signature(row.name, row.parameters.names, nullptr) + 1> text{};
    write_text_signature(row.name, row.parameters.names, text.data());
    return text;
}();

// CPython stores every calling convention behind one pointer type.
template <Body body>
PyCFunction entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_entry<body>));
}

// Fast call with keywords; the functions keep the module as their __self__.
constexpr int method_flags = METH_FASTCALL | METH_KEYWORDS;

// One record per row, in the rows' order.
template <const auto& rows>
auto method_table() {
    constexpr std::size_t count = std::tuple_size_v<std::remove_cvref_t<decltype(rows)>>;
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<PyMethodDef, count>{PyMethodDef{std::get<I>(rows).name,
                                                          entry<function_body<rows, I>>(), method_flags,
                                                          text_signature<rows, I>.data()}...};
    }(std::make_index_sequence<count>());
}

}  // namespace tovimera::module
