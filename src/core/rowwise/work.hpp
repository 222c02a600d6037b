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

#include "core/memory/buffer.hpp"
#include "core/rowwise/rowwise.hpp"
#include "core/views.hpp"

namespace tarnwick::core {

// Element j of a row whose elements lie `step` apart.
template <class T>
T& at(T* row, std::size_t j, std::ptrdiff_t step) {
    return row[static_cast<std::ptrdiff_t>(j) * step];
}

// The lowest address of column j when rows sit side by side (|row_step| == 1).
template <class E>
E* column_start(const MatrixView<E>& m, std::size_t j) {
    E* top = m.data + static_cast<std::ptrdiff_t>(j) * m.col_step;
    return m.row_step < 0 ? top - (m.rows - 1) : top;
}

class RowwiseWork {
public:
    explicit RowwiseWork(const View2<double>& x);

    bool empty() const { return out_.rows == 0 || out_.cols == 0; }
    const Out2<double>& out() const { return out_; }

    // Rows lie side by side in memory while each row is strided: the kernels then stream
    // whole columns, one row per lane, so memory is read in its own order.
    bool by_columns() const;
    // The argument seen with the result's steps (only when by_columns()).
    View2<double> source() const;

    // Row i of the argument, read with the result's column step. An argument whose layout the
    // result does not keep is copied into the result's row first and read from there.
    const double* source_row(std::size_t i) const;

    Strided<double, 2> finish() &&;

private:
    View2<double> x_;
    bool kept_;
    Buffer<double> buffer_;
    Out2<double> out_;
};

}  // namespace tarnwick::core
