// Dropout with a residual add: out = ((x * mask) * scale) + residual, each step rounded on its
// own, written in row-major order into one new C-ordered buffer.
#include "core/errors.hpp"
#include "core/numpy_ops/rowwise.hpp"
#include "core/numpy_ops/rowwise_lanes.hpp"

#pragma GCC diagnostic ignored "-Wpsabi"  // see rowwise_lanes.hpp

namespace tarnwick::core {

namespace {

using lanes::V4;

struct Inputs {
    const View2<double>& x;
    const View2<double>& residual;
    const View2<double>& mask;
    double scale;
};

bool same_shape(const View2<double>& a, const View2<double>& b) {
    return a.rows == b.rows && a.cols == b.cols;
}

void dropout_rows(const Inputs& in, double* out) {
    const std::size_t cols = in.x.cols;
    const double scale = in.scale;
    const V4 sv = lanes::splat(scale);
    for (std::size_t i = 0; i < in.x.rows; ++i, out += cols) {
        View1<double> x = in.x.row(i), r = in.residual.row(i), m = in.mask.row(i);
        std::size_t j = 0;
        if (x.step == 1 && r.step == 1 && m.step == 1) {
            for (; j + 4 <= cols; j += 4) {
                V4 v = lanes::load(x.data + j) * lanes::load(m.data + j);
                lanes::store(out + j, v * sv + lanes::load(r.data + j));
            }
        }
        for (; j < cols; ++j) out[j] = x[j] * m[j] * scale + r[j];
    }
}

[[gnu::target("avx2"), gnu::flatten]] void dropout_avx2(const Inputs& in, double* out) {
    dropout_rows(in, out);
}
[[gnu::flatten]] void dropout_baseline(const Inputs& in, double* out) { dropout_rows(in, out); }

}  // namespace

Strided<double, 2> dropout_add(const View2<double>& x, const View2<double>& residual,
                               const View2<double>& mask, double scale) {
    if (!same_shape(x, residual) || !same_shape(x, mask)) {
        throw ShapeError{"All arrays must have the same shape"};
    }
    Buffer<double> out(checked_count<double>(x.rows, x.cols));
    Inputs in{x, residual, mask, scale};
    if (lanes::have_avx2()) dropout_avx2(in, out.data());
    else dropout_baseline(in, out.data());
    return {std::move(out), {x.rows, x.cols}, {static_cast<std::ptrdiff_t>(x.cols), 1}};
}

}  // namespace tarnwick::core
