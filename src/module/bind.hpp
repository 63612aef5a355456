#pragma once
// A function body's common first half: match the arguments, then convert them
// in parameter order, stopping at the first failure with the argument's note.

#include <array>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "module/arguments.hpp"
#include "module/convert.hpp"

namespace tovimera::module {

// A parameter of each kind, by name: Sequence{"l"}, Float{"re"}.
struct Sequence {
    using type = std::vector<double>;
    static Result<type> convert(PyObject* object) { return to_separations(object); }
    const char* name;
};

struct Float {
    using type = double;
    static Result<type> convert(PyObject* object) { return to_double(object); }
    const char* name;
};

// A function's parameters in order; the kinds stay in the type, the names in `names`.
template <class... Kinds>
struct Params {
    constexpr Params(Kinds... parameters) : names{parameters.name...} {}
    std::array<const char*, sizeof...(Kinds)> names;
};

// `compute` receives the converted values (by value) and returns the body's result.
template <class... Kinds, class Compute>
Result<PyObject*> bind(const char* function, const Params<Kinds...>& parameters,
                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       Compute&& compute) {
    const auto& names = parameters.names;
    std::array<PyObject*, sizeof...(Kinds)> slots{};
    if (auto failure = match_arguments(Parameters{function, names}, args, nargs, kwnames, slots)) {
        return std::move(*failure);
    }
    std::tuple<std::optional<typename Kinds::type>...> values;
    std::optional<ErrorObject> failure;
    auto convert_one = [&]<std::size_t I, class Kind>() {
        Result<typename Kind::type> value = Kind::convert(slots[I]);
        if (auto* error = std::get_if<ErrorObject>(&value)) {
            failure.emplace(std::move(*error).with_argument_note(names[I]));
            return false;
        }
        std::get<I>(values).emplace(std::move(std::get<typename Kind::type>(value)));
        return true;
    };
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (convert_one.template operator()<I, Kinds>() && ...);
    }(std::index_sequence_for<Kinds...>{});
    if (failure) return std::move(*failure);
    return std::apply([&](auto&... value) { return compute(std::move(*value)...); }, values);
}

}  // namespace tovimera::module
