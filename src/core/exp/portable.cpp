// One C library call per value: the reference that every vector variant must equal, and the
// variant used wherever none is built or none passes the guard.
#include <math.h>

#include <cstddef>

#include "core/exp/kernels.hpp"

namespace tarnwick::core::exact_exp {

namespace {

void exp_array(const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = ::exp(x[i]);
}

void expf_array(const float* x, float* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = ::expf(x[i]);
}

void sigmoid_array(const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = 1.0 / (1.0 + ::exp(-x[i]));
}

void sigmoidf_array(const float* x, float* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = 1.0f / (1.0f + ::expf(-x[i]));
}

double exp_shifted_sum(const double* x, double m, double* y, std::size_t n, double s) {
    for (std::size_t i = 0; i < n; ++i) {
        y[i] = ::exp(x[i] - m);
        s += y[i];
    }
    return s;
}

void exp_shifted_sums(const double* const* x, const double* m, double* const* y, std::size_t n,
                      double* s, std::size_t count) {
    for (std::size_t r = 0; r < count; ++r) s[r] = exp_shifted_sum(x[r], m[r], y[r], n, s[r]);
}

void exp_shifted_accumulate(const double* x, const double* m, double* y, double* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        y[i] = ::exp(x[i] - m[i]);
        s[i] += y[i];
    }
}

}  // namespace

constinit const Kernels portable = {
    exp_array,       expf_array,       sigmoid_array,          sigmoidf_array,
    exp_shifted_sum, exp_shifted_sums, exp_shifted_accumulate, "library"};

}  // namespace tarnwick::core::exact_exp
