// The element-wise loops in AVX-512's 64-byte vectors.
#include "core/elementwise/vector_loops.hpp"
#include "core/simd/avx512.hpp"

namespace tarnwick::core::elementwise {

constinit const ElementLoops avx512::table = level_loops<simd::avx512::Target>();

}  // namespace tarnwick::core::elementwise
