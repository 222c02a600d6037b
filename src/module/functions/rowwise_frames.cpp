// Frames of the row-wise transformer kernels: softmax, layer normalisation, dropout-add.
#include "core/elementwise/elementwise.hpp"
#include "core/rowwise/rowwise.hpp"
#include "module/arrays.hpp"
#include "module/convert.hpp"
#include "module/functions/functions.hpp"

namespace tarnwick::py {

namespace {

constexpr Signature kFusedDropoutAdd{"fused_dropout_add", "x", "residual", "dropout_mask", "scale"};
constexpr Signature kFusedLayerNorm{"fused_layer_norm", "x", "eps"};
constexpr Signature kFusedSoftmax{"fused_softmax", "x"};

Ref fused_dropout_add(const Slots<4>& args) {
    auto x = accept<double, 2>(args[0], "x");
    auto residual = accept<double, 2>(args[1], "residual");
    auto mask = accept<double, 2>(args[2], "dropout_mask");
    double scale = to_double(args[3], "scale");
    return to_ndarray(core::dropout_add(x.view(), residual.view(), mask.view(), scale));
}

Ref fused_layer_norm(const Slots<2>& args) {
    auto x = accept<double, 2>(args[0], "x");
    double eps = to_double(args[1], "eps");
    return to_ndarray(core::layer_norm_rows(x.view(), eps));
}

Ref fused_softmax(const Slots<1>& args) {
    auto x = accept<double, 2>(args[0], "x");
    return to_ndarray(core::softmax_rows(x.view()));
}

}  // namespace

const Function kFusedDropoutAddFn = function<kFusedDropoutAdd, fused_dropout_add>(
    "FUSED OPERATION: Dropout + Add (for Transformer layers)\n\nApplies dropout mask and adds "
    "residual connection in one pass.\nCritical for modern NLP models (BERT, GPT, etc.)");

const Function kFusedLayerNormFn = function<kFusedLayerNorm, fused_layer_norm>(
    "FUSED OPERATION: Layer Normalization (for Transformers)\n\nNormalizes across features: (x - "
    "mean) / sqrt(var + eps)\nEssential for modern deep learning architectures.");

const Function kFusedSoftmaxFn = function<kFusedSoftmax, fused_softmax>(
    "FUSED OPERATION: Softmax activation\n\nNumerically stable softmax: exp(x - max(x)) / "
    "sum(exp(x - max(x)))");

}  // namespace tarnwick::py
