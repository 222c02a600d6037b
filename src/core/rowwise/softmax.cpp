// Softmax over each row: the result laid out, then the chosen level's loops (softmax.hpp).
#include "core/exp/kernels.hpp"
#include "core/rowwise/kernels.hpp"
#include "core/rowwise/rowwise.hpp"
#include "core/rowwise/work.hpp"

namespace tarnwick::core {

namespace {

// Values of a strided row gathered at a time for the vector exponentials.
constexpr std::size_t kGatherBlock = 256;

}  // namespace

double rowwise::exp_shifted_row(const double* in, double* out, std::size_t n, std::ptrdiff_t step,
                                double m, const exact_exp::Kernels& exps) {
    if (step == 1) return exps.exp_shifted_sum(in, m, out, n, -0.0);
    double s = -0.0;
    double block[kGatherBlock];
    for (std::size_t j = 0; j < n; j += kGatherBlock) {
        const std::size_t len = n - j < kGatherBlock ? n - j : kGatherBlock;
        for (std::size_t b = 0; b < len; ++b) block[b] = at(in, j + b, step);
        s = exps.exp_shifted_sum(block, m, block, len, s);
        for (std::size_t b = 0; b < len; ++b) at(out, j + b, step) = block[b];
    }
    return s;
}

Strided<double, 2> softmax_rows(const View2<double>& x) {
    RowwiseWork work(x);
    if (work.empty()) return std::move(work).finish();
    const exact_exp::Kernels& exps = exact_exp::kernels();
    if (work.by_columns()) {
        Buffer<double> scratch(2 * work.out().rows);  // running maximum and sum of each row
        rowwise::kernels().softmax_by_columns(work.source(), work.out(), scratch.data(), exps);
    } else {
        rowwise::kernels().softmax_by_rows(work, exps);
    }
    return std::move(work).finish();
}

}  // namespace tarnwick::core
