#include "core/numpy_ops/gemm.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "core/buffer.hpp"
#include "core/numpy_ops/blas.hpp"
#include "core/numpy_ops/gemm_small.hpp"

namespace tarnwick::core {

namespace {

// A layout BLAS reads in place: dense along one axis, `ld` elements between the lines.
struct Layout {
    bool row_major;
    std::ptrdiff_t ld;
};

// One axis at unit step and the other at a positive step that clears it. An axis of extent 1
// is never stepped along, so its step does not matter. BLAS insists on ld >= max(1, extent).
template <class V>
std::optional<Layout> blas_layout(const V& v, std::size_t limit) {
    const auto rows = static_cast<std::ptrdiff_t>(v.rows);
    const auto cols = static_cast<std::ptrdiff_t>(v.cols);
    const auto max_ld = static_cast<std::ptrdiff_t>(limit);
    if ((cols <= 1 || v.col_step == 1) &&
        (rows <= 1 || v.row_step >= std::max(cols, std::ptrdiff_t{1}))) {
        const std::ptrdiff_t ld = rows <= 1 ? std::max(cols, std::ptrdiff_t{1}) : v.row_step;
        if (ld <= max_ld) return Layout{true, ld};
    }
    if ((rows <= 1 || v.row_step == 1) &&
        (cols <= 1 || v.col_step >= std::max(rows, std::ptrdiff_t{1}))) {
        const std::ptrdiff_t ld = cols <= 1 ? std::max(rows, std::ptrdiff_t{1}) : v.col_step;
        if (ld <= max_ld) return Layout{false, ld};
    }
    return std::nullopt;
}

std::size_t element_count(std::size_t rows, std::size_t cols) {
    if (cols != 0 && rows > std::numeric_limits<std::size_t>::max() / cols) throw std::bad_alloc();
    return rows * cols;
}

// A per-thread packing area, kept between calls: fresh pages cost a fault each on first touch,
// which for a few megabytes took as long as the packing itself. Beyond kKeepBytes it is given
// back once the product is done, so one huge call does not pin its memory for good.
template <class T>
class Scratch {
public:
    T* reserve(std::size_t count) {
        if (buffer_.size() < count)
            buffer_ = Buffer<T>(count);  // the old one goes with the temporary
        return buffer_.data();
    }
    // Frees by moving out, which allocates nothing and so cannot throw from a destructor.
    void trim() noexcept {
        if (buffer_.size() * sizeof(T) > kKeepBytes) Buffer<T> drop = std::move(buffer_);
    }

private:
    static constexpr std::size_t kKeepBytes = std::size_t{32} << 20;
    Buffer<T> buffer_{0};  // empty once trimmed; reserve() never hands that out
};

enum Role { kA, kB, kC, kRoles };

template <class T>
thread_local std::array<Scratch<T>, kRoles> t_scratch;

template <class T>
struct TrimScratch {
    ~TrimScratch() {
        for (auto& s : t_scratch<T>) s.trim();
    }
};

// count elements from src at `step` apart into out. Four independent loads per round let the
// core overlap them; the plain loop ran at about half this speed.
template <class T>
void gather(const T* src, std::ptrdiff_t step, std::size_t count, T* out) {
    if (step == 1) {
        std::copy(src, src + count, out);
        return;
    }
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4, src += 4 * step, out += 4) {
        const T x0 = src[0], x1 = src[step], x2 = src[2 * step], x3 = src[3 * step];
        out[0] = x0;
        out[1] = x1;
        out[2] = x2;
        out[3] = x3;
    }
    for (; j < count; ++j, src += step) *out++ = *src;
}

// Copies a view densely, walking the axis with the shorter step innermost so reads stay close.
template <class T>
View2<T> pack(const View2<T>& v, T* dst) {
    const auto rows = static_cast<std::ptrdiff_t>(v.rows);
    const auto cols = static_cast<std::ptrdiff_t>(v.cols);
    if (std::abs(v.col_step) <= std::abs(v.row_step)) {
        for (std::ptrdiff_t i = 0; i < rows; ++i) {
            gather(v.data + i * v.row_step, v.col_step, v.cols, dst + i * cols);
        }
        return {dst, v.rows, v.cols, cols, 1};
    }
    for (std::ptrdiff_t j = 0; j < cols; ++j) {
        gather(v.data + j * v.col_step, v.row_step, v.rows, dst + j * rows);
    }
    return {dst, v.rows, v.cols, 1, rows};
}

template <class V>
V block(const V& v, std::size_t r0, std::size_t rows, std::size_t c0, std::size_t cols) {
    V part = v;
    part.data = v.data + static_cast<std::ptrdiff_t>(r0) * v.row_step +
                static_cast<std::ptrdiff_t>(c0) * v.col_step;
    part.rows = rows;
    part.cols = cols;
    return part;
}

template <class T>
T& at(const Out2<T>& c, std::size_t i, std::size_t j) {
    return c.data[static_cast<std::ptrdiff_t>(i) * c.row_step +
                  static_cast<std::ptrdiff_t>(j) * c.col_step];
}

// The operand as BLAS can take it: in place when it fits, else packed into `role`'s scratch.
template <class T>
std::pair<View2<T>, Layout> readable(const View2<T>& v, Role role, std::size_t limit) {
    if (auto layout = blas_layout(v, limit)) return {v, *layout};
    View2<T> packed = pack(v, t_scratch<T>[role].reserve(element_count(v.rows, v.cols)));
    return {packed, *blas_layout(packed, limit)};
}

// A vector as BLAS takes it: BLAS addresses a negative increment from the far end, and
// refuses a zero one, so a broadcast vector is copied out.
template <class T>
std::pair<const T*, std::ptrdiff_t> blas_vector(const View1<T>& v, Role role) {
    if (v.len <= 1) return {v.data, 1};
    if (v.step > 0) return {v.data, v.step};
    if (v.step < 0) return {v.data + static_cast<std::ptrdiff_t>(v.len - 1) * v.step, v.step};
    T* copy = t_scratch<T>[role].reserve(v.len);
    std::fill(copy, copy + v.len, v[0]);
    return {copy, 1};
}

template <class T>
void product_block(const View2<T>& a, const View2<T>& b, const Out2<T>& c, bool accumulate,
                   std::size_t limit, bool vectors);

// A product with one row or one column is a matrix-vector product; BLAS's gemm pays a
// packing pass that costs more than the arithmetic at that size.
template <class T>
void vector_block(const View2<T>& a, const View2<T>& b, const Out2<T>& c, bool accumulate,
                  std::size_t limit) {
    const bool one_row = c.rows == 1;
    // y = Bᵀ·(row of A) for one row, y = A·(column of B) for one column.
    const View2<T> matrix_in = one_row ? b : a;
    const View1<T> vector = one_row ? a.row(0) : View1<T>{b.data, b.rows, b.row_step};
    const auto [matrix, layout] = readable(matrix_in, one_row ? kB : kA, limit);
    const auto [x, incx] = blas_vector(vector, one_row ? kA : kB);
    if (std::abs(incx) > static_cast<std::ptrdiff_t>(limit)) {
        return product_block(a, b, c, accumulate, limit, /*vectors=*/false);
    }
    const std::size_t len = one_row ? c.cols : c.rows;
    const std::ptrdiff_t incy_in = one_row ? c.col_step : c.row_step;
    const bool direct = len == 1 || (incy_in >= 1 && incy_in <= static_cast<std::ptrdiff_t>(limit));
    T* y = direct ? c.data : t_scratch<T>[kC].reserve(len);
    const std::ptrdiff_t incy = direct && len > 1 ? incy_in : 1;
    const T beta = accumulate && direct ? T(1) : T(0);
    if (beta == T(0)) {
        // BLAS may scale y by beta rather than overwrite it, and y may hold garbage (NaN·0).
        for (std::size_t i = 0; i < len; ++i) y[static_cast<std::ptrdiff_t>(i) * incy] = T(0);
    }
    blas::gemv(layout.row_major ? CblasRowMajor : CblasColMajor,
               one_row ? CblasTrans : CblasNoTrans, static_cast<int>(matrix.rows),
               static_cast<int>(matrix.cols), matrix.data, static_cast<int>(layout.ld), x,
               static_cast<int>(incx), beta, y, static_cast<int>(incy));
    if (direct) return;
    for (std::size_t i = 0; i < len; ++i) {
        T& dst = one_row ? at(c, 0, i) : at(c, i, 0);
        dst = accumulate ? dst + y[i] : y[i];
    }
}

// One BLAS call for a block whose sizes are all within `limit`, all of them non-zero.
// `accumulate` adds to C (a later slice of k) instead of overwriting it.
template <class T>
void product_block(const View2<T>& a_in, const View2<T>& b_in, const Out2<T>& c, bool accumulate,
                   std::size_t limit, bool vectors) {
    if (vectors && (c.rows == 1 || c.cols == 1))
        return vector_block(a_in, b_in, c, accumulate, limit);
    const auto [a, la] = readable(a_in, kA, limit);
    const auto [b, lb] = readable(b_in, kB, limit);
    const auto call = [&](bool c_row_major, T beta, T* dst, std::ptrdiff_t ldc) {
        // In C's own order an operand stored the same way is taken as is, the other transposed.
        const auto trans = [&](const Layout& l) {
            return l.row_major == c_row_major ? CblasNoTrans : CblasTrans;
        };
        blas::gemm(c_row_major ? CblasRowMajor : CblasColMajor, trans(la), trans(lb),
                   static_cast<int>(c.rows), static_cast<int>(c.cols), static_cast<int>(a.cols),
                   a.data, static_cast<int>(la.ld), b.data, static_cast<int>(lb.ld), beta, dst,
                   static_cast<int>(ldc));
    };
    if (auto lc = blas_layout(c, limit)) {
        call(lc->row_major, accumulate ? T(1) : T(0), c.data, lc->ld);
        return;
    }
    // C's layout is beyond BLAS: compute densely, then scatter.
    T* dense = t_scratch<T>[kC].reserve(element_count(c.rows, c.cols));
    call(true, T(0), dense, static_cast<std::ptrdiff_t>(c.cols));
    for (std::size_t i = 0; i < c.rows; ++i) {
        for (std::size_t j = 0; j < c.cols; ++j) {
            const T v = dense[i * c.cols + j];
            at(c, i, j) = accumulate ? at(c, i, j) + v : v;
        }
    }
}

// The same product summed over k backwards: A's columns and B's rows both reversed.
template <class T>
std::pair<View2<T>, View2<T>> reverse_k(const View2<T>& a, const View2<T>& b) {
    const auto last = static_cast<std::ptrdiff_t>(a.cols) - 1;
    return {{a.data + last * a.col_step, a.rows, a.cols, a.row_step, -a.col_step},
            {b.data + last * b.row_step, b.rows, b.cols, -b.row_step, b.col_step}};
}

template <class T>
int readable_in_place(const View2<T>& a, const View2<T>& b, std::size_t limit) {
    return blas_layout(a, limit).has_value() + blas_layout(b, limit).has_value();
}

template <class T>
void product(const View2<T>& a_in, const View2<T>& b_in, const Out2<T>& c, std::size_t limit) {
    const std::size_t m = a_in.rows, k = a_in.cols, n = b_in.cols;
    if (m == 0 || n == 0) return;
    if (k == 0) {  // the empty sum
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j < n; ++j) at(c, i, j) = T(0);
        }
        return;
    }
    limit = std::clamp<std::size_t>(limit, 1, kBlasLimit);
    // Rows of B walked backwards (b[::-1]) spare a copy when k is read the other way round.
    auto [a, b] = reverse_k(a_in, b_in);
    if (readable_in_place(a, b, limit) <= readable_in_place(a_in, b_in, limit)) {
        a = a_in;
        b = b_in;
    }
    if (small_gemm(a, b, c)) return;
    blas::use_one_thread();
    TrimScratch<T> trim;
    for (std::size_t i0 = 0; i0 < m; i0 += limit) {
        const std::size_t mi = std::min(limit, m - i0);
        for (std::size_t j0 = 0; j0 < n; j0 += limit) {
            const std::size_t nj = std::min(limit, n - j0);
            for (std::size_t p0 = 0; p0 < k; p0 += limit) {
                const std::size_t kp = std::min(limit, k - p0);
                product_block(block(a, i0, mi, p0, kp), block(b, p0, kp, j0, nj),
                              block(c, i0, mi, j0, nj), p0 != 0, limit, true);
            }
        }
    }
}

}  // namespace

void gemm(const View2<double>& a, const View2<double>& b, const Out2<double>& c) {
    product(a, b, c, kBlasLimit);
}
void gemm(const View2<float>& a, const View2<float>& b, const Out2<float>& c) {
    product(a, b, c, kBlasLimit);
}
void gemm_blocked(const View2<double>& a, const View2<double>& b, const Out2<double>& c,
                  std::size_t limit) {
    product(a, b, c, limit);
}
void gemm_blocked(const View2<float>& a, const View2<float>& b, const Out2<float>& c,
                  std::size_t limit) {
    product(a, b, c, limit);
}

}  // namespace tarnwick::core
