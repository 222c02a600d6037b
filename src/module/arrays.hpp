// NumPy arrays in and out. Arguments are read in place through a strided view; results adopt
// the kernel's buffer without a copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "core/memory/buffer.hpp"
#include "core/views.hpp"
#include "module/ref.hpp"

namespace tarnwick::py {

enum class DType { Float32, Float64 };

template <class T>
inline constexpr DType dtype_of = std::is_same_v<T, float> ? DType::Float32 : DType::Float64;

// An array argument's geometry as NumPy describes it: data address, shape and byte strides.
struct RawArray {
    const char* data;
    std::array<std::size_t, 2> shape;
    std::array<std::ptrdiff_t, 2> strides;
};

// Checks type, dimensions and dtype; a refusal is the argument error naming `param`.
void check_array(PyObject* obj, const char* param, DType dtype, int ndim);
// Checks `obj` again and reads its geometry.
RawArray read_array(PyObject* obj, const char* param, DType dtype, int ndim);

// A new array over the buffer `data`, which it takes over on every path: freed with
// core::free_buffer when the last array using it goes away, or at once if the array cannot be
// made. Element 0 lies `origin` elements into the buffer.
Ref adopt(void* data, std::size_t bytes, DType dtype, int ndim, const std::size_t* shape,
          const std::ptrdiff_t* steps, std::size_t origin = 0);

template <class T, std::size_t N>
using ViewOf = std::conditional_t<N == 1, core::View1<T>, core::View2<T>>;

// An array argument held for the rest of the call: the reference, and, for the rare array
// whose strides or address don't suit element access, an aligned C-ordered copy.
//
// The geometry is read at the first view(), which frames take only once every argument is
// converted: converting a later argument can run Python code (a __float__) that resizes or
// reshapes this array, freeing the memory it had when it was accepted.
template <class T, std::size_t N>
class ArrayArg {
public:
    ArrayArg(PyObject* obj, const char* param) : array_(Ref::borrow(obj)), param_(param) {
        check_array(obj, param, dtype_of<T>, static_cast<int>(N));
    }

    const ViewOf<T, N>& view() {
        if (!view_) build(read_array(array_.get(), param_, dtype_of<T>, static_cast<int>(N)));
        return *view_;
    }

private:
    static ViewOf<T, N> make_view(const T* data, const std::array<std::size_t, 2>& shape,
                                  const std::array<std::ptrdiff_t, N>& steps) {
        if constexpr (N == 1)
            return {data, shape[0], steps[0]};
        else
            return {data, shape[0], shape[1], steps[0], steps[1]};
    }

    void build(const RawArray& raw) {
        bool fits = reinterpret_cast<std::uintptr_t>(raw.data) % alignof(T) == 0;
        std::array<std::ptrdiff_t, N> steps{};
        for (std::size_t d = 0; d < N; ++d) {
            if (raw.strides[d] % static_cast<std::ptrdiff_t>(sizeof(T)) == 0) {
                steps[d] = raw.strides[d] / static_cast<std::ptrdiff_t>(sizeof(T));
            } else if (raw.shape[d] > 1) {
                fits = false;
            }  // an axis of extent 0 or 1 is never stepped along: its stride does not matter
        }
        if (fits) {
            view_ = make_view(reinterpret_cast<const T*>(raw.data), raw.shape, steps);
        } else {
            copy_unaligned(raw);
        }
    }

    // Reads element by element with memcpy, which is safe at any address.
    void copy_unaligned(const RawArray& raw) {
        std::size_t rows = N == 1 ? 1 : raw.shape[0];
        std::size_t cols = raw.shape[N - 1];
        std::ptrdiff_t row_stride = N == 1 ? 0 : raw.strides[0];
        copy_.emplace(rows * cols);
        T* out = copy_->data();
        for (std::size_t i = 0; i < rows; ++i) {
            const char* row = raw.data + static_cast<std::ptrdiff_t>(i) * row_stride;
            for (std::size_t j = 0; j < cols; ++j) {
                std::memcpy(out++, row + static_cast<std::ptrdiff_t>(j) * raw.strides[N - 1],
                            sizeof(T));
            }
        }
        std::array<std::ptrdiff_t, N> steps{};
        steps[N - 1] = 1;
        if constexpr (N == 2) steps[0] = static_cast<std::ptrdiff_t>(cols);
        view_ = make_view(copy_->data(), raw.shape, steps);
    }

    Ref array_;
    const char* param_;
    std::optional<core::Buffer<T>> copy_;
    std::optional<ViewOf<T, N>> view_;
};

template <class T, std::size_t N>
ArrayArg<T, N> accept(PyObject* obj, const char* param) {
    return ArrayArg<T, N>(obj, param);
}

// The result array takes over the buffer with its shape and steps.
template <class T, std::size_t N>
Ref to_ndarray(core::Strided<T, N>&& result) {
    const std::size_t bytes = result.buffer.byte_size();
    return adopt(result.buffer.release(), bytes, dtype_of<T>, static_cast<int>(N),
                 result.shape.data(), result.steps.data(), result.origin);
}

// A contiguous 1-D result.
template <class T>
Ref to_ndarray(core::Buffer<T>&& buffer) {
    std::size_t size = buffer.size();
    return to_ndarray(core::Strided<T, 1>{std::move(buffer), {size}, {1}});
}

}  // namespace tarnwick::py
