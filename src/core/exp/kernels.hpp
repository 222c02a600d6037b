// Exponentials with exactly the C library's bits, many lanes at a time, and the kernels built on
// them. The vector variants evaluate the library's own algorithm (see tables.hpp) and send
// every argument outside its plain range to the library's scalar call; a guard at first use
// compares them with the library and keeps the scalar calls on any difference. A value thus
// never depends on the variant, the vector width or its position in an array.
#pragma once

#include <cstddef>

namespace tarnwick::core::exact_exp {

// Rows whose softmax sums a kernel adds side by side.
inline constexpr std::size_t kRowGroup = 8;

struct Kernels {
    // y[i] = exp(x[i]); y may be x.
    void (*exp)(const double* x, double* y, std::size_t n);
    // y[i] = expf(x[i]); y may be x.
    void (*expf)(const float* x, float* y, std::size_t n);
    // y[i] = 1 / (1 + exp(-x[i])), every step in the argument's width; y may be x.
    void (*sigmoid)(const double* x, double* y, std::size_t n);
    void (*sigmoidf)(const float* x, float* y, std::size_t n);
    // y[i] = exp(x[i] - m); returns s + y[0] + y[1] + ..., added in that order.
    double (*exp_shifted_sum)(const double* x, double m, double* y, std::size_t n, double s);
    // The same for `count` <= kRowGroup rows of n values: row r shifted by m[r] and summed onto
    // s[r]. Each row keeps its own order; the rows' add chains overlap in the processor.
    void (*exp_shifted_sums)(const double* const* x, const double* m, double* const* y,
                             std::size_t n, double* s, std::size_t count);
    // y[i] = exp(x[i] - m[i]) and s[i] += y[i], for lanes that each carry their own row.
    void (*exp_shifted_accumulate)(const double* x, const double* m, double* y, double* s,
                                   std::size_t n);
    const char* name;
};

// The variant for this processor and C library, chosen once through dispatch/, with the guard
// (agrees_with_library) as its acceptance check.
const Kernels& kernels();

// The variants themselves, for the guard and for tools that compare them. The portable one
// makes one library call per value; the others exist where dispatch::kX86Levels is set.
extern const Kernels portable;
namespace avx2 {
extern const Kernels vector;
}
namespace avx512 {
extern const Kernels vector;
}

// Whether `candidate` gives the library's bits on the guard's probes (every binade of both
// signs, the edges of each range, random values), in every kernel.
bool agrees_with_library(const Kernels& candidate);

}  // namespace tarnwick::core::exact_exp
