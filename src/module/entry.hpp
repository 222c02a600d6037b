// The native entry shared by every module function: bind, run the frame, and turn whatever
// went wrong into the matching Python exception. No C++ exception leaves an entry.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <new>

#include "core/errors.hpp"
#include "module/exceptions.hpp"
#include "module/signature.hpp"

namespace tarnwick::py {

// Sets the Python exception for the C++ exception being handled.
void raise_current_exception();

// Runs `body` (returning a Ref) under the fault guard; null with an exception set on failure.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        try {
            raise_current_exception();
        } catch (...) {
            // A fault while reporting a fault: nothing sane is left to return.
            std::fputs("uncaught panic at ffi boundary\n", stderr);
            std::abort();
        }
        return nullptr;
    }
}

// A frame is `Ref frame(const Slots<N>&)`; the entry binds the call to `sig` and runs it.
template <const auto& sig, auto frame>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return frame(sig.bind(args, nargs, kwnames)); });
}

}  // namespace tarnwick::py
