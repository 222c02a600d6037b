#include "core/elementwise/simd.hpp"

#include <cstring>

#include "core/dispatch/cpu.hpp"
#include "core/elementwise/lanes.hpp"

namespace tarnwick::core::simd {

namespace portable {

namespace {

// 16-byte vectors, which every 64-bit target has (SSE2, NEON); no stores around the caches.
struct Tag {
    template <bool Stream, class T, class V>
    static void put(T* p, V v) {
        std::memcpy(p, &v, sizeof v);
    }
    static void fence() {}
};

}  // namespace

Kernels kernels() { return level_kernels<Tag, 16>(); }

}  // namespace portable

const Kernels& kernels() {
#if TARNWICK_X86_VARIANTS
    static const Kernels chosen =
        cpu::choose(&portable::kernels, &avx2::kernels, &avx512::kernels)();
#else
    static const Kernels chosen = portable::kernels();
#endif
    return chosen;
}

}  // namespace tarnwick::core::simd
