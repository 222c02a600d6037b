#include "core/exp/kernels.hpp"

#include "core/dispatch/dispatch.hpp"
#include "core/exp/identity.hpp"
#include "core/platform/fp_control.hpp"

namespace tarnwick::core::exact_exp {

// The widest variant this processor runs that passes the guard; else the library calls. The
// guard proves the library's identity first, then compares values on its probes (the
// dispatch's acceptance check). It runs in the default floating-point mode whatever the first
// caller's, so that no caller's mode can turn the vector path off or on for the process.
const Kernels& kernels() {
    static const Kernels& chosen = []() -> const Kernels& {
        if constexpr (dispatch::kX86Levels) {
            const platform::DefaultFpControl default_mode;
            if (!library_is_verified_glibc()) return portable;
            return dispatch::choose<Kernels>({&portable, &avx2::vector, &avx512::vector},
                                             agrees_with_library);
        }
        return portable;
    }();
    return chosen;
}

}  // namespace tarnwick::core::exact_exp
