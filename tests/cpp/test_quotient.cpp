// Quotients through the reciprocal (rowwise/quotient.hpp) against the divide instruction, bit
// for bit, on the cases where a shortcut would go wrong: quotients within a few 2^-106 of a
// midpoint between two doubles, divisors whose reciprocal rounds furthest, and the edges of
// the bounds softmax checks. The arithmetic is the same at every width, so the
// portable lanes (std::fma per lane) stand for all of them.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

#include "core/rowwise/quotient.hpp"
#include "core/simd/portable.hpp"

namespace {

using tarnwick::core::rowwise::ByReciprocal;
using tarnwick::core::rowwise::kSoftmaxLeast;
using tarnwick::core::rowwise::sum_by_reciprocal;
using L = tarnwick::core::simd::Lanes<tarnwick::core::simd::portable::Target, double>;

std::uint64_t bits(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

long failures = 0;

// a / b and -a / b (the kernels' zeros are +0 alone: -0 would come out +0).
void check(double a, double b, bool negated = true) {
    const ByReciprocal<L> quotient(b);
    L::V v = L::splat(a);
    if (negated) v[1] = -a;
    const L::V q = quotient(v);
    for (int lane = 0; lane < 2; ++lane) {
        const double want = v[lane] / b;
        if (bits(q[lane]) != bits(want) && ++failures <= 10) {
            std::printf("%a / %a: %a, divided %a\n", v[lane], b, q[lane], want);
        }
    }
}

// a / b within k * 2^-106 of a midpoint: with B an odd 53-bit and M an odd 54-bit integer,
// B * M = A * 2^54 + k makes A / B = M / 2^54 - k / (2^54 B), where M / 2^54 is halfway
// between two doubles (found by solving M = k / B modulo 2^54).
void near_midpoints(std::mt19937_64& random, long count) {
    constexpr std::uint64_t kLow54 = (std::uint64_t{1} << 54) - 1;
    for (long found = 0; found < count;) {
        const std::uint64_t B = (random() >> 11) | (std::uint64_t{1} << 52) | 1;
        std::uint64_t inverse = B;  // Newton's iteration for B^-1 modulo 2^64
        for (int i = 0; i < 6; ++i) inverse *= 2 - B * inverse;
        const std::int64_t k = static_cast<std::int64_t>(random() % 15) - 7;
        if (k == 0) continue;
        const std::uint64_t M = (static_cast<std::uint64_t>(k) * inverse) & kLow54;
        if (M < (std::uint64_t{1} << 53)) continue;
        const __int128 product = static_cast<__int128>(static_cast<unsigned __int128>(B) * M) - k;
        const std::uint64_t A = static_cast<std::uint64_t>(product >> 54);
        if (A < (std::uint64_t{1} << 52) || A >= (std::uint64_t{1} << 53)) continue;
        const int ea = static_cast<int>(random() % 1000) - 500,
                  eb = static_cast<int>(random() % 800) - 400;
        check(std::ldexp(static_cast<double>(A), ea - 52),
              std::ldexp(static_cast<double>(B), eb - 52));
        ++found;
    }
}

double uniform_significand(std::mt19937_64& random, int exponent) {
    return std::ldexp(1.0 + std::ldexp(static_cast<double>(random() >> 12), -52), exponent);
}

}  // namespace

int main() {
    std::mt19937_64 random(20261208);
    near_midpoints(random, 2'000'000);
    // Random operands across the bounds, and divisors just below a power of two, whose
    // reciprocals round furthest.
    for (long i = 0; i < 2'000'000; ++i) {
        const double a = uniform_significand(random, static_cast<int>(random() % 1800) - 900);
        double b = uniform_significand(random, static_cast<int>(random() % 800) - 400);
        if (i % 2)
            b = std::ldexp(2.0 - std::ldexp(static_cast<double>(random() % 4096 + 1), -52),
                           static_cast<int>(random() % 800) - 400);
        const double q = std::fabs(a / b);
        if (q >= 0x1p-1000 && q <= 0x1p1000 && std::fabs(a) >= 0x1p-960) check(a, b);
    }
    // Extreme operands within the proof's bounds, and the least value softmax admits.
    check(0x1p-854, 0x1p400);
    check(0x1.fffffffffffffp+432, 0x1p-400);
    check(kSoftmaxLeast, 0x1p400);
    check(0.0, 3.0, false);
    check(1.0, 0x1.fffffffffffffp+399);

    // The softmax check: admitted exactly within its bounds.
    const struct {
        double sum;
        bool admitted;
    } sums[] = {{1.0, true},
                {0x1p400, true},
                {0x1.fffffffffffffp-1, false},
                {0x1.0000000000001p400, false},
                {NAN, false},
                {INFINITY, false}};
    for (const auto& s : sums) {
        if (sum_by_reciprocal(s.sum) != s.admitted) {
            ++failures;
            std::printf("sum check %a wrong\n", s.sum);
        }
    }
    std::printf("%ld wrong\n", failures);
    return failures == 0 ? 0 : 1;
}
