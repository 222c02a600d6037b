#include "core/rowwise/kernels.hpp"

#include "core/dispatch/dispatch.hpp"
#include "core/rowwise/vector_kernels.hpp"
#include "core/simd/baseline.hpp"

namespace tarnwick::core::rowwise {

constinit const Kernels baseline::table = level_kernels<simd::baseline::Target>();

const Kernels& kernels() {
    static const Kernels& chosen = []() -> const Kernels& {
        if constexpr (dispatch::kX86Levels) {
            return dispatch::choose<Kernels>({&baseline::table, &avx2::table, &avx512::table});
        }
        return baseline::table;
    }();
    return chosen;
}

}  // namespace tarnwick::core::rowwise
