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
    rng = np.random.default_rng(7)
    torch = optional_torch()
    for rows, cols in ((1024, 1024), (128, 768)):
        shape = f"{rows}x{cols}"
        x = rng.standard_normal((rows, cols))
        residual = rng.standard_normal((rows, cols))
        mask = (rng.random((rows, cols)) < 0.9).astype(np.float64)
        scale = 1 / 0.9
        # Softmax runs on the calling thread; torch.softmax meets it on one thread.
        extra = {}
        if torch is not None:
            t = torch.from_numpy(x)
            extra = dict(torch_name="torch.softmax(x, 1)", torch=lambda t=t: torch.softmax(t, 1),
                         torch_target=1.0)
        yield Case(f"fused_softmax {shape}", lambda x=x: tarnwick.fused_softmax(x),
                   "exp(x - max) / sum", lambda x=x: np_softmax(x), 0.5, **extra)
        yield Case(f"fused_layer_norm {shape}", lambda x=x: tarnwick.fused_layer_norm(x, EPS),
                   "(x - mean) / sqrt(var + eps)", lambda x=x: np_layer_norm(x), 0.4)
        yield Case(f"fused_dropout_add {shape}",
                   lambda a=(x, residual, mask): tarnwick.fused_dropout_add(*a, scale),
                   "x * mask * scale + residual",
                   lambda x=x, r=residual, m=mask: x * m * scale + r, 0.5)
        # Other layouts of the same data: Fortran order walks rows in vector lanes.
        xf = np.asfortranarray(x)
        yield Case(f"fused_softmax {shape} Fortran", lambda x=xf: tarnwick.fused_softmax(x),
                   "exp(x - max) / sum", lambda x=xf: np_softmax(x))
        yield Case(f"fused_layer_norm {shape} Fortran",
                   lambda x=xf: tarnwick.fused_layer_norm(x, EPS),
                   "(x - mean) / sqrt(var + eps)", lambda x=xf: np_layer_norm(x))
