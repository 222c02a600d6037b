// The working buffer of softmax and layer normalisation: one copy of the argument, transformed
// in place and then handed over as the result's storage.
#pragma once

#include <array>
#include <cstddef>

#include "core/buffer.hpp"
#include "core/numpy_ops/rowwise.hpp"
#include "core/views.hpp"

namespace tarnwick::core {

// A writable 2-D grid over the working buffer; steps in elements, signed.
struct Grid {
    double* origin;  // element (0, 0)
    std::size_t rows;
    std::size_t cols;
    std::ptrdiff_t row_step;
    std::ptrdiff_t col_step;

    double* row(std::size_t i) const { return origin + static_cast<std::ptrdiff_t>(i) * row_step; }
};

class WorkingCopy {
public:
    // Copies `x` keeping its layout when it is contiguous in some axis order (reversed axes
    // included), else into C order.
    explicit WorkingCopy(const View2<double>& x);

    const Grid& grid() const { return grid_; }
    bool empty() const { return grid_.rows == 0 || grid_.cols == 0; }

    // Hands the buffer over as the result.
    LaidOutLike finish() &&;

private:
    Buffer<double> buffer_;
    Grid grid_;
};

}  // namespace tarnwick::core
