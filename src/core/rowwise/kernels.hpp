// The row-wise kernels' vector loops, built once per CPU level from softmax.hpp and
// layer_norm.hpp and chosen once through dispatch/; the entry points (softmax.cpp,
// layer_norm.cpp) set up the result and run the chosen level's loops. Every lane operation is
// the IEEE operation of its scalar form, so results never depend on the level.
#pragma once

#include <cstddef>

#include "core/exp/kernels.hpp"
#include "core/rowwise/work.hpp"
#include "core/views.hpp"

namespace tarnwick::core::rowwise {

struct RowLoops {
    // Rows one after another (RowwiseWork::by_columns() false).
    void (*softmax_by_rows)(const RowwiseWork& work, const exact_exp::Kernels& exps);
    void (*layer_norm_by_rows)(const RowwiseWork& work, double eps, double* scratch);
    // Rows side by side in memory (by_columns() true); scratch holds two values per row.
    void (*softmax_by_columns)(const View2<double>& in, const Out2<double>& out, double* scratch,
                               const exact_exp::Kernels& exps);
    void (*layer_norm_by_columns)(const View2<double>& in, const Out2<double>& out, double eps,
                                  double* scratch);
};

// Rows of layer normalisation transformed as one block: one row per lane of each level's
// vectors, and a whole number of vectors at every level.
inline constexpr std::size_t kBlockRows = 8;

// Layer norm's results at least this large are stored around the caches where the level can:
// no line of the result is read before it is overwritten, and the argument keeps more of the
// cache (measured 40% faster at 1024 x 1024; softmax, bound by its exponentials, gained
// nothing).
inline constexpr std::size_t kStreamBytes = std::size_t{4} << 20;

// The loops of the level the CPU layer allows, chosen on first use.
const RowLoops& kernels();

// Each level's loops, in kernels.cpp (baseline) and kernels_avx2.cpp. AVX-512 runs the AVX2
// loops: built with eight lanes, layer normalisation of C-ordered rows measured 10-15% slower
// (a block's eight rows then make one add chain, not two) and softmax no faster.
namespace baseline {
extern const RowLoops table;
}
namespace avx2 {
extern const RowLoops table;
}

// The scalar steps for rows of any step, shared by every level.
// exp(v - m) of each value into `out`, whose row has the same step; returns their sum in
// column order from -0.0.
double exp_shifted_row(const double* in, double* out, std::size_t n, std::ptrdiff_t step, double m,
                       const exact_exp::Kernels& exps);
// (v - mean) / sd of one row, with its statistics.
void layer_norm_row(const double* in, double* out, std::size_t cols, std::ptrdiff_t step,
                    double eps);

}  // namespace tarnwick::core::rowwise
