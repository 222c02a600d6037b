#include "core/elementwise/elementwise.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

#include "core/elementwise/simd.hpp"
#include "core/errors.hpp"
#include "core/exp/kernels.hpp"
#include "core/pool/pool.hpp"

namespace tarnwick::core {

namespace {

// Lengths below which a call stays on the calling thread. Handing pieces to the pool and
// waiting for them costs 3-5 us (more when a worker has gone to sleep), so a piece must save
// about that much: a cheap map gets there at ~256 KiB of input (about 6 us of work alone), a
// sigmoid at a few thousand elements (see sigmoid_grain), and the sums at 64 Ki elements.
template <class T>
constexpr std::size_t kMapGrain = (std::size_t{256} << 10) / sizeof(T);
constexpr std::size_t kSquaresGrain = std::size_t{1} << 16;

// Results at least this large go around the caches: they would not stay there anyway, and a
// store that bypasses them does not first read the line it overwrites.
constexpr std::size_t kStreamBytes = std::size_t{16} << 20;

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

void relu_run(const double* in, double* out, std::size_t n, bool stream) {
    simd::kernels().relu64(in, out, n, stream);
}
void relu_run(const float* in, float* out, std::size_t n, bool stream) {
    simd::kernels().relu32(in, out, n, stream);
}
void scale_run(const double* in, double f, double* out, std::size_t n, bool stream) {
    simd::kernels().scale64(in, f, out, n, stream);
}
void scale_run(const float* in, float f, float* out, std::size_t n, bool stream) {
    simd::kernels().scale32(in, f, out, n, stream);
}
void squares_run(const double* const* leaves, std::size_t len, double* sums, std::size_t ahead) {
    simd::kernels().squares64(leaves, len, sums, ahead);
}
void squares_run(const float* const* leaves, std::size_t len, float* sums, std::size_t ahead) {
    simd::kernels().squares32(leaves, len, sums, ahead);
}

template <class T>
bool streams(View1<T> x) {
    return x.len * sizeof(T) >= kStreamBytes;
}

template <class T>
Buffer<T> relu_map(View1<T> x) {
    auto run = [stream = streams(x)](const T* in, T* out, std::size_t n) {
        relu_run(in, out, n, stream);
    };
    return map(x, kMapGrain<T>, run, [](T v) { return v > T(0) ? v : T(0); });
}

template <class T>
Buffer<T> scale_map(View1<T> x, T factor) {
    auto run = [factor, stream = streams(x)](const T* in, T* out, std::size_t n) {
        scale_run(in, factor, out, n, stream);
    };
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

// The depth of the leaves: the least d with ceil(n / 2^d) <= kSquaresLeaf (n >= 1).
unsigned leaf_depth(std::size_t n) {
    unsigned d = 0;
    while (((n - 1) >> d) + 1 > kSquaresLeaf) ++d;
    return d;
}

// Zeros that stand in for the missing leaves of a short array's only group.
template <class T>
constexpr T kNoLeaf[kSquaresLeaf] = {};

// One leaf: its squares added in index order from -0.0.
template <class T>
T leaf_sum(View1<T> x, std::size_t begin, std::size_t len) {
    T s = T(-0.0);
    for (std::size_t j = 0; j < len; ++j) {
        const T v = x[begin + j];
        s = s + v * v;
    }
    return s;
}

// The sum of [b, e), a node `levels` above the leaves: its 2^levels leaves summed side by
// side, then folded pairwise level by level, as the tree adds them.
template <class T>
T group_sum(View1<T> x, std::size_t b, std::size_t e, unsigned levels) {
    constexpr std::size_t kLeaves = simd::kLeaves;
    std::array<std::size_t, kLeaves> begin{}, len{};
    std::size_t count = 0;
    auto collect = [&](auto& self, std::size_t lo, std::size_t hi, unsigned depth) -> void {
        if (depth == levels) {
            if (count == kLeaves) fault("sum of squares: more leaves than a group holds");
            begin[count] = lo;
            len[count] = hi - lo;
            ++count;
            return;
        }
        const std::size_t mid = lo + (hi - lo) / 2;
        self(self, lo, mid, depth + 1);
        self(self, mid, hi, depth + 1);
    };
    collect(collect, b, e, 0);

    // Leaves at one depth are floor(m / 2^levels) or one longer: the common part runs in
    // lanes, and the longer ones then add their last square.
    std::array<T, kLeaves> sums;
    const std::size_t common = (e - b) >> levels;
    if (x.contiguous()) {
        std::array<const T*, kLeaves> leaves;
        for (std::size_t k = 0; k < kLeaves; ++k) {
            leaves[k] = k < count ? x.data + begin[k] : kNoLeaf<T>;
        }
        // The next group, if any, follows this one and is about as long; prefetching a line
        // past the end of the array is harmless.
        squares_run(leaves.data(), common, sums.data(), e < x.len ? e - b : 0);
        for (std::size_t k = 0; k < count; ++k) {
            if (len[k] > common) {
                const T v = x.data[begin[k] + common];
                sums[k] = sums[k] + v * v;
            }
        }
    } else {
        for (std::size_t k = 0; k < count; ++k) sums[k] = leaf_sum(x, begin[k], len[k]);
    }
    for (std::size_t width = count; width > 1; width /= 2) {
        for (std::size_t i = 0; i < width / 2; ++i) {
            sums[i] = static_cast<T>(sums[2 * i] + sums[2 * i + 1]);
        }
    }
    return sums[0];
}

template <class T>
T squares(View1<T> x) {
    // A short array is a single leaf; one plain chain costs less than a group of lanes.
    if (x.len <= kSquaresLeaf) return leaf_sum(x, 0, x.len);
    // Groups are the nodes log2(kLeaves) levels above the leaves (or the root). Every node
    // above them is longer than any of them, so tree_reduce, which splits whatever is longer
    // than its leaf argument, splits exactly down to the groups.
    constexpr unsigned kGroupLevels = std::countr_zero(simd::kLeaves);
    const unsigned depth = leaf_depth(x.len);
    const unsigned group_depth = depth > kGroupLevels ? depth - kGroupLevels : 0;
    const std::size_t group = ((x.len - 1) >> group_depth) + 1;
    const unsigned levels = depth - group_depth;
    return tree_reduce<T>(x.len, group, kSquaresGrain, [x, levels](std::size_t b, std::size_t e) {
        return group_sum(x, b, e, levels);
    });
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
