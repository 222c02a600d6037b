// The portable tiles: scalar chains through std::fma, a single instruction where the target
// has one (aarch64) and a correctly rounded library call where it does not (x86-64 baseline).
#include "core/gemm/tiles.hpp"

#include <cmath>
#include <type_traits>

namespace tarnwick::core::gemm_impl {

namespace portable {
namespace {

template <class E>
struct Scalar {
    using T = E;
    using V = E;
    static constexpr std::size_t kWidth = 1;
    static V splat(T x) { return x; }
    static V load(const T* p) { return *p; }
    static void store(T* p, V v) { *p = v; }
    static V fma(V x, V y, V acc) { return std::fma(x, y, acc); }
};

}  // namespace

// Sixteen chains: enough to hide the latency of a fused multiply-add.
constinit const Tiles<double> kF64 = make_tiles<Scalar<double>, 4, 4>();
constinit const Tiles<float> kF32 = make_tiles<Scalar<float>, 4, 4>();
}  // namespace portable

namespace {

// T comes from the portable tiles alone, so a target without the other levels can pass nullptr.
template <class T>
const Tiles<T>* pick(const Tiles<T>& portable_tiles,
                     std::type_identity_t<const Tiles<T>*> avx2_tiles,
                     std::type_identity_t<const Tiles<T>*> avx512_tiles) {
    return cpu::choose(&portable_tiles, avx2_tiles, avx512_tiles);
}

}  // namespace

template <>
const Tiles<double>& tiles<double>() {
#if TARNWICK_X86_VARIANTS
    static const Tiles<double>* chosen = pick(portable::kF64, &avx2::kF64, &avx512::kF64);
#else
    static const Tiles<double>* chosen = pick(portable::kF64, nullptr, nullptr);
#endif
    return *chosen;
}

template <>
const Tiles<float>& tiles<float>() {
#if TARNWICK_X86_VARIANTS
    static const Tiles<float>* chosen = pick(portable::kF32, &avx2::kF32, &avx512::kF32);
#else
    static const Tiles<float>* chosen = pick(portable::kF32, nullptr, nullptr);
#endif
    return *chosen;
}

}  // namespace tarnwick::core::gemm_impl
