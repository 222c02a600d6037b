// A level's row-wise table: softmax.hpp and layer_norm.hpp instantiated with its Target.
#pragma once

#include "core/rowwise/kernels.hpp"
#include "core/rowwise/layer_norm.hpp"
#include "core/rowwise/softmax.hpp"
#include "core/simd/lanes.hpp"

namespace tarnwick::core::rowwise {

template <class Target>
constexpr RowLoops level_kernels() {
    using L = simd::Lanes<Target, double>;
    return {&Softmax<L>::by_rows, &LayerNorm<L>::by_rows, &Softmax<L>::by_columns,
            &LayerNorm<L>::by_columns};
}

}  // namespace tarnwick::core::rowwise
