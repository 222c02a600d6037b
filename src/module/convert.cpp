#include "module/convert.hpp"

#include <new>
#include <type_traits>

#include "module/exceptions.hpp"

namespace tarnwick::py {

namespace {

// The float protocol; failures come back as the interpreter's exception.
double as_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw_pending();
    return value;
}

// collections.abc.Sequence's qualified name, looked up once.
PyObject* sequence_qualname() {
    static PyObject* name = nullptr;
    if (!name) {
        Ref abc = created(PyImport_ImportModule("collections.abc"));
        Ref sequence = created(PyObject_GetAttrString(abc.get(), "Sequence"));
        Ref qualname = created(PyObject_GetAttrString(sequence.get(), "__qualname__"));
        if (!name) name = qualname.release();
    }
    return name;
}

// A str is refused (though a sequence), and so is anything that is not a sequence.
void require_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) {
        throw PyError(PyExc_TypeError,
                      created(PyUnicode_FromFormat("'%U' object cannot be cast as '%U'",
                                                   type_qualname(obj).get(), sequence_qualname())));
    }
}

// Converts every item of a sequence in iteration order.
template <class T, class Convert>
std::vector<T> collect(PyObject* obj, Convert convert) {
    require_sequence(obj);
    std::vector<T> values;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // The same items in the same order as iterating, without an iterator. The size is read
        // afresh each step because converting an item may run code that changes the list.
        auto size = [obj] {
            return PyList_CheckExact(obj) ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj);
        };
        values.reserve(static_cast<std::size_t>(size()));
        for (Py_ssize_t i = 0; i < size(); ++i) {
            PyObject* item = PySequence_Fast_ITEMS(obj)[i];
            if constexpr (std::is_same_v<T, double>) {
                if (PyFloat_CheckExact(item)) {  // nothing to run, nothing to keep alive
                    values.push_back(PyFloat_AS_DOUBLE(item));
                    continue;
                }
            }
            Ref held = Ref::borrow(item);  // its conversion may drop the list's reference
            values.push_back(convert(held.get()));
        }
        return values;
    }
    Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        // A length beyond what a vector can hold is out of memory, as list() reports it.
        if (static_cast<std::size_t>(hint) > values.max_size()) throw std::bad_alloc();
        values.reserve(static_cast<std::size_t>(hint));
    }
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) throw_pending();
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) values.push_back(convert(item.get()));
    if (PyErr_Occurred()) throw_pending();
    return values;
}

std::vector<double> as_vector(PyObject* obj) { return collect<double>(obj, as_double); }

// Runs a conversion, turning its failure into the argument error for `param`.
template <class Convert>
auto converting(const char* param, Convert&& convert) {
    try {
        return convert();
    } catch (PyError& error) {
        throw_argument_error(param, std::move(error));
    }
}

}  // namespace

double to_double(PyObject* obj, const char* param) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    return converting(param, [obj] { return as_double(obj); });
}

float to_float32(PyObject* obj, const char* param) {
    return static_cast<float>(to_double(obj, param));
}

std::vector<double> to_vector(PyObject* obj, const char* param) {
    return converting(param, [obj] { return as_vector(obj); });
}

std::vector<std::vector<double>> to_matrix(PyObject* obj, const char* param) {
    return converting(param, [obj] { return collect<std::vector<double>>(obj, as_vector); });
}

Ref from_double(double value) { return created(PyFloat_FromDouble(value)); }

Ref from_vector(const std::vector<double>& values) {
    Ref list = created(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), from_double(values[i]).release());
    }
    return list;
}

Ref from_matrix(const std::vector<std::vector<double>>& rows) {
    Ref list = created(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), from_vector(rows[i]).release());
    }
    return list;
}

}  // namespace tarnwick::py
