#include "core/numpy_ops/elementwise.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>

#include "core/errors.hpp"
#include "core/exp/kernels.hpp"
#include "core/numpy_ops/elementwise_simd.hpp"
#include "core/pool.hpp"

namespace tarnwick::core {

namespace {

// Lengths below which a call stays on the calling thread. Handing pieces to the pool and
// waiting for them costs 3-5 us (more when a worker has gone to sleep), so a piece must save
// about that much: a cheap map gets there at ~256 KiB of input (about 6 us of work alone), a
// sigmoid at a few thousand elements (see sigmoid_grain), and the sums (0.15-0.2 ns per
// element once eight leaves run side by side) at 64 Ki elements.
template <class T>
constexpr std::size_t kMapGrain = (std::size_t{256} << 10) / sizeof(T);
constexpr std::size_t kSquaresGrain = std::size_t{1} << 16;

// Leaves summed side by side, in vector lanes where the processor has them, so that their
// independent add chains overlap in the pipeline.
constexpr std::size_t kGroup = 8;

// Fills a new buffer with f(x[i]); contiguous pieces go to the vector loop `run`.
template <class T, class Run, class One>
Buffer<T> map(View1<T> x, std::size_t grain, Run run, One one) {
    Buffer<T> out(x.len);
    T* y = out.data();
    parallel_for(x.len, grain, [&](std::size_t begin, std::size_t end) {
        if (x.contiguous()) {
            run(x.data + begin, y + begin, end - begin);
        } else {
            for (std::size_t i = begin; i < end; ++i) y[i] = one(x[i]);
        }
    });
    return out;
}

template <class T>
Buffer<T> relu_map(View1<T> x) {
    auto run = [](const T* in, T* out, std::size_t n) { simd::relu(in, out, n); };
    return map(x, kMapGrain<T>, run, [](T v) { return v > T(0) ? v : T(0); });
}

template <class T>
Buffer<T> scale_map(View1<T> x, T factor) {
    auto run = [factor](const T* in, T* out, std::size_t n) { simd::scale(in, factor, out, n); };
    return map(x, kMapGrain<T>, run, [factor](T v) { return v * factor; });
}

// A library call per element costs about 6 ns (exp) or 3.5 ns (expf); the exact vector
// exponentials about a fifth of that, so their pieces must be longer to pay for the hand-over.
template <class T>
std::size_t sigmoid_grain(const exact_exp::Kernels& k) {
    const bool vector = &k != &exact_exp::portable;
    if constexpr (sizeof(T) == sizeof(double)) return vector ? 8192 : 2048;
    return vector ? 16384 : 4096;
}

void sigmoid_block(const exact_exp::Kernels& k, const double* in, double* out, std::size_t n) {
    k.sigmoid(in, out, n);
}
void sigmoid_block(const exact_exp::Kernels& k, const float* in, float* out, std::size_t n) {
    k.sigmoidf(in, out, n);
}

template <class T>
Buffer<T> sigmoid_map(View1<T> x) {
    const exact_exp::Kernels& k = exact_exp::kernels();
    Buffer<T> out(x.len);
    T* y = out.data();
    parallel_for(x.len, sigmoid_grain<T>(k), [&](std::size_t begin, std::size_t end) {
        if (x.contiguous()) return sigmoid_block(k, x.data + begin, y + begin, end - begin);
        // A strided piece is gathered into its place in the result and transformed there.
        for (std::size_t i = begin; i < end; ++i) y[i] = x[i];
        sigmoid_block(k, y + begin, y + begin, end - begin);
    });
    return out;
}

// K leaves summed in lock step over their common length, then each tail on its own; every
// leaf still adds its own squares in ascending order from -0.0.
template <class T, std::size_t K, bool Unit>
void sum_leaves(const T* data, std::ptrdiff_t step, const std::size_t* begin,
                const std::size_t* len, T* out) {
    const T* p[K];
    T s[K];
    std::size_t common = len[0];
    for (std::size_t k = 0; k < K; ++k) {
        p[k] = data + static_cast<std::ptrdiff_t>(begin[k]) * step;
        s[k] = T(-0.0);
        common = std::min(common, len[k]);
    }
    auto at = [step](const T* q, std::size_t i) -> T {
        if constexpr (Unit)
            return q[i];
        else
            return q[static_cast<std::ptrdiff_t>(i) * step];
    };
    std::size_t i = 0;
    if constexpr (Unit && K == 8) i = simd::sum_squares8(p, common, s);  // a full group
    for (; i < common; ++i) {
#pragma GCC unroll 8
        for (std::size_t k = 0; k < K; ++k) {
            const T v = at(p[k], i);
            s[k] = s[k] + v * v;
        }
    }
    for (std::size_t k = 0; k < K; ++k) {
        for (std::size_t i = common; i < len[k]; ++i) {
            const T v = at(p[k], i);
            s[k] = s[k] + v * v;
        }
        out[k] = s[k];
    }
}

template <class T, bool Unit, std::size_t... K>
void sum_leaves_any(std::size_t count, const T* data, std::ptrdiff_t step, const std::size_t* begin,
                    const std::size_t* len, T* out, std::index_sequence<K...>) {
    ((count == K + 1 ? sum_leaves<T, K + 1, Unit>(data, step, begin, len, out) : void()), ...);
}

// The sum of [b, e), at most kGroup leaves long, by the same tree as a leaf-by-leaf walk.
template <class T>
T group_sum(View1<T> x, std::size_t b, std::size_t e) {
    std::array<std::size_t, kGroup> begin{}, len{};
    std::size_t count = 0;
    auto collect = [&](auto& self, std::size_t lo, std::size_t hi) -> void {
        if (hi - lo <= kSquaresLeaf) {
            if (count == kGroup) fault("sum of squares: more leaves than a group holds");
            begin[count] = lo;
            len[count] = hi - lo;
            ++count;
            return;
        }
        const std::size_t mid = lo + (hi - lo) / 2;
        self(self, lo, mid);
        self(self, mid, hi);
    };
    collect(collect, b, e);

    std::array<T, kGroup> sums{};
    constexpr auto all = std::make_index_sequence<kGroup>{};
    if (x.contiguous()) {
        sum_leaves_any<T, true>(count, x.data, 1, begin.data(), len.data(), sums.data(), all);
    } else {
        sum_leaves_any<T, false>(count, x.data, x.step, begin.data(), len.data(), sums.data(), all);
    }

    std::size_t next = 0;
    auto combine = [&](auto& self, std::size_t lo, std::size_t hi) -> T {
        if (hi - lo <= kSquaresLeaf) return sums[next++];
        const std::size_t mid = lo + (hi - lo) / 2;
        const T left = self(self, lo, mid);
        const T right = self(self, mid, hi);
        return static_cast<T>(left + right);
    };
    return combine(combine, b, e);
}

template <class T>
T squares(View1<T> x) {
    // tree_reduce splits exactly as the leaf-sized tree does above kGroup leaves, and each
    // node it hands over is split the rest of the way by group_sum.
    static_assert((kGroup & (kGroup - 1)) == 0, "a group must hold every leaf of its node");
    return tree_reduce<T>(x.len, kSquaresLeaf * kGroup, kSquaresGrain,
                          [x](std::size_t b, std::size_t e) { return group_sum(x, b, e); });
}

}  // namespace

Buffer<double> relu(View1<double> x) { return relu_map(x); }
Buffer<float> relu(View1<float> x) { return relu_map(x); }

Buffer<double> sigmoid(View1<double> x) { return sigmoid_map(x); }
Buffer<float> sigmoid(View1<float> x) { return sigmoid_map(x); }

Buffer<double> scale(View1<double> x, double factor) { return scale_map(x, factor); }
Buffer<float> scale(View1<float> x, float factor) { return scale_map(x, factor); }

double sum_of_squares(View1<double> x) { return squares(x); }
float sum_of_squares(View1<float> x) { return squares(x); }

}  // namespace tarnwick::core
