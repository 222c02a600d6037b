#include "core/elementwise/loops.hpp"

#include "core/dispatch/dispatch.hpp"
#include "core/elementwise/vector_loops.hpp"
#include "core/simd/baseline.hpp"

namespace tarnwick::core::elementwise {

constinit const Loops baseline::table = level_loops<simd::baseline::Target>();

const Loops& loops() {
    static const Loops& chosen = []() -> const Loops& {
        if constexpr (dispatch::kX86Levels) {
            return dispatch::choose<Loops>({&baseline::table, &avx2::table, &avx512::table});
        }
        return baseline::table;
    }();
    return chosen;
}

}  // namespace tarnwick::core::elementwise
