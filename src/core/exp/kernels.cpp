#include "core/exp/kernels.hpp"

#include <initializer_list>

#include "core/exp/identity.hpp"
#include "core/platform/fp_control.hpp"

namespace tarnwick::core::exact_exp {

namespace {

// The widest variant this processor runs that passes the guard; else the library calls. The
// guard proves the library's identity first, then compares values on its probes. It runs in
// the default floating-point mode whatever the first caller's, so that no caller's mode can
// turn the vector path off or on for the process.
const Kernels& choose_checked() {
#if TARNWICK_X86_VARIANTS
    const platform::DefaultFpControl default_mode;
    if (!library_is_verified_glibc()) return portable;
    for (const Kernels* v : {cpu::choose<const Kernels*>(nullptr, nullptr, &avx512::vector),
                             cpu::choose<const Kernels*>(nullptr, &avx2::vector, nullptr)}) {
        if (v != nullptr && agrees_with_library(*v)) return *v;
    }
#endif
    return portable;
}

}  // namespace

const Kernels& kernels() {
    static const Kernels& chosen = choose_checked();
    return chosen;
}

}  // namespace tarnwick::core::exact_exp
