#include "core/platform/memory.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnwick::core::platform {

#if defined(__linux__) && defined(MADV_HUGEPAGE)

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    if (bytes < 2 * kHuge) return;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t last = (start + bytes) & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

#else  // macOS maps superpages only on request at mmap time; elsewhere there is no advice

void advise_huge_pages(void*, std::size_t) noexcept {}

#endif

}  // namespace tarnwick::core::platform
