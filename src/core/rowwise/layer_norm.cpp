// Layer normalisation over each row: the result laid out, then the chosen level's loops
// (layer_norm.hpp).
#include <cmath>

#include "core/rowwise/kernels.hpp"
#include "core/rowwise/rowwise.hpp"
#include "core/rowwise/work.hpp"

namespace tarnwick::core {

void rowwise::layer_norm_row(const double* in, double* out, std::size_t cols, std::ptrdiff_t step,
                             double eps) {
    const double n = static_cast<double>(cols);
    double total = -0.0;
    for (std::size_t j = 0; j < cols; ++j) total += at(in, j, step);
    const double mean = total / n;
    double squares = -0.0;
    for (std::size_t j = 0; j < cols; ++j) {
        double d = at(in, j, step) - mean;
        squares += d * d;
    }
    const double sd = std::sqrt(squares / n + eps);
    for (std::size_t j = 0; j < cols; ++j) at(out, j, step) = (at(in, j, step) - mean) / sd;
}

Strided<double, 2> layer_norm_rows(const View2<double>& x, double eps) {
    RowwiseWork work(x);
    if (work.empty()) return std::move(work).finish();
    const std::size_t rows = work.out().rows;
    if (work.by_columns()) {
        Buffer<double> scratch(2 * rows);  // mean and sd of each row
        rowwise::kernels().layer_norm_by_columns(work.source(), work.out(), eps, scratch.data());
    } else {
        // One block's rows transposed, when there are enough rows to fill a block.
        Buffer<double> scratch(rows >= rowwise::kBlockRows ? rowwise::kBlockRows * work.out().cols
                                                           : 0);
        rowwise::kernels().layer_norm_by_rows(work, eps, scratch.data());
    }
    return std::move(work).finish();
}

}  // namespace tarnwick::core
