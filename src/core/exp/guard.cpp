// The check that a vector variant gives the loaded C library's bits. It runs once, on first use,
// so it probes where a different algorithm or build would show: every binade of both signs,
// the edges of each range the library treats apart, arguments the library rounds the wrong way
// (a correctly rounded library differs there), and a few thousand random values.
#include <math.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <vector>

#include "core/exp/kernels.hpp"

namespace tarnwick::core::exact_exp {

namespace {

// xorshift64: the same probes on every run.
struct Random {
    std::uint64_t state = 0x9e3779b97f4a7c15u;
    std::uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    double uniform(double lo, double hi) {
        return lo + (hi - lo) * (static_cast<double>(next() >> 11) * 0x1p-53);
    }
};

std::vector<double> double_probes() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> p = {
        0.0, -0.0, inf, -inf, nan, -nan, 0x1p-1074, -0x1p-1074, std::numeric_limits<double>::max(),
        -std::numeric_limits<double>::max(),
        // around the tiny, large and overflow thresholds and the subnormal results
        0x1p-54, -0x1p-54, 0x1.fffffffffffffp-55, -0x1.fffffffffffffp-55, 512.0, -512.0,
        0x1.fffffffffffffp+8, -0x1.fffffffffffffp+8, 1024.0, -1024.0, 0x1.62e42fefa39efp+9,
        0x1.62e42fefa39f0p+9, -0x1.6232bdd7abcd2p+9, -0x1.6232bdd7abcd3p+9, -0x1.74910d52d3051p+9,
        -0x1.74910d52d3052p+9, -0x1.74385446d71c3p+9, -745.0, 709.0, -708.0, 1.0, -1.0, 0.5,
        // rounded the wrong way by the library's exp
        0x1.3ddffa2c59188p+0, 0x1.ce7b8d2ae74bp-1, -0x1.e383053604a28p+8, -0x1.f4c07bff0e1c2p+0,
        0x1.89fdb6a1fa20ep+0, 0x1.5fc80d59e1298p-2, -0x1.2e59d3b4cc641p+8, -0x1.427d3c5f81bp+2,
        -0x1.46d678a653569p+8};
    for (int e = -1074; e <= 1023; ++e) {
        for (double f : {1.3125, 1.9999999999999998}) {
            p.push_back(::ldexp(f, e));
            p.push_back(-::ldexp(f, e));
        }
    }
    Random r;
    for (int i = 0; i < 2048; ++i) p.push_back(r.uniform(-746.0, 710.0));
    for (int i = 0; i < 2048; ++i) p.push_back(r.uniform(-2.0, 2.0));
    for (int i = 0; i < 1024; ++i) p.push_back(std::bit_cast<double>(r.next()));
    return p;
}

std::vector<float> float_probes() {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> p = {0.0f, -0.0f, inf, -inf, nan, -nan, 0x1p-149f, -0x1p-149f,
                            std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                            // around the large, overflow, subnormal and underflow thresholds
                            88.0f, -88.0f, 0x1.5ffffep+6f, -0x1.5ffffep+6f, 0x1.62e42ep+6f,
                            0x1.62e430p+6f, -0x1.5d589ep+6f, -0x1.5d58a0p+6f, -0x1.9d1d9ep+6f,
                            -0x1.9fe368p+6f, -0x1.9fe36ap+6f, 1.0f, -1.0f,
                            // rounded the wrong way by the library's expf
                            0x1.bfe9c8p+4f, 0x1.7dbd36p+5f, -0x1.08faacp-5f, 0x1.fcf656p-1f,
                            -0x1.32435ap+5f, 0x1.e086e8p-8f, -0x1.b5091ap+1f, 0x1.557d9p+3f,
                            -0x1.545d6p-8f, -0x1.005a68p+4f, -0x1.48f186p-1f, 0x1.75f77ep-4f};
    for (int e = -149; e <= 127; ++e) {
        for (float f : {1.3125f, 1.99999988f}) {
            p.push_back(::ldexpf(f, e));
            p.push_back(-::ldexpf(f, e));
        }
    }
    Random r;
    for (int i = 0; i < 2048; ++i) p.push_back(static_cast<float>(r.uniform(-105.0, 90.0)));
    for (int i = 0; i < 2048; ++i) p.push_back(static_cast<float>(r.uniform(-2.0, 2.0)));
    for (int i = 0; i < 1024; ++i)
        p.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(r.next())));
    return p;
}

// Equal bits, or both NaN: which NaN a sum of several keeps depends on the order in which the
// compiler puts the operands of an addition, in the library's reference loop as in ours.
template <class T>
bool same_values(const T* a, const T* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (std::memcmp(a + i, b + i, sizeof(T)) != 0 && !(a[i] != a[i] && b[i] != b[i])) {
            return false;
        }
    }
    return true;
}

