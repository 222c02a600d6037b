// Many values divided by one divisor b, with the bits of a true division but without the
// divider: the divider takes a vector every 5 cycles on the cores we measured, where the
// multiply-add pipes take two vectors per cycle, and softmax's final pass is bound by it.
//
// y = 1/b, rounded (one true division per row); then for each a:
//   q0 = a * y
//   q1 = q0 + (a - b * q0) * y     the residual and the correction each one fused multiply-add
//   q2 = q1 + (a - b * q1) * y
// q0 is within 2 ulp of a/b, so q1 is within half an ulp plus 2^-50 ulp: a faithful quotient.
// For a faithful q, the residual a - b * q is exact, and with y within half an ulp of 1/b one
// more correction gives a/b correctly rounded (Markstein's theorem), which is what the divide
// instruction returns. The first correction alone would already give it wherever q0 is
// faithful, but a * y is not always (about 1% of quotients near the bottom of a binade);
// no case was found where that mattered, nor a proof that none exists, so both are taken.
//
// The proof assumes that nothing underflows or overflows: |a| at least 2^-960, the quotient at
// least 2^-1000 and everything below 2^1000. Softmax checks bounds that imply these once per
// row and per vector and divides wherever they fail (zeros, NaN, infinities, extreme
// scales), so the results never depend on which way a value went. (Layer norm divides: there
// the reciprocal measured no faster, its divisions hidden behind the next block's additions.)
#pragma once

#include "core/simd/lanes.hpp"

namespace tarnwick::core::rowwise {

// L: simd::Lanes for double. Only for levels whose fused multiply-add is one instruction.
template <class L>
struct ByReciprocal {
    using V = typename L::V;
    static constexpr bool kAvailable = L::kHardwareFma;

    V y, minus_b;

    explicit ByReciprocal(double b) : y(L::splat(1.0 / b)), minus_b(L::splat(-b)) {}

    // a / b, for a within the caller's checked bounds.
    [[gnu::always_inline]] V operator()(V a) const {
        const V q0 = a * y;
        const V q1 = L::fma(L::fma(minus_b, q0, a), y, q0);
        return L::fma(L::fma(minus_b, q1, a), y, q1);
    }
};

// Whether a softmax row's exponentials may go through ByReciprocal(sum): the sum is at least
// 1 (the maximum's own exponential) when finite; each vector's values must also be at least
// kSoftmaxLeast, so that the quotients stay above 2^-900.
inline bool sum_by_reciprocal(double sum) { return sum >= 1.0 && sum <= 0x1p400; }
inline constexpr double kSoftmaxLeast = 0x1p-500;

}  // namespace tarnwick::core::rowwise
