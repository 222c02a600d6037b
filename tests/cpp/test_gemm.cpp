// The GEMM against its contract, bit for bit: every element is fma(a[i][p], b[p][j], c) over p
// ascending from -0.0, for shapes around every tile and block edge and for result layouts that
// Python never hands it (strided, reversed). The tiles of this processor's level run, and then
// each level's tile geometry with lanes emulated, so an AVX-512 layout of the blocks is tried
// on any processor. Exits non-zero after the first few mismatches.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "core/gemm/gemm.hpp"
#include "core/gemm/kernel.hpp"

using tarnwick::core::MatrixView;
namespace gemm_impl = tarnwick::core::gemm_impl;

namespace {

// W lanes in an array, each through std::fma: a stand-in for a vector register of any width.
template <class E, std::size_t W>
struct Emulated {
    using T = E;
    struct V {
        T lane[W];
    };
    static constexpr std::size_t kWidth = W;
    static V splat(T x) {
        V v;
        for (T& l : v.lane) l = x;
        return v;
    }
    static V load(const T* p) {
        V v;
        for (std::size_t i = 0; i < W; ++i) v.lane[i] = p[i];
        return v;
    }
    static void store(T* p, V v) {
        for (std::size_t i = 0; i < W; ++i) p[i] = v.lane[i];
    }
    static V fma(V x, V y, V acc) {
        for (std::size_t i = 0; i < W; ++i)
            acc.lane[i] = std::fma(x.lane[i], y.lane[i], acc.lane[i]);
        return acc;
    }
};

// The tiles under test; null: this processor's.
const gemm_impl::Tiles<double>* g_f64 = nullptr;
const gemm_impl::Tiles<float>* g_f32 = nullptr;

template <class T>
void gemm(const MatrixView<const T>& a, const MatrixView<const T>& b, const MatrixView<T>& c) {
    const gemm_impl::Tiles<T>* tiles;
    if constexpr (sizeof(T) == 8)
        tiles = g_f64;
    else
        tiles = g_f32;
    if (tiles == nullptr)
        tarnwick::core::gemm(a, b, c);
    else
        gemm_impl::gemm_with(*tiles, a, b, c);
}

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
        for (std::size_t k : {0, 1, 3, 129, 257}) {
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

// Portable, AVX2 and AVX-512 geometries: tile rows and vectors, lanes per vector.
constexpr auto kPortableF64 = gemm_impl::make_tiles<Emulated<double, 1>, 4, 4>();
constexpr auto kPortableF32 = gemm_impl::make_tiles<Emulated<float, 1>, 4, 4>();
constexpr auto kAvx2F64 = gemm_impl::make_tiles<Emulated<double, 4>, 6, 2>();
constexpr auto kAvx2F32 = gemm_impl::make_tiles<Emulated<float, 8>, 6, 2>();
constexpr auto kAvx512F64 = gemm_impl::make_tiles<Emulated<double, 8>, 12, 2>();
constexpr auto kAvx512F32 = gemm_impl::make_tiles<Emulated<float, 16>, 12, 2>();

}  // namespace

// With "emulated", each level's geometry; otherwise this processor's tiles.
int main(int argc, char** argv) {
    int failures = 0;
    if (argc > 1 && std::strcmp(argv[1], "emulated") == 0) {
        const gemm_impl::Tiles<double>* f64[] = {&kPortableF64, &kAvx2F64, &kAvx512F64};
        const gemm_impl::Tiles<float>* f32[] = {&kPortableF32, &kAvx2F32, &kAvx512F32};
        for (int level = 0; level < 3 && failures == 0; ++level) {
            g_f64 = f64[level];
            g_f32 = f32[level];
            failures += sweep<double>() + sweep<float>();
        }
    } else {
        failures = sweep<double>() + sweep<float>();
    }
    std::printf("%d mismatching products\n", failures);
    return failures == 0 ? 0 : 1;
}
