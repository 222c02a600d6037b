#include "module/arrays.hpp"

#include <cstdint>
#include <string>

#include "core/errors.hpp"
#include "module/exceptions.hpp"
#include "module/hints.hpp"

// Built against NumPy 2's headers, run on NumPy 1.x and 2.x: only calls both offer are used.
#define NPY_NO_DEPRECATED_API NPY_1_21_API_VERSION
#define NPY_TARGET_VERSION NPY_1_21_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tarnwick_ARRAY_API
#include <numpy/arrayobject.h>

namespace tarnwick::py {

namespace {

// Float32 and float64 descriptors, kept for the life of the process.
PyArray_Descr* g_descr[2] = {nullptr, nullptr};

PyArray_Descr* descr(DType dtype) { return g_descr[dtype == DType::Float64]; }

[[noreturn]] void capsule_fault(std::string_view why) {
    std::string message = "Failed to access NumPy array API capsule";
    if (!why.empty()) message.append(": ").append(why);
    core::fault(std::move(message));
}

// The text of the pending Python error, cleared.
std::string pending_text() {
    if (!PyErr_Occurred()) return {};
    Ref text = PyError::fetch().text();
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    PyErr_Clear();
    return utf8 ? utf8 : "";
}

// NumPy's own import routine finds the table wherever this NumPy keeps it, checks that its C
// API is at least the one we are built for, and records its version for the headers' accessors.
bool g_numpy_ready = false;

void require_numpy() {
    if (g_numpy_ready) return;
    if (_import_array() < 0) capsule_fault(pending_text());
    if (g_numpy_ready) return;  // another thread finished while the import let go of the lock
    for (auto dtype : {DType::Float32, DType::Float64}) {
        PyArray_Descr* d = PyArray_DescrFromType(dtype == DType::Float64 ? NPY_DOUBLE : NPY_FLOAT);
        if (!d) capsule_fault(pending_text());
        g_descr[dtype == DType::Float64] = d;
    }
    g_numpy_ready = true;
}

// Creating an object failed: out of memory is raised as it is, anything else is a fault.
[[noreturn]] void container_failed() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_pending();
    PyErr_Print();
    core::fault("Failed to create slice container");
}

// The base object of every result array: it owns the buffer and frees it when it goes away.
struct SliceContainer {
    PyObject ob_base;
    void* data;
    std::size_t bytes;  // as allocated, for giving it back
};

void container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    core::free_buffer(container->data, container->bytes);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyTypeObject* container_type() {
    static PyTypeObject* type = nullptr;
    if (!type) {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
            {Py_tp_doc, const_cast<char*>("Memory of a result array, freed with its last user.")},
            {0, nullptr},
        };
        static PyType_Spec type_spec = {"tarnwick.PySliceContainer", sizeof(SliceContainer), 0,
                                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                        slots};
        auto* made = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
        if (!made) container_failed();
        type = made;
    }
    return type;
}

}  // namespace

namespace {

bool fits(PyObject* obj, DType dtype, int ndim) {
    if (!PyArray_Check(obj) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) != ndim) {
        return false;
    }
    PyArray_Descr* have = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj));
    return have == descr(dtype) || PyArray_EquivTypes(have, descr(dtype));
}

}  // namespace

void check_array(PyObject* obj, const char* param, DType dtype, int ndim) {
    require_numpy();
    if (!fits(obj, dtype, ndim)) {
        const char* expected = dtype == DType::Float64 ? "float64" : "float32";
        throw_argument_error(param, cast_error(obj, "ndarray"),
                             array_hint(param, obj, expected, ndim));
    }
}

RawArray read_array(PyObject* obj, const char* param, DType dtype, int ndim) {
    // Code run since the check may have reshaped the array or changed its dtype in place.
    check_array(obj, param, dtype, ndim);
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    RawArray raw{static_cast<const char*>(PyArray_DATA(array)), {1, 1}, {0, 0}};
    for (int d = 0; d < ndim; ++d) {
        raw.shape[d] = static_cast<std::size_t>(PyArray_DIM(array, d));
        raw.strides[d] = PyArray_STRIDE(array, d);
    }
    return raw;
}

Ref adopt(void* data, std::size_t bytes, DType dtype, int ndim, const std::size_t* shape,
          const std::ptrdiff_t* steps, std::size_t origin) {
    const npy_intp itemsize = dtype == DType::Float64 ? 8 : 4;
    PyObject* container;
    try {
        require_numpy();
        container = PyObject_New(PyObject, container_type());
    } catch (...) {
        core::free_buffer(data, bytes);
        throw;
    }
    if (!container) {
        core::free_buffer(data, bytes);
        container_failed();
    }
    reinterpret_cast<SliceContainer*>(container)->data = data;
    reinterpret_cast<SliceContainer*>(container)->bytes = bytes;
    Ref owner = Ref::steal(container);

    npy_intp dims[2], strides[2];
    for (int d = 0; d < ndim; ++d) {
        dims[d] = static_cast<npy_intp>(shape[d]);
        strides[d] = static_cast<npy_intp>(steps[d]) * itemsize;
    }
    PyArray_Descr* d = descr(dtype);
    Py_INCREF(d);  // NewFromDescr takes a reference
    char* first = static_cast<char*>(data) + static_cast<npy_intp>(origin) * itemsize;
    Ref array = created(PyArray_NewFromDescr(&PyArray_Type, d, ndim, dims, strides, first,
                                             NPY_ARRAY_WRITEABLE, nullptr));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
        throw_pending();
    }
    return array;
}

}  // namespace tarnwick::py
