#include "core/rowwise/kernels.hpp"

#include "core/dispatch/dispatch.hpp"
#include "core/rowwise/vector_kernels.hpp"
#include "core/simd/baseline.hpp"

namespace tarnwick::core::rowwise {

constinit const RowLoops baseline::table = level_kernels<simd::baseline::Target>();

const RowLoops& kernels() {
    static const RowLoops& chosen = []() -> const RowLoops& {
        if constexpr (dispatch::kX86Levels) {
            return dispatch::choose<RowLoops>({&baseline::table, &avx2::table});
        }
        return baseline::table;
    }();
    return chosen;
}

}  // namespace tarnwick::core::rowwise
