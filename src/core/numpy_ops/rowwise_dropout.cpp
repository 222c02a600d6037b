// Dropout with a residual add: out = ((x * mask) * scale) + residual, each step rounded on its
// own, written in row-major order into one new C-ordered buffer.
#include "core/errors.hpp"
#include "core/numpy_ops/rowwise.hpp"
#include "core/numpy_ops/rowwise_lanes.hpp"

#pragma GCC diagnostic ignored "-Wpsabi"  // see rowwise_lanes.hpp

namespace tarnwick::core {

namespace {

using lanes::kWidth;

bool same_shape(const View2<double>& a, const View2<double>& b) {
    return a.rows == b.rows && a.cols == b.cols;
}

struct Rows {
    template <class V>
    void operator()(const View2<double>& x, const View2<double>& residual,
                    const View2<double>& mask, const double& scale, double* const& result) const {
        constexpr std::size_t w = kWidth<V>;
        const std::size_t cols = x.cols;
        const V sv = lanes::splat<V>(scale);
        double* out = result;
        for (std::size_t i = 0; i < x.rows; ++i, out += cols) {
            View1<double> a = x.row(i), r = residual.row(i), m = mask.row(i);
            std::size_t j = 0;
            if (a.step == 1 && r.step == 1 && m.step == 1) {
                for (; j + w <= cols; j += w) {
                    V v = lanes::load<V>(a.data + j) * lanes::load<V>(m.data + j);
                    lanes::store(out + j, v * sv + lanes::load<V>(r.data + j));
                }
            }
            for (; j < cols; ++j) out[j] = a[j] * m[j] * scale + r[j];
        }
    }
};

}  // namespace

Strided<double, 2> dropout_add(const View2<double>& x, const View2<double>& residual,
                               const View2<double>& mask, double scale) {
    if (!same_shape(x, residual) || !same_shape(x, mask)) {
        throw ShapeError{"All arrays must have the same shape"};
    }
    Buffer<double> out(checked_count<double>(x.rows, x.cols));
    double* result = out.data();
    lanes::run<Rows>(x, residual, mask, scale, result);
    return {std::move(out), {x.rows, x.cols}, {static_cast<std::ptrdiff_t>(x.cols), 1}};
}

}  // namespace tarnwick::core
