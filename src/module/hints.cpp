#include "module/hints.hpp"

#include <cctype>

#include "module/ref.hpp"

namespace tarnwick::py {

namespace {

// Appends every part in turn (a chain of `"text" + string` trips GCC 12's -Wrestrict).
template <class... Parts>
std::string concat(const Parts&... parts) {
    std::string out;
    (out.append(std::string_view(parts)), ...);
    return out;
}

// The UTF-8 text of str(obj); empty (and the error cleared) if that fails.
std::string text_of(PyObject* obj) {
    Ref text = Ref::steal(obj ? PyObject_Str(obj) : nullptr);
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return {};
    }
    return utf8;
}

std::string attribute_text(PyObject* obj, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
    return text_of(value.get());
}

std::string with_article(const std::string& noun) {
    const bool vowel =
        !noun.empty() && std::string_view("aeiouAEIOU").find(noun[0]) != std::string_view::npos;
    return concat(vowel ? "an " : "a ", noun);
}

// "a 2-D float32 array of shape (3, 4)", "a list", "None".
std::string describe(PyObject* given) {
    if (given == Py_None) return "None";
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(given)));
    std::string type = text_of(type_name.get());
    if (type.empty()) return {};
    Ref ndarray_module = Ref::steal(PyImport_ImportModule("numpy"));
    Ref ndarray = Ref::steal(
        ndarray_module ? PyObject_GetAttrString(ndarray_module.get(), "ndarray") : nullptr);
    const int is_array = ndarray ? PyObject_IsInstance(given, ndarray.get()) : -1;
    if (is_array < 0) PyErr_Clear();
    if (is_array != 1) return with_article(type);
    std::string ndim = attribute_text(given, "ndim");
    std::string dtype = attribute_text(given, "dtype");
    std::string shape = attribute_text(given, "shape");
    if (ndim.empty() || dtype.empty() || shape.empty()) return with_article(type);
    return concat("a ", ndim, "-D ", dtype, " array of shape ", shape);
}

std::string shape_text(const core::ShapedOperand& operand) {
    const std::string rows = std::to_string(operand.shape[0]);
    if (operand.ndim == 1) return concat("(", rows, ",)");
    return concat("(", rows, ", ", std::to_string(operand.shape[1]), ")");
}

// "input's", "weights'".
std::string possessive(std::string_view name) {
    return concat(name, name.ends_with('s') ? "'" : "'s");
}

}  // namespace

std::string array_hint(const char* param, PyObject* given, const char* dtype, int ndim) noexcept {
    try {
        const std::string dims = concat(std::to_string(ndim), "-D ");
        std::string got = describe(given);
        if (got.empty()) return {};
        std::string hint = concat("expected a ", dims, dtype, " array, got ", got);
        const std::string numpy_dtype = concat("numpy.", dtype);
        if (PyList_Check(given) || PyTuple_Check(given)) {
            hint += concat("; numpy.asarray(", param, ", dtype=", numpy_dtype, ") makes one");
        } else if (got.starts_with(concat("a ", dims))) {
            // The right number of dimensions, another dtype: converting is the caller's call.
            hint += concat("; nothing is cast: ", param, ".astype(", numpy_dtype, ") converts it");
        }
        return hint;
    } catch (...) {
        PyErr_Clear();
        return {};
    }
}

std::string shape_hint(const core::ShapeError& error) {
    const auto& ops = error.operands;
    if (ops.empty()) return {};
    std::string hint = concat(ops[0].name, " has shape ", shape_text(ops[0]));
    for (std::size_t i = 1; i < ops.size(); ++i) {
        hint += concat(", ", ops[i].name, " ", shape_text(ops[i]));
    }
    switch (error.rule) {
        case core::ShapeRule::InnerDimensions:
            if (ops.size() == 2) {
                hint += concat(": ", possessive(ops[0].name), " columns must equal ",
                               possessive(ops[1].name), " rows");
            }
            break;
        case core::ShapeRule::BiasLength:
            if (ops.size() == 2) {
                hint += concat(": ", possessive(ops[1].name), " length must equal ",
                               possessive(ops[0].name), " columns");
            }
            break;
        case core::ShapeRule::SameShape:
            hint += ops.size() == 3 ? ": all three must have the same shape"
                                    : ": they must have the same shape";
            break;
    }
    return hint;
}

void add_note(PyObject* exc, std::string_view note) noexcept {
    if (note.empty()) return;
    Ref text =
        Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    Ref done = Ref::steal(text ? PyObject_CallMethod(exc, "add_note", "O", text.get()) : nullptr);
    if (!done) PyErr_Clear();
}

}  // namespace tarnwick::py
