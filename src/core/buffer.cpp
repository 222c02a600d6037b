// Large result buffers are recycled. A forward pass allocates a result of the same size at
// every step while the previous one is still alive, and frees it a step later. Blocks this
// large come fresh from the system each time (glibc maps them, or trims them off its heap on
// free), so every result paid a page fault per 4 KiB before being written: measured here, that
// doubled the time of a layer norm or a dropout-add inside a pipeline. A few freed blocks are
// kept for the next request of the same size instead.
#include "core/buffer.hpp"

#include <pthread.h>

#include <cstdint>
#include <mutex>

#include "core/platform/memory.hpp"

namespace tarnwick::core {

namespace {

constexpr std::size_t kMinRecycled = std::size_t{128} << 10;  // below this malloc keeps blocks
constexpr std::size_t kMaxHeld = std::size_t{64} << 20;       // memory kept idle at most
constexpr std::size_t kSlots = 8;

struct Block {
    void* data = nullptr;
    std::size_t bytes = 0;
};

// Freed blocks, oldest first. Never destroyed: arrays may be freed during interpreter shutdown.
struct Recycler {
    std::mutex lock;
    Block blocks[kSlots];
    std::size_t count = 0;
    std::size_t held = 0;

    void* take(std::size_t bytes) {
        std::lock_guard guard(lock);
        for (std::size_t i = count; i-- > 0;) {  // newest first: its pages are the warmest
            if (blocks[i].bytes != bytes) continue;
            void* data = blocks[i].data;
            for (std::size_t j = i + 1; j < count; ++j) blocks[j - 1] = blocks[j];
            --count;
            held -= bytes;
            return data;
        }
        return nullptr;
    }

    // Keeps a block, first dropping the oldest ones it displaces into `spill`; returns how
    // many were dropped, for the caller to release outside the lock.
    std::size_t keep(Block block, Block (&spill)[kSlots]) {
        std::lock_guard guard(lock);
        std::size_t spilled = 0;
        while (count > 0 && (count == kSlots || held + block.bytes > kMaxHeld)) {
            spill[spilled++] = blocks[0];
            held -= blocks[0].bytes;
            for (std::size_t j = 1; j < count; ++j) blocks[j - 1] = blocks[j];
            --count;
        }
        blocks[count++] = block;
        held += block.bytes;
        return spilled;
    }
};

Recycler& recycler() {
    static Recycler& r = []() -> Recycler& {
        auto* fresh = new Recycler;
        // A fork's child starts with one thread; whoever held the lock is not in it.
        pthread_atfork(nullptr, nullptr, [] { new (&recycler().lock) std::mutex; });
        return *fresh;
    }();
    return r;
}

void release(void* data) noexcept { ::operator delete(data, std::align_val_t{kBufferAlign}); }

}  // namespace

void* allocate_buffer(std::size_t bytes) {
    if (bytes >= kMinRecycled) {
        if (void* data = recycler().take(bytes)) return data;
    }
    void* data = ::operator new(bytes, std::align_val_t{kBufferAlign});
    platform::advise_huge_pages(data, bytes);  // one page fault per 2 MiB, as NumPy asks too
    return data;
}

void free_buffer(void* data, std::size_t bytes) noexcept {
    if (bytes < kMinRecycled || bytes > kMaxHeld / 2) return release(data);
    Block spill[kSlots];
    const std::size_t spilled = recycler().keep({data, bytes}, spill);
    for (std::size_t i = 0; i < spilled; ++i) release(spill[i].data);
}

}  // namespace tarnwick::core
