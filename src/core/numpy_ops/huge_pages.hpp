// Advice for large buffers that are about to be written for the first time.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace tarnwick::core {

// Backs the 2 MiB-aligned part of [data, data + bytes) with huge pages where the kernel
// allows it: one page fault per 2 MiB instead of 512, which NumPy's own allocator also asks
// for. Only advice; memory that the kernel leaves alone works as before.
inline void advise_huge_pages(void* data, std::size_t bytes) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    if (bytes < 2 * kHuge) return;  // too small to hold an aligned huge page for sure
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t last = (start + bytes) & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace tarnwick::core
