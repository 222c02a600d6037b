#include "module/level_notice.hpp"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/dispatch/cpu.hpp"
#include "module/exceptions.hpp"

namespace tarnwick::py {

namespace {

std::string level_report(const core::cpu::Choice& choice) {
    std::string report = "tarnwick: kernels run at CPU level ";
    report += core::cpu::name(choice.chosen);
    if (choice.chosen != choice.supported) {
        const char* cap = std::getenv("TARNWICK_CPU");
        report += std::string(" (this processor supports ") + core::cpu::name(choice.supported) +
                  "; TARNWICK_CPU=" + (cap ? cap : "") + " caps it)";
    } else if (!TARNWICK_X86_VARIANTS) {
        report += " (the only level of this architecture's build)";
    } else {
        report += " (the highest this processor supports)";
    }
    return report + "\n";
}

// The stack level of the first frame outside the import machinery, so that a warning points at
// the caller's `import tarnwick` (the interpreter skips those frames only from the caller's).
int caller_stack_level() {
    int level = 1;
    PyFrameObject* frame = PyEval_GetFrame();  // borrowed
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(frame));
    while (frame) {
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
        Ref file = Ref::steal(PyObject_GetAttrString(code.get(), "co_filename"));
        const char* name = file ? PyUnicode_AsUTF8(file.get()) : nullptr;
        if (!name) {
            PyErr_Clear();
            break;
        }
        if (!std::string_view(name).starts_with("<frozen importlib._bootstrap")) break;
        Ref back = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
        frame = reinterpret_cast<PyFrameObject*>(back.get());
        held = std::move(back);
        ++level;
    }
    return level;
}

}  // namespace

void announce_cpu_level() {
    const core::cpu::Choice& choice = core::cpu::choice();
    if (!choice.ignored_cap.empty()) {
        Ref value = created(PyUnicode_DecodeFSDefault(choice.ignored_cap.c_str()));
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, caller_stack_level(),
                             "TARNWICK_CPU=%R names no CPU level and is ignored (accepted values: "
                             "baseline, avx2, avx512); the kernels run at %s",
                             value.get(), core::cpu::name(choice.chosen)) < 0) {
            throw_pending();
        }
    }
    const char* show = std::getenv("TARNWICK_SHOW_CPU");
    if (show != nullptr && std::strcmp(show, "1") == 0) {
        PySys_WriteStderr("%s", level_report(choice).c_str());
    }
}

}  // namespace tarnwick::py
