#include "core/gemm/scratch.hpp"

#include <atomic>

#include "core/memory/buffer.hpp"

namespace tarnwick::core::gemm_impl {

namespace {

// Fresh pages cost a fault each on first touch, as much as packing them, so the area is kept
// between calls. Never freed: it may be in use while the process shuts down.
struct KeptArea {
    std::atomic<bool> busy{false};
    void* data = nullptr;
    std::size_t bytes = 0;
};

KeptArea& kept() {
    static KeptArea& area = *new KeptArea;
    return area;
}

}  // namespace

Scratch::Scratch(std::size_t bytes) {
    KeptArea& area = kept();
    if (bytes <= kKeptScratchBytes && !area.busy.exchange(true, std::memory_order_acquire)) {
        if (area.bytes < bytes) {
            void* grown;
            try {
                grown = allocate_buffer(bytes);
            } catch (...) {
                area.busy.store(false, std::memory_order_release);
                throw;
            }
            if (area.data) free_buffer(area.data, area.bytes);
            area.data = grown;
            area.bytes = bytes;
        }
        data_ = area.data;
        return;
    }
    data_ = allocate_buffer(bytes);
    fresh_bytes_ = bytes;
}

Scratch::~Scratch() {
    if (fresh_bytes_ != 0) {
        free_buffer(data_, fresh_bytes_);
        return;
    }
    kept().busy.store(false, std::memory_order_release);
}

}  // namespace tarnwick::core::gemm_impl
