#include "core/numpy_ops/rowwise_copy.hpp"

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
std::ptrdiff_t origin_offset(const View2<double>& x) {
    std::ptrdiff_t offset = 0;
    if (x.rows > 1 && x.row_step < 0) offset -= x.row_step * static_cast<std::ptrdiff_t>(x.rows - 1);
    if (x.cols > 1 && x.col_step < 0) offset -= x.col_step * static_cast<std::ptrdiff_t>(x.cols - 1);
    return offset;
}

}  // namespace

WorkingCopy::WorkingCopy(const View2<double>& x)
    : buffer_(checked_count<double>(x.rows, x.cols)),
      grid_{buffer_.data(), x.rows, x.cols, static_cast<std::ptrdiff_t>(x.cols), 1} {
    if (empty()) {
        if (keeps_layout(x)) grid_.row_step = x.row_step, grid_.col_step = x.col_step;
        return;
    }
    if (keeps_layout(x)) {
        // One block of memory: a single copy, and the same steps over it.
        std::ptrdiff_t offset = origin_offset(x);
        std::memcpy(buffer_.data(), x.data - offset, buffer_.size() * sizeof(double));
        grid_.origin = buffer_.data() + offset;
        grid_.row_step = x.row_step;
        grid_.col_step = x.col_step;
        return;
    }
    double* out = buffer_.data();
    for (std::size_t i = 0; i < x.rows; ++i, out += x.cols) {
        View1<double> row = x.row(i);
        if (row.step == 1) {
            std::memcpy(out, row.data, x.cols * sizeof(double));
        } else {
            for (std::size_t j = 0; j < x.cols; ++j) out[j] = row[j];
        }
    }
}

LaidOutLike WorkingCopy::finish() && {
    std::array<std::size_t, 2> shape{grid_.rows, grid_.cols};
    std::array<std::ptrdiff_t, 2> steps{std::abs(grid_.row_step), std::abs(grid_.col_step)};
    std::array<bool, 2> reversed{grid_.row_step < 0, grid_.col_step < 0};
    return {Strided<double, 2>{std::move(buffer_), shape, steps}, reversed};
}

}  // namespace tarnwick::core
