#include "module/arguments.hpp"

#include <cstring>
#include <string>

namespace tovimera::module {
namespace {

std::string full_name(const Parameters& parameters) {
    return std::string(parameters.function) + "()";
}

ErrorObject unexpected_keyword(const Parameters& parameters, PyObject* keyword) {
    std::string shown;
    if (PyObject* text = PyObject_Str(keyword)) {
        shown = utf8_lossy(text);
        Py_DECREF(text);
    } else {
        return fetch_error();
    }
    return ErrorObject::message(PyExc_TypeError, full_name(parameters) +
                                                     " got an unexpected keyword argument '" +
                                                     shown + "'");
}

ErrorObject missing_arguments(const Parameters& parameters, std::span<PyObject*> slots,
                              std::size_t first) {
    std::string list;
    std::size_t count = 0;
    for (std::size_t i = first; i < slots.size(); ++i) count += slots[i] == nullptr ? 1 : 0;
    std::size_t seen = 0;
    for (std::size_t i = first; i < slots.size(); ++i) {
        if (slots[i] != nullptr) continue;
        if (seen > 0) {
            if (count == 2) {
                list += " and ";
            } else {
                list += seen + 1 == count ? ", and " : ", ";
            }
        }
        list += "'";
        list += parameters.names[i];
        list += "'";
        ++seen;
    }
    return ErrorObject::message(PyExc_TypeError,
                                full_name(parameters) + " missing " + std::to_string(count) +
                                    " required positional " +
                                    (count == 1 ? "argument" : "arguments") + ": " + list);
}

}  // namespace

std::optional<ErrorObject> match_arguments(const Parameters& parameters, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames,
                                           std::span<PyObject*> slots) {
    const std::size_t count = parameters.names.size();
    const std::size_t positional = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < positional && i < count; ++i) slots[i] = args[i];
    if (positional > count) {
        return ErrorObject::message(PyExc_TypeError,
                                    full_name(parameters) + " takes " + std::to_string(count) +
                                        " positional arguments but " + std::to_string(positional) +
                                        " were given");
    }

    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (text == nullptr) {
            PyErr_Clear();
            return unexpected_keyword(parameters, keyword);
        }
        std::size_t slot = count;
        for (std::size_t i = 0; i < count; ++i) {
            if (std::strlen(parameters.names[i]) == static_cast<std::size_t>(size) &&
                std::memcmp(parameters.names[i], text, static_cast<std::size_t>(size)) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == count) return unexpected_keyword(parameters, keyword);
        if (slots[slot] != nullptr) {
            return ErrorObject::message(
                PyExc_TypeError, full_name(parameters) + " got multiple values for argument '" +
                                     std::string(text, static_cast<std::size_t>(size)) + "'");
        }
        slots[slot] = args[nargs + k];
    }

    for (std::size_t i = positional; i < count; ++i) {
        if (slots[i] == nullptr) return missing_arguments(parameters, slots, positional);
    }
    return std::nullopt;
}

}  // namespace tovimera::module
