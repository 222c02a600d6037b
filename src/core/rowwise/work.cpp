#include "core/rowwise/work.hpp"

#include <cstdlib>
#include <cstring>

namespace tarnwick::core {

namespace {

// Contiguity as NumPy judges it: an axis of extent 1 may have any step, and an empty array is
// contiguous in every order.
bool packed_as(std::size_t outer, std::ptrdiff_t outer_step, std::size_t inner,
               std::ptrdiff_t inner_step) {
    bool inner_ok = inner == 1 || std::abs(inner_step) == 1;
    bool outer_ok = outer == 1 || std::abs(outer_step) == static_cast<std::ptrdiff_t>(inner);
    return inner_ok && outer_ok;
}

bool keeps_layout(const View2<double>& x) {
    if (x.rows == 0 || x.cols == 0) return true;
    return packed_as(x.rows, x.row_step, x.cols, x.col_step) ||
           packed_as(x.cols, x.col_step, x.rows, x.row_step);
}

// How far element (0, 0) lies above the lowest-addressed element.
std::ptrdiff_t origin_offset(std::size_t rows, std::ptrdiff_t row_step, std::size_t cols,
                             std::ptrdiff_t col_step) {
    std::ptrdiff_t offset = 0;
    if (rows > 1 && row_step < 0) offset -= row_step * static_cast<std::ptrdiff_t>(rows - 1);
    if (cols > 1 && col_step < 0) offset -= col_step * static_cast<std::ptrdiff_t>(cols - 1);
    return offset;
}

}  // namespace

RowwiseWork::RowwiseWork(const View2<double>& x)
    : x_(x),
      kept_(keeps_layout(x)),
      buffer_(checked_count<double>(x.rows, x.cols)),
      out_{buffer_.data(), x.rows, x.cols, static_cast<std::ptrdiff_t>(x.cols), 1} {
    if (kept_) {
        out_.row_step = x.row_step;
        out_.col_step = x.col_step;
        if (!empty()) out_.data += origin_offset(x.rows, x.row_step, x.cols, x.col_step);
    }
}

bool RowwiseWork::by_columns() const {
    return (out_.row_step == 1 || out_.row_step == -1) && out_.col_step != 1 && out_.col_step != -1;
}

View2<double> RowwiseWork::source() const {
    return {x_.data, x_.rows, x_.cols, out_.row_step, out_.col_step};
}

const double* RowwiseWork::source_row(std::size_t i) const {
    if (kept_) return x_.data + static_cast<std::ptrdiff_t>(i) * x_.row_step;
    double* out = out_.row_start(i);  // C order: the row is adjacent, left to right
    View1<double> row = x_.row(i);
    if (row.step == 1) {
        std::memcpy(out, row.data, x_.cols * sizeof(double));
    } else {
        for (std::size_t j = 0; j < x_.cols; ++j) out[j] = row[j];
    }
    return out;
}

Strided<double, 2> RowwiseWork::finish() && {
    auto origin = static_cast<std::size_t>(out_.data - buffer_.data());
    return {std::move(buffer_), {out_.rows, out_.cols}, {out_.row_step, out_.col_step}, origin};
}

}  // namespace tarnwick::core
