// Dropout with a residual add: out = ((x * mask) * scale) + residual, each step rounded on its
// own, written in row-major order into one new C-ordered buffer.
#include "core/elementwise/elementwise.hpp"
#include "core/elementwise/simd.hpp"
#include "core/errors.hpp"

namespace tarnwick::core {

namespace {

// Results at least this large go around the caches: the three arguments then keep more of
// the cache for the next call, and no line of the result is read before it is overwritten.
constexpr std::size_t kStreamBytes = std::size_t{4} << 20;

bool same_shape(const View2<double>& a, const View2<double>& b) {
    return a.rows == b.rows && a.cols == b.cols;
}

bool c_ordered(const View2<double>& a) {
    return (a.col_step == 1 || a.cols <= 1) &&
           (a.row_step == static_cast<std::ptrdiff_t>(a.cols) || a.rows <= 1);
}

}  // namespace

Strided<double, 2> dropout_add(const View2<double>& x, const View2<double>& residual,
                               const View2<double>& mask, double scale) {
    if (!same_shape(x, residual) || !same_shape(x, mask)) {
        auto shaped = [](std::string_view name, const View2<double>& a) {
            return ShapedOperand{name, 2, {a.rows, a.cols}};
        };
        throw ShapeError{
            "All arrays must have the same shape",
            ShapeRule::SameShape,
            {shaped("x", x), shaped("residual", residual), shaped("dropout_mask", mask)}};
    }
    const std::size_t count = checked_count<double>(x.rows, x.cols);
    Buffer<double> out(count);
    double* result = out.data();
    const auto& kernels = simd::kernels();
    const bool stream = count * sizeof(double) >= kStreamBytes;
    if (c_ordered(x) && c_ordered(residual) && c_ordered(mask)) {
        // One run over all values: row-major order is memory order for all four.
        if (count > 0)
            kernels.dropout_add(x.data, mask.data, residual.data, scale, result, count, stream);
    } else {
        for (std::size_t i = 0; i < x.rows; ++i) {
            double* row = result + i * x.cols;
            View1<double> a = x.row(i), r = residual.row(i), m = mask.row(i);
            if (a.contiguous() && r.contiguous() && m.contiguous()) {
                kernels.dropout_add(a.data, m.data, r.data, scale, row, x.cols, false);
            } else {
                for (std::size_t j = 0; j < x.cols; ++j) row[j] = a[j] * m[j] * scale + r[j];
            }
        }
    }
    return {std::move(out), {x.rows, x.cols}, {static_cast<std::ptrdiff_t>(x.cols), 1}};
}

}  // namespace tarnwick::core
