// A function's name and parameters, and binding of a fast call's arguments to them.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "module/python.hpp"

namespace tarnwick::py {

// Borrowed argument objects, one per parameter, in signature order.
template <std::size_t N>
using Slots = std::array<PyObject*, N>;

// Binds (args, nargs, kwnames) into `slots` (all null on entry); throws the binding TypeErrors.
void bind_arguments(const char* function, std::span<const char* const> params,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots);

// Every parameter is required and may be passed by position or keyword.
template <std::size_t N>
struct Signature {
    const char* name;
    std::array<const char*, N> params;

    template <class... P>
    constexpr Signature(const char* function, P... names) : name(function), params{{names...}} {}

    Slots<N> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        Slots<N> slots{};
        if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
            for (std::size_t i = 0; i < N; ++i) slots[i] = args[i];  // the common call
        } else {
            bind_arguments(name, params, args, nargs, kwnames, slots);
        }
        return slots;
    }

    // "name(a, b)", the head of the docstring from which the interpreter reads the signature.
    std::string text_signature() const {
        std::string text = std::string(name) + "(";
        for (std::size_t i = 0; i < N; ++i) text += (i ? ", " : "") + std::string(params[i]);
        return text + ")";
    }
};

template <class... P>
Signature(const char*, P...) -> Signature<sizeof...(P)>;

}  // namespace tarnwick::py
