// Large result buffers are recycled. A forward pass allocates a result of the same size at
// every step while the previous one is still alive, and frees it a step later. Blocks this
// large come fresh from the system each time (glibc maps them, or trims them off its heap on
// free), so every result paid a page fault per 4 KiB before being written: measured here, that
// doubled the time of a layer norm or a dropout-add inside a pipeline. A few freed blocks are
// kept for the next request of the same size instead.
//
// What is kept is bounded (with the products' packing scratch, under 64 MiB in all) and given
// back after a second without reuse, by a thread that lives only while blocks are kept.
#include "core/memory/buffer.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "core/platform/memory.hpp"

namespace tarnwick::core {

namespace {

using Clock = std::chrono::steady_clock;

// Under AddressSanitizer every buffer is its own checked allocation, freed at once, so that an
// overrun or a use after free of a result is reported rather than hidden in a kept block.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr std::size_t kMinRecycled = std::size_t{128} << 10;  // below this malloc keeps blocks
constexpr std::size_t kMaxHeld = std::size_t{56} << 20;       // memory kept idle at most
constexpr std::size_t kMaxKept = std::size_t{48} << 20;       // a result of 6 Mi doubles
constexpr std::size_t kSlots = 8;
constexpr auto kIdle = std::chrono::seconds(1);  // a block not reused for this long goes back

// Large blocks are mapped by us rather than taken from malloc: once glibc has seen such blocks
// come and go it serves them from its heap, which it seldom gives back, so memory freed here
// would stay with the process.
void* fresh(std::size_t bytes) {
    if (kSanitized || bytes < kMinRecycled)
        return ::operator new(bytes, std::align_val_t{kBufferAlign});
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    platform::advise_huge_pages(data, bytes);  // one page fault per 2 MiB, as NumPy asks too
    return data;
}

void release(void* data, std::size_t bytes) noexcept {
    if (kSanitized || bytes < kMinRecycled)
        return ::operator delete(data, std::align_val_t{kBufferAlign});
    munmap(data, bytes);
}

struct Block {
    void* data = nullptr;
    std::size_t bytes = 0;
    Clock::time_point freed{};
};

// Blocks taken out of the cache under the lock, released after it.
struct Spill {
    Block blocks[kSlots + 1];
    std::size_t count = 0;

    void add(const Block& block) noexcept { blocks[count++] = block; }
    ~Spill() {
        for (std::size_t i = 0; i < count; ++i) release(blocks[i].data, blocks[i].bytes);
    }
};

// Freed blocks, oldest first. Never destroyed: arrays may be freed during interpreter shutdown.
struct Recycler {
    std::mutex lock;
    Block blocks[kSlots];
    std::size_t count = 0;
    std::size_t held = 0;
    bool janitor = false;  // runs while any block is kept

    void drop(std::size_t i, Spill& spill) noexcept {
        spill.add(blocks[i]);
        held -= blocks[i].bytes;
        for (std::size_t j = i + 1; j < count; ++j) blocks[j - 1] = blocks[j];
        --count;
    }

    // A kept block of exactly `bytes`, or null; on a miss, the oldest blocks go until a fresh
    // block of that size fits beside the rest within the bound.
    void* take(std::size_t bytes, Spill& spill) {
        std::lock_guard guard(lock);
        for (std::size_t i = count; i-- > 0;) {  // newest first: its pages are the warmest
            if (blocks[i].bytes != bytes) continue;
            void* data = blocks[i].data;
            for (std::size_t j = i + 1; j < count; ++j) blocks[j - 1] = blocks[j];
            --count;
            held -= bytes;
            return data;
        }
        while (count > 0 && held + bytes > kMaxHeld) drop(0, spill);
        return nullptr;
    }

    // Keeps a block, dropping the oldest ones it displaces.
    void keep(Block block, Spill& spill) {
        std::lock_guard guard(lock);
        if (!janitor && !start_janitor()) return spill.add(block);
        while (count > 0 && (count == kSlots || held + block.bytes > kMaxHeld)) drop(0, spill);
        blocks[count++] = block;
        held += block.bytes;
    }

    bool start_janitor() noexcept {
        try {
            std::thread([this] { run_janitor(); }).detach();
        } catch (const std::system_error&) {
            return false;  // no thread, no cache: every block goes straight back
        }
        janitor = true;
        return true;
    }

    // Sleeps until the oldest block has been idle long enough, gives back every block that has,
    // and ends when none is left.
    void run_janitor() {
        for (;;) {
            Clock::time_point wake;
            {
                Spill spill;
                std::lock_guard guard(lock);
                const auto now = Clock::now();
                while (count > 0 && now - blocks[0].freed >= kIdle) drop(0, spill);
                if (count == 0) {
                    janitor = false;
                    return;
                }
                wake = blocks[0].freed + kIdle;
            }  // the spill is released after the lock
            std::this_thread::sleep_until(wake);
        }
    }

    // Forking: the child has no janitor and keeps nothing.
    void before_fork() { lock.lock(); }
    void after_fork_in_parent() { lock.unlock(); }
    void after_fork_in_child() {
        Spill spill;
        while (count > 0) drop(0, spill);
        janitor = false;
        lock.unlock();
    }
};

Recycler& recycler() {
    static Recycler& r = []() -> Recycler& {
        auto* fresh = new Recycler;
        pthread_atfork([] { recycler().before_fork(); }, [] { recycler().after_fork_in_parent(); },
                       [] { recycler().after_fork_in_child(); });
        return *fresh;
    }();
    return r;
}

}  // namespace

void* allocate_buffer(std::size_t bytes) {
    if (!kSanitized && bytes >= kMinRecycled) {
        Spill spill;
        if (void* data = recycler().take(bytes, spill)) return data;
    }
    return fresh(bytes);
}

void free_buffer(void* data, std::size_t bytes) noexcept {
    if (kSanitized || bytes < kMinRecycled || bytes > kMaxKept) return release(data, bytes);
    Spill spill;
    recycler().keep({data, bytes, Clock::now()}, spill);
}

}  // namespace tarnwick::core
