// The result buffer of softmax and layer normalisation and how the kernels reach the argument.
//
// The result is laid out like the argument when the argument is contiguous in some axis order
// (reversed axes included), else in C order. The kernels read the argument through the same
// steps they write the result with, and write every result value before transforming it in
// place, so the copy of the argument is folded into the first pass that writes: the values
// are exactly those of a copy transformed in place, without a separate copying pass.
#pragma once

#include <array>
#include <cstddef>

#include "core/buffer.hpp"
#include "core/numpy_ops/rowwise.hpp"
#include "core/views.hpp"

namespace tarnwick::core {

// Element j of a row whose elements lie `step` apart.
template <class T>
T& at(T* row, std::size_t j, std::ptrdiff_t step) {
    return row[static_cast<std::ptrdiff_t>(j) * step];
}

// A 2-D grid of doubles; steps in elements, signed.
template <class T>
struct Grid {
    T* origin;  // element (0, 0)
    std::size_t rows;
    std::size_t cols;
    std::ptrdiff_t row_step;
    std::ptrdiff_t col_step;

    T* row(std::size_t i) const { return origin + static_cast<std::ptrdiff_t>(i) * row_step; }
    // The lowest address of column j when rows sit side by side (|row_step| == 1).
    T* column_start(std::size_t j) const {
        T* top = origin + static_cast<std::ptrdiff_t>(j) * col_step;
        return row_step < 0 ? top - (rows - 1) : top;
    }
};

class RowwiseWork {
public:
    explicit RowwiseWork(const View2<double>& x);

    bool empty() const { return out_.rows == 0 || out_.cols == 0; }
    const Grid<double>& out() const { return out_; }

    // Rows lie side by side in memory while each row is strided: the kernels then stream
    // whole columns, one row per lane, so memory is read in its own order.
    bool by_columns() const;
    // The argument seen with the result's steps (only when by_columns()).
    Grid<const double> source() const;

    // Row i of the argument, read with the result's column step. An argument whose layout the
    // result does not keep is copied into the result's row first and read from there.
    const double* source_row(std::size_t i) const;

    Strided<double, 2> finish() &&;

private:
    View2<double> x_;
    bool kept_;
    Buffer<double> buffer_;
    Grid<double> out_;
};

}  // namespace tarnwick::core
