#include "module/signature.hpp"

#include "module/exceptions.hpp"

namespace tarnwick::py {

namespace {

[[noreturn]] void throw_type_error(Ref message) {
    throw PyError(PyExc_TypeError, std::move(message));
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(std::span<const char* const> names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) text += "and ";
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

}  // namespace

void bind_arguments(const char* function, std::span<const char* const> params,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots) {
    const auto count = static_cast<Py_ssize_t>(params.size());
    if (nargs > count) {
        throw_type_error(created(PyUnicode_FromFormat(
            "%s() takes %zd positional arguments but %zd were given", function, count, nargs)));
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = 0;
        while (slot < params.size() && PyUnicode_CompareWithASCIIString(key, params[slot]) != 0) {
            ++slot;
        }
        if (PyErr_Occurred()) throw_pending();
        if (slot == params.size()) {
            throw_type_error(created(PyUnicode_FromFormat(
                "%s() got an unexpected keyword argument '%U'", function, key)));
        }
        if (slots[slot]) {
            throw_type_error(created(PyUnicode_FromFormat(
                "%s() got multiple values for argument '%s'", function, params[slot])));
        }
        slots[slot] = args[nargs + k];
    }

    std::array<const char*, 8> missing{};
    std::size_t nmissing = 0;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!slots[i]) missing[nmissing++] = params[i];
    }
    if (nmissing > 0) {
        throw_type_error(created(PyUnicode_FromFormat(
            "%s() missing %zu required positional argument%s: %s", function, nmissing,
            nmissing == 1 ? "" : "s", quoted_list({missing.data(), nmissing}).c_str())));
    }
}

}  // namespace tarnwick::py
