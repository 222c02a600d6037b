// The constants of the C library's table-driven exp and expf (glibc 2.28 and later), which the
// vector kernels evaluate lane by lane to give the library's bits. The polynomials are the
// library's own minimax fits; the tables are 2^(i/N), derived in tables.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::core::exact_exp {

// exp: x = k ln2/128 + r, exp(x) = 2^(k/128) (1 + tail + poly(r)).
inline constexpr std::size_t kExpN = 128;
inline constexpr double kExpInvLn2N = 0x1.71547652b82fep+7;  // 128 / ln 2
inline constexpr double kExpNegLn2HiN = -0x1.62e42fefa0000p-8;
inline constexpr double kExpNegLn2LoN = -0x1.cf79abc9e3b3ap-47;
inline constexpr double kExpShift = 0x1.8p+52;  // rounds to an integer, k in the low bits
inline constexpr double kExpC2 = 0x1.ffffffffffdbdp-2;
inline constexpr double kExpC3 = 0x1.555555555543cp-3;
inline constexpr double kExpC4 = 0x1.55555cf172b91p-5;
inline constexpr double kExpC5 = 0x1.1111167a4d017p-7;
// The table-driven path covers 2^-54 <= |x| < 512; below it the library gives 1 + x.
inline constexpr double kExpTiny = 0x1p-54;
inline constexpr double kExpLarge = 512.0;

// expf, evaluated in double: x 32/ln2 = k + r, expf(x) = 2^(k/32) poly(r).
inline constexpr std::size_t kExpfN = 32;
inline constexpr double kExpfInvLn2N = 0x1.71547652b82fep+5;  // 32 / ln 2
inline constexpr double kExpfShift = 0x1.8p+52;
inline constexpr double kExpfC0 = 0x1.c6af84b912394p-20;
inline constexpr double kExpfC1 = 0x1.ebfce50fac4f3p-13;
inline constexpr double kExpfC2 = 0x1.62e42ff0c52d6p-6;
// The table-driven path covers |x| < 88; beyond it lie overflow, underflow, infinities, NaN.
inline constexpr float kExpfLarge = 88.0f;

// exp: pairs (tail bits, bits of 2^(i/128) less i << 45); expf: bits of 2^(i/32) less i << 47.
extern const std::uint64_t kExpTable[2 * kExpN];
extern const std::uint64_t kExpfTable[kExpfN];
// The expf table as 32-bit words: the low halves of its entries, then the high halves, for
// lookups that permute 32-bit lanes.
extern const std::uint32_t kExpfWords[2 * kExpfN];

}  // namespace tarnwick::core::exact_exp
