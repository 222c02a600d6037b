#include "core/exp/kernels.hpp"

#include "core/dispatch/dispatch.hpp"

namespace tarnwick::core::exact_exp {

// The widest variant this processor runs that passes the guard; else the library calls.
const Kernels& kernels() {
    static const Kernels& chosen = []() -> const Kernels& {
        if constexpr (dispatch::kX86Levels) {
            return dispatch::choose<Kernels>({&portable, &avx2::vector, &avx512::vector},
                                             agrees_with_library);
        }
        return portable;
    }();
    return chosen;
}

}  // namespace tarnwick::core::exact_exp
