// Python errors as values, and the internal-fault exception type.
#pragma once

#include <source_location>
#include <string_view>

#include "module/ref.hpp"

namespace tarnwick::py {

// A Python exception on its way to the interpreter: either a class and its message (the instance
// is made only when raised) or an exception instance taken from the interpreter. Thrown as a C++
// exception inside a call and raised by the entry guard; never crosses the C boundary.
class PyError {
public:
    PyError(PyObject* type, std::string_view message);
    PyError(PyObject* type, Ref message);
    // Takes the interpreter's pending exception (one must be set).
    static PyError fetch();
    // Wraps an exception instance.
    static PyError instance(Ref exc);

    PyObject* type() const noexcept { return type_.get(); }
    // The exception's text, as str() gives it.
    Ref text() const;
    // The exception's __cause__, or null.
    Ref cause() const;
    // Makes this the interpreter's current exception.
    void restore() &&;

private:
    PyError(Ref type, Ref value, bool is_instance) noexcept
        : type_(std::move(type)), value_(std::move(value)), is_instance_(is_instance) {}
    Ref type_;
    Ref value_;  // the message str, or the instance when is_instance_
    bool is_instance_ = false;
};

[[noreturn]] void throw_error(PyObject* type, std::string_view message);
// Throws the interpreter's pending exception.
[[noreturn]] void throw_pending();

// The argument error: a TypeError from converting `param` is re-raised as
// TypeError("argument '<param>': <text>") keeping the original's __cause__; other classes pass.
// A non-empty `note` is attached to the TypeError (PEP 678), telling the caller what to fix.
[[noreturn]] void throw_argument_error(const char* param, PyError&& error,
                                       std::string_view note = {});

// The qualified name of `obj`'s type, or the fallback text when it cannot be read.
Ref type_qualname(PyObject* obj);
// TypeError "'<type>' object cannot be cast as '<target>'".
PyError cast_error(PyObject* obj, const char* target);

// Checks the result of an interpreter call that creates an object: a null result raises a
// pending MemoryError as it is; any other error is printed and ends the call as an internal fault.
Ref created(PyObject* obj, std::source_location where = std::source_location::current());

// Raises PanicException for an internal fault, after a short report on standard error.
void raise_panic(std::string_view message, const std::source_location& where);

}  // namespace tarnwick::py
