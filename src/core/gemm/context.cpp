#include "core/gemm/context.hpp"

#include "core/dispatch/dispatch.hpp"
#include "core/gemm/kernel.hpp"
#include "core/simd/baseline.hpp"

namespace tarnwick::core::gemm_impl {

constinit const Contexts baseline::contexts =
    make_contexts<simd::baseline::Target, kBaselineTile>();

const Contexts& contexts() {
    static const Contexts& chosen = []() -> const Contexts& {
        if constexpr (dispatch::kX86Levels) {
            return dispatch::choose<Contexts>(
                {&baseline::contexts, &avx2::contexts, &avx512::contexts});
        }
        return baseline::contexts;
    }();
    return chosen;
}

}  // namespace tarnwick::core::gemm_impl
