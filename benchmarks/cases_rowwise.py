"""The row-wise kernels against the NumPy expressions they replace."""

import numpy as np

import tarnwick
from bench import Case, optional_torch

EPS = 1e-5


def np_softmax(x):
    e = np.exp(x - x.max(1, keepdims=True))
    return e / e.sum(1, keepdims=True)


def np_layer_norm(x):
    m = x.mean(1, keepdims=True)
    v = x.var(1, keepdims=True)
    return (x - m) / np.sqrt(v + EPS)


def cases():
    torch = optional_torch()  # on one thread, as our row-wise kernels run on the calling thread
    rng = np.random.default_rng(7)
    for rows, cols in ((1024, 1024), (128, 768)):
        shape = f"{rows}x{cols}"
        x = rng.standard_normal((rows, cols))
        residual = rng.standard_normal((rows, cols))
        mask = (rng.random((rows, cols)) < 0.9).astype(np.float64)
        scale = 1 / 0.9
        tx, tr, tm = (torch.from_numpy(a) for a in (x, residual, mask)) if torch else (None,) * 3
        yield Case(f"fused_softmax {shape}", lambda x=x: tarnwick.fused_softmax(x),
                   "exp(x - max) / sum", lambda x=x: np_softmax(x), 0.7,
                   **(dict(torch_name="torch.softmax", torch=lambda t=tx: torch.softmax(t, 1))
                      if torch else {}))
        yield Case(f"fused_layer_norm {shape}", lambda x=x: tarnwick.fused_layer_norm(x, EPS),
                   "(x - mean) / sqrt(var + eps)", lambda x=x: np_layer_norm(x), 0.3,
                   **(dict(torch_name="F.layer_norm", torch_target=0.7,
                           torch=lambda t=tx, n=cols: torch.nn.functional.layer_norm(
                               t, (n,), eps=EPS)) if torch else {}))
        yield Case(f"fused_dropout_add {shape}",
                   lambda a=(x, residual, mask): tarnwick.fused_dropout_add(*a, scale),
                   "x * mask * scale + residual",
                   lambda x=x, r=residual, m=mask: x * m * scale + r, 0.55,
                   note="three reads and a write per value; at 128x768 NumPy's three passes "
                   "also run from the cache, which leaves about 0.57x" if rows == 128 else None,
                   **(dict(torch_name="torch", torch=lambda t=(tx, tr, tm): t[0] * t[2] * scale
                           + t[1]) if torch else {}))
        # Other layouts of the same data: Fortran order walks rows in vector lanes.
        xf = np.asfortranarray(x)
        yield Case(f"fused_softmax {shape} Fortran", lambda x=xf: tarnwick.fused_softmax(x),
                   "exp(x - max) / sum", lambda x=xf: np_softmax(x))
        yield Case(f"fused_layer_norm {shape} Fortran",
                   lambda x=xf: tarnwick.fused_layer_norm(x, EPS),
                   "(x - mean) / sqrt(var + eps)", lambda x=xf: np_layer_norm(x))
    # 10^7 values against a plain copy of as many: throughput as a share of a copy's.
    x = rng.standard_normal((10_000, 1_000))
    out = np.empty_like(x)
    copy = lambda x=x, out=out: np.copyto(out, x)
    yield Case("fused_layer_norm 10000x1000 vs copy",
               lambda x=x: tarnwick.fused_layer_norm(x, EPS), "np.copyto (preallocated)", copy)
    r, m = rng.standard_normal(x.shape), np.ones(x.shape)
    yield Case("fused_dropout_add 10000x1000 vs copy",
               lambda a=(x, r, m): tarnwick.fused_dropout_add(*a, 1.1), "np.copyto (preallocated)",
               copy)
