"""Representative calls of every function, with their results' digests printed as JSON.

Run as a script in a fresh interpreter: by the CPU-level test, and by CI on other architectures.
"""

import hashlib
import json

import numpy as np
import tarnwick

rng = np.random.default_rng(20240613)
SPECIAL = [0.0, -0.0, np.nan, np.inf, -np.inf, 5e-324, -2.2e-308, 1e300, -1e300, 710.0, -745.0,
           88.7, -103.9, 3.4e38, -3.4e38, 1e-45]


def vector(n, dtype, scale=4.0):
    v = rng.standard_normal(n) * scale
    v[: len(SPECIAL)] = SPECIAL[:n]
    rng.shuffle(v)
    with np.errstate(over="ignore"):  # float32 takes the largest values as infinities
        return v.astype(dtype)


def matrix(rows, cols, dtype=np.float64):
    return (rng.standard_normal((rows, cols)) * 2.0).astype(dtype)


def digest(value):
    """The result's type, shape and bits (lists of floats as their float64 array)."""
    kind = type(value).__name__
    data = value if isinstance(value, np.ndarray) else np.array(value, dtype=np.float64)
    head = f"{kind} {data.dtype} {data.shape} ".encode()
    return hashlib.sha256(head + data.tobytes()).hexdigest()


def run(call):
    try:
        return digest(call())
    except BaseException as exc:  # noqa: BLE001 - a failure must be the same at every level
        return f"{type(exc).__name__}: {exc}"


# Lengths: one below a vector, odd tails, and past the pool's parallel threshold.
LENGTHS = [3, 37, 1001, 70_001]
calls = {}
for n in LENGTHS:
    for dtype, suffix in [(np.float64, ""), (np.float32, "_f32")]:
        v = vector(n, dtype)
        calls[f"relu_numpy{suffix}/{n}"] = lambda f=getattr(tarnwick, "relu_numpy" + suffix), v=v: f(v)
        calls[f"sigmoid_numpy{suffix}/{n}"] = lambda f=getattr(tarnwick, "sigmoid_numpy" + suffix), v=v: f(v)
        calls[f"parallel_map_numpy{suffix}/{n}"] = (
            lambda f=getattr(tarnwick, "parallel_map_numpy" + suffix), v=v: f(v, -1.37))
        calls[f"sum_of_squares_numpy{suffix}/{n}"] = (
            lambda f=getattr(tarnwick, "sum_of_squares_numpy" + suffix), v=v: f(v))
        finite = vector(n, dtype, scale=1.0)
        finite[~np.isfinite(finite)] = 0.5
        calls[f"sum_of_squares_numpy{suffix}/finite/{n}"] = (
            lambda f=getattr(tarnwick, "sum_of_squares_numpy" + suffix), v=finite: f(v))
    numbers = [float(x) for x in vector(n, np.float64, scale=1.0) if np.isfinite(x) and abs(x) < 1e100]
    calls[f"sum_of_squares/{n}"] = lambda v=numbers: tarnwick.sum_of_squares(v)
    calls[f"parallel_transform/{n}"] = lambda v=numbers: tarnwick.parallel_transform(v, 0.7)
calls["sum_of_squares/overflow"] = lambda: tarnwick.sum_of_squares([1e200, 1e200])

# Products: a few rows (the small kernel), odd shapes, and operands that must be packed first.
SHAPES = [(1, 5, 3), (2, 64, 130), (3, 33, 17), (53, 71, 38), (130, 96, 70)]
for m, k, n in SHAPES:
    for dtype, suffix in [(np.float64, ""), (np.float32, "_f32")]:
        a, b, bias = matrix(m, k, dtype), matrix(k, n, dtype), matrix(1, n, dtype)[0]
        bt = np.asfortranarray(b)
        calls[f"matmul_numpy{suffix}/{m}x{k}x{n}"] = (
            lambda f=getattr(tarnwick, "matmul_numpy" + suffix), a=a, b=b: f(a, b))
        calls[f"matmul_numpy{suffix}/packed/{m}x{k}x{n}"] = (
            lambda f=getattr(tarnwick, "matmul_numpy" + suffix), a=a[:, ::-1], b=bt: f(a, b))
        for name in ["fused_linear", "fused_linear_relu"]:
            calls[f"{name}{suffix}/{m}x{k}x{n}"] = (
                lambda f=getattr(tarnwick, name + suffix), a=a, b=b, c=bias: f(a, b, c))
            calls[f"{name}{suffix}/packed/{m}x{k}x{n}"] = (
                lambda f=getattr(tarnwick, name + suffix), a=a[::-1], b=bt, c=bias: f(a, b, c))
    la, lb = matrix(min(m, 9), k).tolist(), matrix(k, min(n, 7)).tolist()
    calls[f"matrix_multiply/{m}x{k}x{n}"] = lambda a=la, b=lb: tarnwick.matrix_multiply(a, b)

# Row-wise kernels: rows shorter than a vector, odd widths, extreme and non-finite values.
for rows, cols in [(1, 1), (5, 3), (17, 37), (33, 257), (4, 4099)]:
    x = matrix(rows, cols) * 30.0
    x.flat[:: max(cols // 3, 1)] = 700.0
    y = x.copy()
    y.flat[1::5] = -np.inf
    y[0, 0] = np.nan
    residual = matrix(rows, cols)
    mask = (rng.random((rows, cols)) > 0.3).astype(np.float64)
    calls[f"fused_softmax/{rows}x{cols}"] = lambda x=x: tarnwick.fused_softmax(x)
    calls[f"fused_softmax/nonfinite/{rows}x{cols}"] = lambda x=y: tarnwick.fused_softmax(x)
    calls[f"fused_layer_norm/{rows}x{cols}"] = lambda x=x: tarnwick.fused_layer_norm(x, 1e-5)
    calls[f"fused_layer_norm/strided/{rows}x{cols}"] = (
        lambda x=np.asfortranarray(x): tarnwick.fused_layer_norm(x, 1e-3))
    calls[f"fused_dropout_add/{rows}x{cols}"] = (
        lambda x=x, r=residual, m=mask: tarnwick.fused_dropout_add(x, r, m, 1.0 / 0.7))

print(json.dumps({name: run(call) for name, call in calls.items()}))
