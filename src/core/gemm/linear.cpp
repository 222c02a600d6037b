#include "core/gemm/linear.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/errors.hpp"
#include "core/gemm/gemm.hpp"

namespace tarnwick::core {

namespace {

enum class Order { RowMajor, ColumnMajor };

// Uninitialised m×n storage: the product step overwrites every element. An empty result has
// both steps 0, as NumPy gives empty arrays.
template <class T>
Strided<T, 2> product_buffer(std::size_t m, std::size_t n, Order order) {
    Buffer<T> buffer(checked_count<T>(m, n));
    std::array<std::ptrdiff_t, 2> steps{0, 0};
    if (m != 0 && n != 0) {
        steps = order == Order::ColumnMajor
                    ? std::array<std::ptrdiff_t, 2>{1, static_cast<std::ptrdiff_t>(m)}
                    : std::array<std::ptrdiff_t, 2>{static_cast<std::ptrdiff_t>(n), 1};
    }
    return {std::move(buffer), {m, n}, steps};
}

template <class T>
Out2<T> out(Strided<T, 2>& c) {
    return {c.buffer.data(), c.shape[0], c.shape[1], c.steps[0], c.steps[1]};
}

template <class T>
Strided<T, 2> multiply(const View2<T>& a, const View2<T>& b, Order order) {
    Strided<T, 2> c = product_buffer<T>(a.rows, b.cols, order);
    gemm(a, b, out(c));
    return c;
}

template <class T>
ShapedOperand shaped(std::string_view name, const View2<T>& m) {
    return {name, 2, {m.rows, m.cols}};
}

template <class T>
ShapedOperand shaped(std::string_view name, const View1<T>& v) {
    return {name, 1, {v.len, 0}};
}

template <class T>
void check_inner(const char* message, std::string_view a_name, const View2<T>& a,
                 std::string_view b_name, const View2<T>& b) {
    if (a.cols != b.rows) {
        throw ShapeError{
            message, ShapeRule::InnerDimensions, {shaped(a_name, a), shaped(b_name, b)}};
    }
}

template <class T>
void check_layer(const View2<T>& input, const View2<T>& weights, const View1<T>& bias) {
    check_inner("Input and weights dimensions don't match", "input", input, "weights", weights);
    if (weights.cols != bias.len) {
        throw ShapeError{"Weights and bias dimensions don't match",
                         ShapeRule::BiasLength,
                         {shaped("weights", weights), shaped("bias", bias)}};
    }
}

// Ordered compare, so NaN and -0.0 both become +0.0.
template <class T, Activation A>
T biased(T p, T b) {
    const T v = p + b;
    if constexpr (A == Activation::Relu)
        return v > T(0) ? v : T(0);
    else
        return v;
}

// Bias and activation in one pass over the product, in its storage order.
template <class T, Activation A>
void bias_pass(Strided<T, 2>& c, const View1<T>& bias, Order order) {
    const std::size_t m = c.shape[0], n = c.shape[1];
    if (m == 0 || n == 0) return;
    T* data = c.buffer.data();
    if (order == Order::ColumnMajor) {
        for (std::size_t j = 0; j < n; ++j) {
            const T b = bias[j];
            T* col = data + j * m;
            for (std::size_t i = 0; i < m; ++i) col[i] = biased<T, A>(col[i], b);
        }
        return;
    }
    // Rows want the bias dense; a strided one is gathered once (n values, not m·n).
    std::optional<Buffer<T>> gathered;
    const T* b = bias.data;
    if (!bias.contiguous()) {
        gathered.emplace(n);
        for (std::size_t j = 0; j < n; ++j) (*gathered)[j] = bias[j];
        b = gathered->data();
    }
    for (std::size_t i = 0; i < m; ++i) {
        T* row = data + i * n;
        for (std::size_t j = 0; j < n; ++j) row[j] = biased<T, A>(row[j], b[j]);
    }
}

template <class T>
Strided<T, 2> layer(const View2<T>& input, const View2<T>& weights, const View1<T>& bias,
                    Activation activation, Order order) {
    check_layer(input, weights, bias);
    Strided<T, 2> c = multiply(input, weights, order);
    if (activation == Activation::Relu)
        bias_pass<T, Activation::Relu>(c, bias, order);
    else
        bias_pass<T, Activation::None>(c, bias, order);
    return c;
}

}  // namespace

Strided<double, 2> matmul(const View2<double>& a, const View2<double>& b) {
    if (a.cols != b.rows) {
        const std::string message = "Matrix dimensions don't match: (" + std::to_string(a.rows) +
                                    ", " + std::to_string(a.cols) + ") @ (" +
                                    std::to_string(b.rows) + ", " + std::to_string(b.cols) + ")";
        check_inner(message.c_str(), "a", a, "b", b);
    }
    return multiply(a, b, Order::RowMajor);
}

Strided<float, 2> matmul(const View2<float>& a, const View2<float>& b) {
    check_inner("Matrix dimensions don't match", "a", a, "b", b);
    return multiply(a, b, Order::RowMajor);
}

template <class T>
Strided<T, 2> linear(const View2<T>& input, const View2<T>& weights, const View1<T>& bias,
                     Activation activation) {
    // Fortran-ordered (or transposed) operands read best into a column-major product.
    const bool columns = input.row_step == 1 && weights.row_step == 1;
    return layer(input, weights, bias, activation, columns ? Order::ColumnMajor : Order::RowMajor);
}

template <class T>
Buffer<T> linear_flat(const View2<T>& input, const View2<T>& weights, const View1<T>& bias,
                      Activation activation) {
    // A row-major product already is the flattened result, so no copy is needed.
    return layer(input, weights, bias, activation, Order::RowMajor).buffer;
}

template Strided<double, 2> linear(const View2<double>&, const View2<double>&, const View1<double>&,
                                   Activation);
template Strided<float, 2> linear(const View2<float>&, const View2<float>&, const View1<float>&,
                                  Activation);
template Buffer<double> linear_flat(const View2<double>&, const View2<double>&,
                                    const View1<double>&, Activation);
template Buffer<float> linear_flat(const View2<float>&, const View2<float>&, const View1<float>&,
                                   Activation);

}  // namespace tarnwick::core
