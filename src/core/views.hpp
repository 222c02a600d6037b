// Strided views over memory the kernels do not own. Steps count elements, not bytes,
// and may be negative (a reversed axis) or zero (a broadcast axis).
#pragma once

#include <cstddef>
#include <type_traits>

namespace tarnwick::core {

template <class T>
struct View1 {
    const T* data = nullptr;  // element 0
    std::size_t len = 0;
    std::ptrdiff_t step = 1;

    const T& operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * step]; }
    bool contiguous() const { return step == 1 || len <= 1; }
};

// A 2-D view. E is `const T` for an operand that is only read, `T` for a result being written.
template <class E>
struct MatrixView {
    E* data = nullptr;  // element (0, 0)
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_step = 0;
    std::ptrdiff_t col_step = 1;

    E& operator()(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * row_step +
                    static_cast<std::ptrdiff_t>(j) * col_step];
    }
    View1<std::remove_const_t<E>> row(std::size_t i) const {
        return {data + static_cast<std::ptrdiff_t>(i) * row_step, cols, col_step};
    }
    // The same elements with rows and columns swapped.
    MatrixView transposed() const { return {data, cols, rows, col_step, row_step}; }
};

template <class T>
using View2 = MatrixView<const T>;
template <class T>
using Out2 = MatrixView<T>;

}  // namespace tarnwick::core
