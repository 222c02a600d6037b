"""The matrix product and the dense layer against NumPy (its BLAS on one thread) and PyTorch (one
thread). Our GEMM gives every element the same chain of fused multiply-adds in any batch; the
peers do not, so these cases show what that costs."""

import os

import numpy as np

import tarnwick
from bench import Case, optional_torch

try:
    from threadpoolctl import threadpool_info, threadpool_limits
except ImportError as error:  # the comparison means nothing with NumPy on every core
    raise SystemExit("cases_linear needs threadpoolctl (pip install threadpoolctl)") from error

TORCH = optional_torch()


def _describe_blas():
    for key in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):  # unset: OpenBLAS runs its best kernels
        print(f"   {key}={os.environ.get(key, '(unset)')}")
    for lib in threadpool_info():
        if lib.get("user_api") == "blas":
            print(f"   NumPy's {lib['internal_api']} {lib['version']} core "
                  f"{lib.get('architecture')} threads {lib['num_threads']}")


def _tag(dtype):
    return "f64" if dtype == np.float64 else "f32"


def _matmul_cases(rng):
    for dtype, ours in ((np.float64, tarnwick.matmul_numpy), (np.float32, tarnwick.matmul_numpy_f32)):
        for n in (64, 512, 1024):
            a, b = (rng.standard_normal((n, n)).astype(dtype) for _ in range(2))
            torch_peer = {}
            if TORCH is not None:
                ta, tb = TORCH.from_numpy(a), TORCH.from_numpy(b)
                torch_peer = dict(torch_name="torch a @ b", torch=lambda ta=ta, tb=tb: ta @ tb)
            yield Case(f"matmul {_tag(dtype)} {n}x{n} ({2 * n**3 / 1e9:.3g} GFLOP)",
                       lambda a=a, b=b, f=ours: f(a, b), "a @ b", lambda a=a, b=b: a @ b, 1.05,
                       **torch_peer)


def _layout_cases(rng):
    for dtype, ours in ((np.float64, tarnwick.matmul_numpy), (np.float32, tarnwick.matmul_numpy_f32)):
        for n in (64, 256, 1024):
            a, b = (rng.standard_normal((n, n)).astype(dtype) for _ in range(2))
            big_a, big_b = (rng.standard_normal((2 * n, 3 * n)).astype(dtype) for _ in range(2))
            contiguous = lambda a=a, b=b, f=ours: f(a, b)
            variants = {
                "transposed": (a.T, b.T),
                "sliced [::2, ::3]": (big_a[::2, ::3], big_b[::2, ::3]),
                "reversed rows": (a[::-1], b[::-1]),
            }
            for name, (x, y) in variants.items():
                yield Case(f"matmul {_tag(dtype)} {n}x{n} {name}", lambda x=x, y=y, f=ours: f(x, y),
                           "ours, contiguous", contiguous, 1.3)


def _linear_cases(rng):
    fns = ((np.float64, tarnwick.fused_linear_relu), (np.float32, tarnwick.fused_linear_relu_f32))
    for dtype, ours in fns:
        for batch, width, target in ((256, 1024, 1.0), (1, 64, 0.5), (2, 64, 0.5), (4, 64, 0.5),
                                     (8, 64, 0.5)):
            x = rng.standard_normal((batch, width)).astype(dtype)
            w = rng.standard_normal((width, width)).astype(dtype)
            b = rng.standard_normal(width).astype(dtype)
            torch_peer = {}
            if TORCH is not None:
                tx, tw, tb = (TORCH.from_numpy(v) for v in (x, w, b))
                torch_peer = dict(torch_name="torch.relu(torch.addmm(b, x, w))",
                                  torch=lambda tx=tx, tw=tw, tb=tb: TORCH.relu(TORCH.addmm(tb, tx, tw)))
            yield Case(f"fused_linear_relu {_tag(dtype)} {batch}x{width}->{width}",
                       lambda x=x, w=w, b=b, f=ours: f(x, w, b),
                       "np.maximum(x @ w + b, 0)",
                       lambda x=x, w=w, b=b: np.maximum(x @ w + b, 0), target, **torch_peer)


def cases():
    threadpool_limits(1, user_api="blas")  # stays in force for the whole run
    _describe_blas()
    rng = np.random.default_rng(0)
    yield from _matmul_cases(rng)
    yield from _layout_cases(rng)
    yield from _linear_cases(rng)
