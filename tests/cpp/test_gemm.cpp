// The GEMM against its contract, bit for bit: every element is fma(a[i][p], b[p][j], c) over p
// ascending from -0.0, for shapes around every tile and block edge and for result layouts that
// Python never hands it (strided, reversed). Exits non-zero on the first mismatch.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "core/numpy_ops/gemm.hpp"

using tarnwick::core::gemm;
using tarnwick::core::MatrixView;

namespace {

std::mt19937_64 rng(11);

// A rows × cols matrix inside a larger buffer, laid out as `layout` says.
template <class T>
struct Laid {
    std::vector<T> storage;
    MatrixView<T> view;
};

enum Layout { kRowMajor, kColumnMajor, kStrided, kReversed, kBroadcastRow, kLayouts };

template <class T>
Laid<T> lay_out(std::size_t rows, std::size_t cols, Layout layout) {
    const auto r = static_cast<std::ptrdiff_t>(rows), c = static_cast<std::ptrdiff_t>(cols);
    Laid<T> m{std::vector<T>(3 * rows * cols + 8, T(7)), {}};
    T* base = m.storage.data();
    switch (layout) {
        case kRowMajor:
            m.view = {base, rows, cols, c, 1};
            break;
        case kColumnMajor:
            m.view = {base, rows, cols, 1, r};
            break;
        case kStrided:  // every other column, rows padded
            m.view = {base, rows, cols, 2 * c + 1, 2};
            break;
        case kReversed:  // last row first, columns backwards
            m.view = {base + (r * c - 1), rows, cols, -c, -1};
            break;
        default:  // one row repeated
            m.view = {base, rows, cols, 0, 1};
            break;
    }
    return m;
}

template <class T>
void fill(const MatrixView<T>& v) {
    std::normal_distribution<double> normal;
    for (std::size_t i = 0; i < v.rows; ++i) {
        for (std::size_t j = 0; j < v.cols; ++j) v(i, j) = static_cast<T>(normal(rng));
    }
}

template <class T>
bool same_bits(T x, T y) {
    return std::memcmp(&x, &y, sizeof(T)) == 0;
}

template <class T>
int check(std::size_t m, std::size_t k, std::size_t n, Layout la, Layout lb, Layout lc) {
    if (lc == kBroadcastRow) return 0;  // a result must not overlap itself
    Laid<T> a = lay_out<T>(m, k, la), b = lay_out<T>(k, n, lb), c = lay_out<T>(m, n, lc);
    fill(a.view);
    fill(b.view);
    gemm(MatrixView<const T>{a.view.data, m, k, a.view.row_step, a.view.col_step},
         MatrixView<const T>{b.view.data, k, n, b.view.row_step, b.view.col_step}, c.view);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            T expected = T(-0.0);
            for (std::size_t p = 0; p < k; ++p)
                expected = std::fma(a.view(i, p), b.view(p, j), expected);
            if (k == 0) expected = T(0);
            if (!same_bits(c.view(i, j), expected)) {
                std::printf("%s %zux%zux%zu layouts %d %d %d: (%zu, %zu) is %.17g, not %.17g\n",
                            sizeof(T) == 8 ? "f64" : "f32", m, k, n, la, lb, lc, i, j,
                            static_cast<double>(c.view(i, j)), static_cast<double>(expected));
                return 1;
            }
        }
    }
    return 0;
}

template <class T>
int sweep() {
    int failures = 0;
    for (std::size_t m : {1, 4, 5, 6, 7, 11, 12, 13, 97}) {
        for (std::size_t k : {0, 1, 3, 129, 256, 257}) {
            for (std::size_t n : {1, 3, 8, 9, 16, 17, 33}) {
                for (int l = 0; l < kLayouts; ++l) {
                    const auto layout = static_cast<Layout>(l);
                    failures += check<T>(m, k, n, layout, kRowMajor, kRowMajor);
                    failures += check<T>(m, k, n, kRowMajor, layout, kRowMajor);
                    failures += check<T>(m, k, n, kColumnMajor, kColumnMajor, layout);
                    if (failures > 5) return failures;
                }
            }
        }
    }
    return failures;
}

}  // namespace

int main() {
    const int failures = sweep<double>() + sweep<float>();
    std::printf("%d mismatching products\n", failures);
    return failures == 0 ? 0 : 1;
}
