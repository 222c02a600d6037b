// The one bound on what the core keeps between calls. Two caches hold memory while idle: the
// recycled result blocks (memory/buffer.cpp) and the product's packing area
// (gemm/scratch.cpp). Each takes its limit from here, and their sum is checked here, once.
#pragma once

#include <cstddef>

namespace tarnwick::core {

struct CacheBudget {
    std::size_t total;             // all caches together stay at or below this
    std::size_t recycled_bytes;    // freed result blocks kept for reuse, at most
    std::size_t largest_recycled;  // the largest block kept (a result of 6 Mi doubles)
    std::size_t packing_bytes;     // the product's packing area kept for the process
    // Beside them, outside the total: the latest freed block larger than largest_recycled, up
    // to this size (a result of 64 Mi doubles), and only for the idle second every kept block
    // has. A loop of calls with a result of 10^7 doubles reuses it instead of faulting in 80 MB
    // of fresh pages each time, which took longer than the computation.
    std::size_t large_block;

    constexpr bool holds() const {
        return largest_recycled <= recycled_bytes && recycled_bytes + packing_bytes <= total &&
               large_block > largest_recycled;
    }
};

inline constexpr std::size_t kMiB = std::size_t{1} << 20;
inline constexpr CacheBudget kCacheBudget{64 * kMiB, 56 * kMiB, 48 * kMiB, 4 * kMiB, 512 * kMiB};
static_assert(kCacheBudget.holds(), "the caches' limits exceed their budget");

}  // namespace tarnwick::core