template <class T>
bool same_values(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && same_values(a.data(), b.data(), a.size());
}

// Runs one map of both variants over the probes and compares, also from an odd start, so that
// each probe sits in two lanes and the rest is padded differently.
template <class T, class Map>
bool same_map(const std::vector<T>& probes, Map candidate, Map reference) {
    std::vector<T> want(probes.size()), got(probes.size());
    reference(probes.data(), want.data(), probes.size());
    for (std::size_t offset : {0, 3}) {
        const std::size_t n = probes.size() - offset;
        candidate(probes.data() + offset, got.data(), n);
        if (!same_values(got.data(), want.data() + offset, n)) return false;
    }
    return true;
}

// Rows summed side by side, a full group and partial ones, over slices of finite values.
bool same_row_group(const std::vector<double>& finite, const Kernels& candidate) {
    const std::size_t n = finite.size() / kRowGroup - 1;
    const double shifts[kRowGroup] = {1.5, 0.0, -3.0, 20.0, -0.5, 2.0, 0.25, 9.0};
    for (std::size_t count : {kRowGroup, kRowGroup - 1, kRowGroup / 2, std::size_t{1}}) {
        std::vector<double> want(kRowGroup * n), got(kRowGroup * n);
        const double* x[kRowGroup];
        double* y_want[kRowGroup];
        double* y_got[kRowGroup];
        double s_want[kRowGroup] = {0.25, -0.0, 1.0, -0.0, 3.0, -0.0, 0.5, -0.0};
        double s_got[kRowGroup] = {0.25, -0.0, 1.0, -0.0, 3.0, -0.0, 0.5, -0.0};
        for (std::size_t r = 0; r < kRowGroup; ++r) {
            x[r] = finite.data() + r * n + r;  // each row from another offset
            y_want[r] = want.data() + r * n;
            y_got[r] = got.data() + r * n;
        }
        portable.exp_shifted_sums(x, shifts, y_want, n, s_want, count);
        candidate.exp_shifted_sums(x, shifts, y_got, n, s_got, count);
        if (!same_values(got, want) || std::memcmp(s_got, s_want, sizeof s_got) != 0) return false;
    }
    return true;
}

bool same_shifted(const std::vector<double>& probes, const Kernels& candidate) {
    const std::size_t n = probes.size();
    std::vector<double> want(n), got(n), m(n), want_s(n, -0.0), got_s(n, -0.0);
    for (double shift : {0.0, -700.0}) {
        const double s_want = portable.exp_shifted_sum(probes.data(), shift, want.data(), n, -0.0);
        const double s_got = candidate.exp_shifted_sum(probes.data(), shift, got.data(), n, -0.0);
        if (!same_values(got, want) || !same_values(&s_got, &s_want, 1)) return false;
    }
    // Finite values only, so that the sum's bits show the order it was added in; from an odd
    // start and onto a sum that is not zero.
    std::vector<double> finite;
    for (double v : probes) {
        if (v > -700.0 && v < 700.0) finite.push_back(v);
    }
    const std::size_t k = finite.size() - 1;
    const double s_want = portable.exp_shifted_sum(finite.data() + 1, 1.5, want.data(), k, 0.25);
    const double s_got = candidate.exp_shifted_sum(finite.data() + 1, 1.5, got.data(), k, 0.25);
    if (!same_values(got.data(), want.data(), k) ||
        std::bit_cast<std::uint64_t>(s_got) != std::bit_cast<std::uint64_t>(s_want)) {
        return false;
    }
    if (!same_row_group(finite, candidate)) return false;
    for (std::size_t i = 0; i < n; ++i) m[i] = probes[(i * 7 + 3) % n];
    portable.exp_shifted_accumulate(probes.data(), m.data(), want.data(), want_s.data(), n);
    candidate.exp_shifted_accumulate(probes.data(), m.data(), got.data(), got_s.data(), n);
    return same_values(got, want) && same_values(got_s, want_s);
}

}  // namespace

bool agrees_with_library(const Kernels& candidate) {
    const std::vector<double> d = double_probes();
    const std::vector<float> f = float_probes();
    return same_map(d, candidate.exp, portable.exp) && same_map(f, candidate.expf, portable.expf) &&
           same_map(d, candidate.sigmoid, portable.sigmoid) &&
           same_map(f, candidate.sigmoidf, portable.sigmoidf) && same_shifted(d, candidate);
}

}  // namespace tarnwick::core::exact_exp
