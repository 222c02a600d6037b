// Packing memory for the product: one area kept for the process, bounded, or a fresh one
// when that is in use (by another thread, or another interpreter).
#pragma once

#include <cstddef>

namespace tarnwick::core::gemm_impl {

// The most the kept area grows to; larger requests are served fresh and freed after the call.
inline constexpr std::size_t kKeptScratchBytes = std::size_t{4} << 20;

// At least `bytes` of 64-byte aligned memory for one call; throws std::bad_alloc.
class Scratch {
public:
    explicit Scratch(std::size_t bytes);
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    void* data() const noexcept { return data_; }

private:
    void* data_ = nullptr;
    std::size_t fresh_bytes_ = 0;  // non-zero: our own allocation, not the kept area
};

}  // namespace tarnwick::core::gemm_impl
