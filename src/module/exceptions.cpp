#include "module/exceptions.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/errors.hpp"
#include "core/platform/threads.hpp"
#include "module/hints.hpp"

namespace tarnwick::py {

PyError::PyError(PyObject* type, std::string_view message)
    : PyError(type, Ref::steal(PyUnicode_FromStringAndSize(
                        message.data(), static_cast<Py_ssize_t>(message.size())))) {}

PyError::PyError(PyObject* type, Ref message)
    : type_(Ref::borrow(type)), value_(std::move(message)) {
    if (!value_) throw_pending();  // making the message itself failed
}

PyError PyError::fetch() {
#if PY_VERSION_HEX >= 0x030C0000
    Ref exc = Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    Ref exc = Ref::steal(value);
#endif
    if (!exc) core::fault("attempted to fetch exception but none was set");
    return instance(std::move(exc));
}

PyError PyError::instance(Ref exc) {
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
    return PyError(std::move(type), std::move(exc), true);
}

Ref PyError::text() const {
    if (!is_instance_) return Ref::borrow(value_.get());
    return created(PyObject_Str(value_.get()));
}

Ref PyError::cause() const {
    return is_instance_ ? Ref::steal(PyException_GetCause(value_.get())) : Ref();
}

void PyError::restore() && {
    if (is_instance_) {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value_.release());
#else
        // The traceback is read before the value is handed over: one call's arguments may be
        // evaluated in any order.
        PyObject* traceback = PyException_GetTraceback(value_.get());
        PyErr_Restore(Ref::borrow(type_.get()).release(), value_.release(), traceback);
#endif
    } else {
        PyErr_SetObject(type_.get(), value_.get());
    }
}

void throw_error(PyObject* type, std::string_view message) { throw PyError(type, message); }

void throw_pending() { throw PyError::fetch(); }

void throw_argument_error(const char* param, PyError&& error, std::string_view note) {
    if (error.type() != PyExc_TypeError) throw std::move(error);
    Ref message = created(PyUnicode_FromFormat("argument '%s': %U", param, error.text().get()));
    Ref cause = error.cause();
    Ref wrapped = created(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (cause) PyException_SetCause(wrapped.get(), cause.release());
    add_note(wrapped.get(), note);
    throw PyError::instance(std::move(wrapped));
}

Ref type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return created(PyUnicode_FromString("<failed to extract type name>"));
    }
    return name;
}

PyError cast_error(PyObject* obj, const char* target) {
    return PyError(PyExc_TypeError,
                   created(PyUnicode_FromFormat("'%U' object cannot be cast as '%s'",
                                                type_qualname(obj).get(), target)));
}

Ref created(PyObject* obj, std::source_location where) {
    if (!obj) {
        // Out of memory is an ordinary, recoverable error, as for our own allocations.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_pending();
        PyErr_Print();
        throw core::Fault{"Python API call failed", where};
    }
    return Ref::steal(obj);
}

namespace {

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created on first need and kept for the life of the process.
PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (!type) {
        PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                   PyExc_BaseException, nullptr);
        if (!made) {
            std::fputs("Failed to initialize new exception type.\n", stderr);
            std::abort();
        }
        if (type) {
            Py_DECREF(made);  // another thread finished first while we were creating
        } else {
            type = made;
        }
    }
    return type;
}

std::string thread_name() {
    if (core::platform::on_main_thread()) return "main";
    std::string name = core::platform::current_thread_name();
    return name.empty() ? "<unnamed>" : name;
}

// The source path from the project's root, as a reader of the report wants it.
std::string_view source_path(const char* file) {
    std::string_view path = file;
    auto at = path.rfind("/src/");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

}  // namespace

void raise_panic(std::string_view message, const std::source_location& where) {
    auto path = source_path(where.file_name());
    std::fprintf(stderr, "thread '%s' panicked at %.*s:%u:%u:\n%.*s\n", thread_name().c_str(),
                 static_cast<int>(path.size()), path.data(), where.line(), where.column(),
                 static_cast<int>(message.size()), message.data());
    PyObject* type = panic_type();
    Ref text = Ref::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;  // the pending MemoryError stands in for the panic
    PyErr_SetObject(type, text.get());
}

}  // namespace tarnwick::py
