// The module object: created once per process, bound to the first interpreter that imports it.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "module/functions/functions.hpp"
#include "module/level_notice.hpp"

namespace tarnwick::py {

namespace {

constexpr const char kSubinterpreterMessage[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/tarnwick/tarnwick/issues/1";

// No method table and no slots: the functions are added one by one after creation.
PyModuleDef g_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarnwick",
    .m_doc = "Python module definition",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

// The functions in the order __all__ lists them.
const std::vector<const Function*>& table() {
    static const std::vector<const Function*> functions = {
        &kSumOfSquaresFn,        &kMatrixMultiplyFn,    &kParallelTransformFn,
        &kMatmulNumpyFn,         &kMatmulNumpyF32Fn,    &kParallelMapNumpyFn,
        &kParallelMapNumpyF32Fn, &kSumOfSquaresNumpyFn, &kSumOfSquaresNumpyF32Fn,
        &kFusedLinearFn,         &kFusedLinearF32Fn,    &kFusedLinearReluFn,
        &kFusedLinearReluF32Fn,  &kFusedDropoutAddFn,   &kFusedLayerNormFn,
        &kFusedSoftmaxFn,        &kReluNumpyFn,         &kReluNumpyF32Fn,
        &kSigmoidNumpyFn,        &kSigmoidNumpyF32Fn,
    };
    return functions;
}

// Method records must outlive the module; the docstring carries the signature head.
struct Method {
    std::string doc;
    PyMethodDef def;
};

void add_function(PyObject* module, const Function& fn) {
    static std::vector<std::unique_ptr<Method>> methods;
    auto& method = *methods.emplace_back(std::make_unique<Method>());
    method.doc = fn.text_signature + "\n--\n\n" + fn.doc;
    method.def = {fn.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn.entry)),
                  METH_FASTCALL | METH_KEYWORDS, method.doc.c_str()};

    Ref module_name = created(PyModule_GetNameObject(module));
    Ref function = created(PyCMethod_New(&method.def, module, module_name.get(), nullptr));
    Ref name = created(PyObject_GetAttrString(function.get(), "__name__"));
    if (!PyUnicode_Check(name.get())) throw cast_error(name.get(), "str");

    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        all = created(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
    } else if (!PyList_Check(all.get())) {
        throw cast_error(all.get(), "list");
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        core::fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw_pending();
}

Ref create_module() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_pending();
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        throw_error(PyExc_ImportError, kSubinterpreterMessage);
    }
    if (g_module) return Ref::borrow(g_module);

    Ref module = created(PyModule_Create2(&g_definition, 1013));
    for (const Function* fn : table()) add_function(module.get(), *fn);
    announce_cpu_level();  // once: later imports return the cached module above
    if (!g_module) g_module = Ref::borrow(module.get()).release();  // kept for the process
    return Ref::borrow(g_module);
}

}  // namespace

}  // namespace tarnwick::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tarnwick() {
    return tarnwick::py::guarded(tarnwick::py::create_module);
}
