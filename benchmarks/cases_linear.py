"""The matrix product and the dense layer against NumPy, both on one BLAS thread."""

import os

import numpy as np

import tarnwick
from bench import Case

try:
    from threadpoolctl import threadpool_info, threadpool_limits
except ImportError as error:  # the comparison means nothing with NumPy on every core
    raise SystemExit("cases_linear needs threadpoolctl (pip install threadpoolctl)") from error


def _describe_blas():
    for key in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        print(f"   {key}={os.environ.get(key, '(unset)')}")
    for lib in threadpool_info():
        if lib.get("internal_api") == "openblas":
            owner = "numpy" if "numpy" in lib["filepath"] else "tarnwick"
            print(f"   {owner:<8} OpenBLAS {lib['version']} core {lib['architecture']} "
                  f"threads {lib['num_threads']}")


def _matmul_cases(rng):
    for dtype, ours in ((np.float64, tarnwick.matmul_numpy), (np.float32, tarnwick.matmul_numpy_f32)):
        tag = "f64" if dtype == np.float64 else "f32"
        for n in (64, 256, 512, 1024):
            a, b = (rng.standard_normal((n, n)).astype(dtype) for _ in range(2))
            yield Case(f"matmul {tag} {n}x{n}", lambda a=a, b=b, f=ours: f(a, b),
                       "a @ b", lambda a=a, b=b: a @ b, 1.1)


def _layout_cases(rng):
    for dtype, ours in ((np.float64, tarnwick.matmul_numpy), (np.float32, tarnwick.matmul_numpy_f32)):
        tag = "f64" if dtype == np.float64 else "f32"
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
                yield Case(f"matmul {tag} {n}x{n} {name}", lambda x=x, y=y, f=ours: f(x, y),
                           "ours, contiguous", contiguous, 1.3)


def _linear_cases(rng):
    fns = ((np.float64, tarnwick.fused_linear_relu), (np.float32, tarnwick.fused_linear_relu_f32))
    for dtype, ours in fns:
        tag = "f64" if dtype == np.float64 else "f32"
        for batch, width, target in ((256, 1024, 0.9), (1, 64, 0.5), (2, 64, 0.5), (4, 64, 0.5),
                                     (8, 64, 0.5)):
            x = rng.standard_normal((batch, width)).astype(dtype)
            w = rng.standard_normal((width, width)).astype(dtype)
            b = rng.standard_normal(width).astype(dtype)
            yield Case(f"fused_linear_relu {tag} {batch}x{width}->{width}",
                       lambda x=x, w=w, b=b, f=ours: f(x, w, b),
                       "np.maximum(x @ w + b, 0)",
                       lambda x=x, w=w, b=b: np.maximum(x @ w + b, 0), target)


def cases():
    threadpool_limits(1, user_api="blas")  # stays in force for the whole run
    _describe_blas()
    rng = np.random.default_rng(0)
    yield from _matmul_cases(rng)
    yield from _layout_cases(rng)
    yield from _linear_cases(rng)
