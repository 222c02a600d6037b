"""Every pooled function (parallel_transform and the eight element-wise kernels) on inputs past
the parallel thresholds, each called several times; prints JSON: the digests of each function's
results in call order, and the pool's workers running at the end.

Run as a script in a fresh interpreter (the pool and the floating-point mode are per process):
    pooled_calls.py [--mode nearest|upward|downward|towardzero|ftz] [--repeat N]
                    [--thread-budget N]
--mode sets the calling thread's floating-point mode after the inputs are made and the pool
has started; --thread-budget
tells a preloaded pthread_create shim (see test_pool_limits.py) how many more threads it lets
start, before the first call.
"""

import argparse
import ctypes
import ctypes.util
import hashlib
import json
import os
import platform

import numpy as np
import tarnwick

# fesetround's argument per architecture (glibc's FE_* values).
ROUNDING = {
    "x86_64": {"nearest": 0, "downward": 0x400, "upward": 0x800, "towardzero": 0xC00},
    "aarch64": {"nearest": 0, "upward": 0x400000, "downward": 0x800000, "towardzero": 0xC00000},
}


def set_mode(mode):
    """The calling thread's rounding mode, or flush-to-zero with denormals-are-zero ("ftz")."""
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    machine = platform.machine()
    if mode != "ftz":
        assert libm.fesetround(ROUNDING[machine][mode]) == 0
        assert libm.fegetround() == ROUNDING[machine][mode]
        return
    env = ctypes.create_string_buffer(64)  # glibc's fenv_t: 32 bytes on x86-64, 8 on aarch64
    assert libm.fegetenv(env) == 0
    if machine == "x86_64":
        field, bits = slice(28, 32), 0x8040  # MXCSR: FZ and DAZ
    else:
        field, bits = slice(0, 4), 1 << 24  # FPCR: FZ
    value = int.from_bytes(env.raw[field], "little") | bits
    env[field] = value.to_bytes(4, "little")
    assert libm.fesetenv(env) == 0


def inputs(dtype, n=300_017):
    """Normal values of every scale, with subnormals and values whose squares or scaled values
    are subnormal: rounding shows in every result, flushing in relu, maps and sums."""
    rng = np.random.default_rng(11)
    x = rng.standard_normal(n) * rng.choice([1e-3, 1.0, 50.0], n)
    tiny = np.finfo(dtype).smallest_normal
    x[::5] *= float(tiny) / 4  # subnormal
    x[1::7] = np.sqrt(float(tiny)) * rng.standard_normal(len(x[1::7])) / 8  # subnormal squares
    return x.astype(dtype)


def workers():
    """Pool workers alive now (they are named tarnwick-w-<index>)."""
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                count += f.read().startswith("tarnwick-w-")
        except OSError:
            pass
    return count


def digest(value):
    data = value if isinstance(value, np.ndarray) else np.array(value, dtype=np.float64)
    return hashlib.sha256(data.tobytes()).hexdigest()[:16]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", default="nearest")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--thread-budget", type=int)
    args = parser.parse_args()

    calls = {}
    for dtype, sfx in ((np.float64, ""), (np.float32, "_f32")):
        x = inputs(dtype)
        for name in ("relu_numpy", "sigmoid_numpy", "sum_of_squares_numpy"):
            calls[name + sfx] = lambda f=getattr(tarnwick, name + sfx), x=x: f(x)
        calls["parallel_map_numpy" + sfx] = (
            lambda f=getattr(tarnwick, "parallel_map_numpy" + sfx), x=x: f(x, 0.3))
    data = inputs(np.float64).tolist()
    calls["parallel_transform"] = lambda: tarnwick.parallel_transform(data, 0.7)

    if args.thread_budget is not None:
        shim = ctypes.CDLL(os.environ["TARNWICK_TEST_SHIM"])  # already preloaded: the same one
        shim.shim_set_thread_budget(args.thread_budget)
    if args.mode != "nearest":
        calls["parallel_map_numpy"]()  # workers start in the default mode, as in a real program
        set_mode(args.mode)  # (a new thread inherits its creator's mode)
    results = {name: [digest(call()) for _ in range(args.repeat)] for name, call in calls.items()}
    print(json.dumps({"results": results, "workers": workers()}))


if __name__ == "__main__":
    main()
