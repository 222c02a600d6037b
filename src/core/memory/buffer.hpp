// Result storage: an aligned allocation that a kernel fills and a result array later adopts.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <new>
#include <utility>

#include "core/errors.hpp"

namespace tarnwick::core {

inline constexpr std::size_t kBufferAlign = 64;  // a cache line; whole vectors never straddle one

// `bytes` of memory aligned to kBufferAlign; throws std::bad_alloc when there is none.
void* allocate_buffer(std::size_t bytes);
// Gives back memory from allocate_buffer (or Buffer::release()) with the size it was asked with.
void free_buffer(void* data, std::size_t bytes) noexcept;

// Elements in `rows * cols`. A result whose count or size in bytes overflows could never be
// allocated, so it fails as any result too large for memory does: std::bad_alloc.
template <class T>
std::size_t checked_count(std::size_t rows, std::size_t cols) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (cols != 0 && rows > limit / cols) throw std::bad_alloc();
    const std::size_t count = rows * cols;
    if (count > limit / sizeof(T)) throw std::bad_alloc();
    return count;
}

// Uninitialised storage for `size` elements. Never null, even when empty, so an array can
// always point at it. Running out of memory throws std::bad_alloc.
template <class T>
class Buffer {
public:
    explicit Buffer(std::size_t size)
        : data_(static_cast<T*>(allocate_buffer(bytes(size)))), size_(size) {}
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~Buffer() {
        if (data_) free_buffer(data_, bytes(size_));
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    // The size of the allocation, as free_buffer() wants it.
    std::size_t byte_size() const noexcept { return bytes(size_); }
    // Hands the memory over; free it with free_buffer(data, byte_size()).
    T* release() noexcept { return std::exchange(data_, nullptr); }

private:
    static std::size_t bytes(std::size_t size) {
        if (size > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(T)) {
            throw std::bad_alloc();
        }
        return size == 0 ? kBufferAlign : size * sizeof(T);
    }
    T* data_;
    std::size_t size_;
};

// A result: its storage plus the shape and element steps it is laid out with. `origin` is where
// element 0 (or (0, 0)) sits in the buffer, which is past the start when a step is negative.
template <class T, std::size_t N>
struct Strided {
    Buffer<T> buffer;
    std::array<std::size_t, N> shape;
    std::array<std::ptrdiff_t, N> steps;
    std::size_t origin = 0;
};

}  // namespace tarnwick::core
