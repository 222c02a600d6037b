// What the module table needs of each function, and the helper that makes an entry of it.
#pragma once

#include <string>

#include "module/entry.hpp"

namespace tarnwick::py {

// The fast-call-with-keywords signature (the interpreter's own alias differs across versions).
using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct Function {
    const char* name;
    std::string text_signature;  // "name(a, b)"
    FastEntry entry;
    const char* doc;
};

// A module function bound to `sig`, whose body is `frame`.
template <const auto& sig, auto frame>
Function function(const char* doc) {
    return {sig.name, sig.text_signature(), &entry<sig, frame>, doc};
}

}  // namespace tarnwick::py
