#include "core/exp/kernels.hpp"

#include <initializer_list>

namespace tarnwick::core::exact_exp {

namespace {

// The widest variant this processor runs that passes the guard; else the library calls.
const Kernels& choose_checked() {
#if TARNWICK_X86_VARIANTS
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
