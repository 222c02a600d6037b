#include "core/platform/fp_control.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#elif !defined(__aarch64__)
#include <cfenv>
#endif

namespace tarnwick::core::platform {

#if defined(__x86_64__) || defined(_M_X64)

namespace {
// Bits 6 to 15: denormals-are-zero, the six exception masks, rounding control, flush-to-zero.
// Bits 0 to 5 are the sticky exception flags, which belong to the thread that raised them.
constexpr std::uint32_t kControlBits = 0xffc0;
}  // namespace

FpControl current_fp_control() noexcept { return {_mm_getcsr() & kControlBits}; }

void adopt_fp_control(FpControl control) noexcept {
    const std::uint32_t csr = _mm_getcsr();
    if ((csr & kControlBits) != control.bits) {
        _mm_setcsr((csr & ~kControlBits) | static_cast<std::uint32_t>(control.bits));
    }
}

FpControl default_fp_control() noexcept { return {0x1f80}; }  // all exceptions masked

#elif defined(__aarch64__)

// FPCR holds control bits only (the flags live in FPSR): rounding mode, FZ, FZ16, DN, AH, FIZ
// and the trap enables.
FpControl current_fp_control() noexcept {
    std::uint64_t fpcr;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
    return {fpcr};
}

void adopt_fp_control(FpControl control) noexcept {
    if (current_fp_control() != control) __asm__ __volatile__("msr fpcr, %0" : : "r"(control.bits));
}

FpControl default_fp_control() noexcept { return {0}; }

#else  // only the rounding mode is portable

FpControl current_fp_control() noexcept {
    return {static_cast<std::uint64_t>(static_cast<unsigned>(std::fegetround()))};
}

void adopt_fp_control(FpControl control) noexcept {
    if (current_fp_control() != control) std::fesetround(static_cast<int>(control.bits));
}

FpControl default_fp_control() noexcept {
    return {static_cast<std::uint64_t>(static_cast<unsigned>(FE_TONEAREST))};
}

#endif

}  // namespace tarnwick::core::platform
