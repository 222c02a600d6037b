#include "module/entry.hpp"

#include <exception>
#include <string>

#include "module/hints.hpp"

namespace tarnwick::py {

namespace {

std::string shape_hint_or_none(const core::ShapeError& error) noexcept {
    try {
        return shape_hint(error);
    } catch (...) {
        return {};  // out of memory for a hint: the error goes without one
    }
}

// type(message), with the hint as its note when there is one.
void raise_with_note(PyObject* type, const char* message, std::string_view note) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(message));
    Ref exc = Ref::steal(text ? PyObject_CallOneArg(type, text.get()) : nullptr);
    if (!exc) return;  // the pending MemoryError stands in for it
    add_note(exc.get(), note);
    PyErr_SetObject(type, exc.get());
}

}  // namespace

void raise_current_exception() {
    try {
        throw;
    } catch (PyError& error) {
        std::move(error).restore();
    } catch (const core::KernelError& error) {
        auto type =
            error.kind == core::KernelErrorKind::Overflow ? PyExc_RuntimeError : PyExc_ValueError;
        raise_with_note(type, error.message().data(), error.hint);  // the messages are literals
    } catch (const core::ShapeError& error) {
        raise_with_note(PyExc_ValueError, error.message.c_str(), shape_hint_or_none(error));
    } catch (const core::Fault& fault) {
        raise_panic(fault.message, fault.where);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();  // running out of memory is an ordinary Python error, not a fault
    } catch (const std::exception& error) {
        raise_panic(error.what(), std::source_location::current());
    } catch (...) {
        raise_panic("native code failed without a message", std::source_location::current());
    }
}

}  // namespace tarnwick::py
