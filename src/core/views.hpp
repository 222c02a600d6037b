// Read-only strided views over memory the kernels do not own. Steps count elements, not bytes,
// and may be negative (a reversed axis) or zero (a broadcast axis).
#pragma once

#include <cstddef>

namespace tarnwick::core {

template <class T>
struct View1 {
    const T* data = nullptr;  // element 0
    std::size_t len = 0;
    std::ptrdiff_t step = 1;

    const T& operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * step]; }
    bool contiguous() const { return step == 1 || len <= 1; }
};

template <class T>
struct View2 {
    const T* data = nullptr;  // element (0, 0)
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_step = 0;
    std::ptrdiff_t col_step = 1;

    const T& operator()(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * row_step +
                    static_cast<std::ptrdiff_t>(j) * col_step];
    }
    View1<T> row(std::size_t i) const {
        return {data + static_cast<std::ptrdiff_t>(i) * row_step, cols, col_step};
    }
};

}  // namespace tarnwick::core
