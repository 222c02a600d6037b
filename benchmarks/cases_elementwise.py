"""The element-wise array functions against the NumPy expressions they replace.

Also prints each map's throughput against a plain copy into a preallocated array, and how
sigmoid scales from one pool thread to two (each count in its own interpreter, since the
pool reads RAYON_NUM_THREADS once).
"""

import os
import subprocess
import sys
import textwrap

import numpy as np

import tarnwick
from bench import Case, optional_torch

SMALL, MEDIUM, LARGE = 16, 100_000, 10_000_000


def _functions(suffix):
    t = tarnwick
    return (getattr(t, "relu_numpy" + suffix), getattr(t, "sigmoid_numpy" + suffix),
            getattr(t, "parallel_map_numpy" + suffix), getattr(t, "sum_of_squares_numpy" + suffix))


def _sigmoid_cases(dtype, suffix):
    """Against NumPy and torch.sigmoid on as many threads as our pool. Both peers use their own
    inexact exponentials; ours has the C library's bits."""
    sigmoid = _functions(suffix)[1]
    torch = optional_torch()
    rng = np.random.default_rng(0)
    tag = "f64" if dtype == np.float64 else "f32"
    for n, target, torch_target in ((SMALL, 0.5, None), (MEDIUM, 0.4, 1.0), (LARGE, 0.5, 0.5)):
        x = rng.standard_normal(n).astype(dtype)
        extra = {}
        if torch is not None:
            t = torch.from_numpy(x)
            extra = dict(torch_name="torch.sigmoid", torch=lambda t=t: torch.sigmoid(t),
                         torch_target=torch_target, pooled=True)
        yield Case(f"sigmoid {tag} n={n}", lambda x=x: sigmoid(x), "1/(1+np.exp(-x))",
                   lambda x=x: 1 / (1 + np.exp(-x)), target, **extra)


def _per_dtype(dtype, suffix):
    relu, sigmoid, scale, squares = _functions(suffix)
    rng = np.random.default_rng(0)
    tag = "f64" if dtype == np.float64 else "f32"
    yield from _sigmoid_cases(dtype, suffix)
    for n in (SMALL, LARGE):
        x = rng.standard_normal(n).astype(dtype)
        big = n == LARGE
        yield Case(f"relu {tag} n={n}", lambda x=x: relu(x), "np.maximum(x, 0)",
                   lambda x=x: np.maximum(x, 0), 0.8 if big else 0.5)
        yield Case(f"scale {tag} n={n}", lambda x=x: scale(x, 1.5), "x * f",
                   lambda x=x: x * 1.5, 0.8 if big else 0.5)
        if big:
            yield Case(f"sum_of_squares {tag} n={n}", lambda x=x: squares(x), "np.sum(x*x)",
                       lambda x=x: np.sum(x * x), 0.5)
        yield Case(f"sum_of_squares {tag} n={n}", lambda x=x: squares(x), "np.dot(x, x)",
                   lambda x=x: np.dot(x, x), None if big else 0.5)
        if big:
            # Throughput as a share of a copy's: ratio <= 1/0.7 means at least 70%.
            out = np.empty_like(x)
            copy = lambda x=x, out=out: np.copyto(out, x)
            for name, fn in (("relu", lambda x=x: relu(x)), ("scale", lambda x=x: scale(x, 1.5))):
                yield Case(f"{name} {tag} n={n} vs copy", fn, "np.copyto (preallocated)", copy,
                           1 / 0.7)
            # Bound by the exponential rather than by memory: shown, not judged.
            yield Case(f"sigmoid {tag} n={n} vs copy", lambda x=x: sigmoid(x),
                       "np.copyto (preallocated)", copy)


_SCALING = """
    import statistics, time
    import numpy as np
    import tarnwick
    fn = getattr(tarnwick, "sigmoid_numpy" + {suffix!r})
    x = np.random.default_rng(0).standard_normal({n}).astype({dtype!r})
    fn(x)
    times = []
    for _ in range(15):
        start = time.perf_counter()
        fn(x)
        times.append(time.perf_counter() - start)
    print(statistics.median(times))
"""


def _sigmoid_scaling(dtype, suffix, rounds=3):
    """Best median seconds of sigmoid on LARGE elements with 1 and with 2 pool threads.

    The two counts take turns, so a burst of other load on the machine hits both alike.
    """
    code = textwrap.dedent(_SCALING.format(suffix=suffix, n=LARGE, dtype=np.dtype(dtype).name))
    best = {"1": float("inf"), "2": float("inf")}
    for _ in range(rounds):
        for threads in best:
            env = dict(os.environ, RAYON_NUM_THREADS=threads)
            proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                                  text=True, check=True)
            best[threads] = min(best[threads], float(proc.stdout))
    one, two = best["1"], best["2"]
    tag = "f64" if dtype == np.float64 else "f32"
    verdict = "ok" if one / two >= 1.6 else "MISSED"
    print(f"sigmoid {tag} n={LARGE} threads 1 -> 2: {one * 1e3:.1f} ms -> {two * 1e3:.1f} ms, "
          f"speed-up {one / two:.2f}x  (target >= 1.6: {verdict})", flush=True)


def cases():
    for dtype, suffix in ((np.float64, ""), (np.float32, "_f32")):
        yield from _per_dtype(dtype, suffix)
    for dtype, suffix in ((np.float64, ""), (np.float32, "_f32")):
        _sigmoid_scaling(dtype, suffix)
