"""A small transformer-style block, forward pass, in tarnwick and in NumPy side by side.

    dense layer + ReLU -> layer norm -> dropout + residual add -> dense layer -> softmax
"""

import time
from importlib.metadata import PackageNotFoundError, version

import numpy as np

import tarnwick

EPS = 1e-5


def forward_tarnwick(x, w1, b1, w2, b2, mask, scale):
    h = tarnwick.fused_linear_relu(x, w1, b1)
    h = tarnwick.fused_layer_norm(h, EPS)
    h = tarnwick.fused_dropout_add(h, x, mask, scale)
    return tarnwick.fused_softmax(tarnwick.fused_linear(h, w2, b2))


def forward_numpy(x, w1, b1, w2, b2, mask, scale):
    h = np.maximum(x @ w1 + b1, 0.0)
    m = h.mean(1, keepdims=True)
    h = (h - m) / np.sqrt(h.var(1, keepdims=True) + EPS)
    h = h * mask * scale + x
    z = h @ w2 + b2
    e = np.exp(z - z.max(1, keepdims=True))
    return e / e.sum(1, keepdims=True)


def best_of(fn, args, repeats=30):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn(*args)
        best = min(best, time.perf_counter() - start)
    return best


def installed_version():
    try:
        return version("tarnwick")
    except PackageNotFoundError:  # imported from a build tree, not installed
        return "(not installed)"


def main():
    print(f"tarnwick {installed_version()}: {len(tarnwick.__all__)} functions")
    rng = np.random.default_rng(0)
    batch, width, classes, keep = 128, 768, 64, 0.9
    x = rng.standard_normal((batch, width))
    w1 = rng.standard_normal((width, width)) / np.sqrt(width)
    b1 = rng.standard_normal(width) * 0.1
    w2 = rng.standard_normal((width, classes)) / np.sqrt(width)
    b2 = rng.standard_normal(classes) * 0.1
    mask = (rng.random((batch, width)) < keep).astype(np.float64)
    args = (x, w1, b1, w2, b2, mask, 1.0 / keep)

    ours, theirs = forward_tarnwick(*args), forward_numpy(*args)
    print(f"output shape {ours.shape}, rows sum to 1: {np.allclose(ours.sum(1), 1.0)}")
    print(f"largest difference from NumPy: {np.max(np.abs(ours - theirs)):.3e}")
    t_ours, t_numpy = best_of(forward_tarnwick, args), best_of(forward_numpy, args)
    print(f"forward pass: tarnwick {t_ours * 1e3:.3f} ms, NumPy {t_numpy * 1e3:.3f} ms, "
          f"speed-up {t_numpy / t_ours:.2f}x")
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return
    # tarnwick's matrix products run on the calling thread alone; so does NumPy's BLAS here.
    with threadpool_limits(1):
        t_numpy = best_of(forward_numpy, args)
    print(f"  against NumPy with its BLAS on one thread: NumPy {t_numpy * 1e3:.3f} ms, "
          f"speed-up {t_numpy / t_ours:.2f}x")


if __name__ == "__main__":
    main()
