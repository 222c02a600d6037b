"""The pooled kernels next to other libraries' threads: how much slower a call gets right after a
NumPy product on its default BLAS threads, right after a PyTorch op on two intra-op threads, and
beside a CPU-bound Python thread; and how much slower the other library's call gets right after
ours. Those threads keep spinning for a while after their call ends, so a pool that waits for
one particular worker can lose a whole time slice.

Each line is one call timed on its own, right after its neighbour, against the same call timed
in a loop of its own (medians, interleaved in rounds). NumPy's BLAS keeps its default threads.
Reference lines time NumPy's own single-threaded map and ReLU the same way: the share of
the slow-down that the machine imposes on any call, pool or no pool.
"""

import statistics
import threading
import time

import numpy as np

import tarnwick
from bench import _fmt, optional_torch

SIZES = (100_000, 1_000_000)
AFTER_TARGET, BESIDE_TARGET, OTHER_TARGET = 1.5, 2.5, 1.2
ROUNDS, SAMPLES = 3, 20


def _kernels(n):
    x = np.random.default_rng(0).standard_normal(n)
    return {
        "map": lambda: tarnwick.parallel_map_numpy(x, 1.5),
        "relu": lambda: tarnwick.relu_numpy(x),
        "sigmoid": lambda: tarnwick.sigmoid_numpy(x),
        "sum of squares": lambda: tarnwick.sum_of_squares_numpy(x),
    }


def _neighbours():
    a = np.random.default_rng(1).standard_normal((300, 300))
    yield "NumPy 300x300 product", lambda: a @ a
    torch = optional_torch()
    if torch is not None:
        torch.set_num_threads(2)
        t = torch.from_numpy(a)
        yield "PyTorch 300x300 product, 2 threads", lambda: torch.mm(t, t)


def _time_after(before, fn):
    """Seconds of one fn() call made right after before()."""
    before()
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def _ratio(first, then, alone, settle=0.0):
    """Median time of then() right after first(), over its median time right after itself.

    Rounds alternate the two, each preceded by `settle` seconds of quiet, so that slow drift
    of the machine hits both alike.
    """
    after, solo = [], []
    then()
    for _ in range(ROUNDS):
        time.sleep(settle)
        solo += [_time_after(alone, alone) for _ in range(SAMPLES)]
        time.sleep(settle)
        after += [_time_after(first, then) for _ in range(SAMPLES)]
    return statistics.median(after), statistics.median(solo)


def _references(n):
    """NumPy's single-threaded counterparts: how much slower any call of this size gets after
    the neighbour on this machine (cold caches, a busy processor), with no pool involved."""
    x = np.random.default_rng(0).standard_normal(n)
    return {"NumPy x * 1.5": lambda: x * 1.5, "NumPy np.maximum(x, 0)": lambda: np.maximum(x, 0)}


def _line(name, after, alone, target=None):
    ratio = after / alone
    verdict = "(reference)" if target is None else (
        f"<={target:g} {'ok' if ratio <= target else 'MISSED'}")
    print(f"{name:<62} {_fmt(after):>9} vs alone {_fmt(alone):>9}  ratio {ratio:6.2f}"
          f"  {verdict}", flush=True)


def _busy_python(stop):
    count = 0
    while not stop.is_set():
        count += 1


def _after_neighbours():
    for neighbour, other in _neighbours():
        for n in SIZES:
            for kernel, ours in _kernels(n).items():
                after, alone = _ratio(other, ours, ours, settle=0.2)
                _line(f"{kernel} n={n} after {neighbour}", after, alone, AFTER_TARGET)
            for name, peer in _references(n).items():
                after, alone = _ratio(other, peer, peer, settle=0.2)
                _line(f"{name} n={n} after {neighbour}", after, alone)
        for n in SIZES:
            for kernel, ours in _kernels(n).items():
                after, alone = _ratio(ours, other, other)
                _line(f"{neighbour} after {kernel} n={n}", after, alone, OTHER_TARGET)


def _beside_python():
    for n in SIZES:
        for kernel, ours in _kernels(n).items():
            alone = []
            beside = []
            ours()
            for _ in range(ROUNDS):
                alone += [_time_after(ours, ours) for _ in range(SAMPLES)]
                stop = threading.Event()
                thread = threading.Thread(target=_busy_python, args=(stop,))
                thread.start()
                beside += [_time_after(ours, ours) for _ in range(SAMPLES)]
                stop.set()
                thread.join()
            _line(f"{kernel} n={n} beside a busy Python thread", statistics.median(beside),
                  statistics.median(alone), BESIDE_TARGET)


def cases():
    _after_neighbours()
    _beside_python()
    return []
