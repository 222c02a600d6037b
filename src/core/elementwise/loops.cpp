#include "core/elementwise/loops.hpp"

#include "core/dispatch/dispatch.hpp"
#include "core/elementwise/vector_loops.hpp"
#include "core/simd/baseline.hpp"

namespace tarnwick::core::elementwise {

constinit const ElementLoops baseline::table = level_loops<simd::baseline::Target>();

const ElementLoops& loops() {
    static const ElementLoops& chosen = []() -> const ElementLoops& {
        if constexpr (dispatch::kX86Levels) {
            return dispatch::choose<ElementLoops>({&baseline::table, &avx2::table, &avx512::table});
        }
        return baseline::table;
    }();
    return chosen;
}

}  // namespace tarnwick::core::elementwise
