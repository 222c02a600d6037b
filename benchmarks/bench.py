"""Side-by-side timing of tarnwick against its peers, in one process.

    python benchmarks/bench.py            # every case file
    python benchmarks/bench.py lists      # only benchmarks/cases_lists.py

Each case file defines ``cases()``, yielding ``Case`` objects. A case times ``ours`` and
``peer`` alternately (so both see the same machine state), many repeats, and prints the
medians and their ratio (ours / peer: below 1 means tarnwick is faster).
"""

from __future__ import annotations

import importlib
import os
import statistics
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent


@dataclass
class Case:
    name: str
    ours: Callable[[], object]
    peer_name: str
    peer: Callable[[], object]
    target: float | None = None  # the ratio to reach (ours / peer at most)
    # PyTorch CPU as a second peer, where it has the operation and is installed.
    torch_name: str | None = None
    torch: Callable[[], object] | None = None
    torch_target: float | None = None
    # Pooled kernels meet torch at our pool's thread count; the others at one thread.
    pooled: bool = False


def _loops_for(fn: Callable[[], object], budget: float = 2e-3) -> int:
    """Calls per timed sample, so that one sample lasts about `budget` seconds."""
    loops = 1
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            fn()
        if time.perf_counter() - start >= budget or loops >= 1 << 20:
            return loops
        loops *= 2


def _sample(fn: Callable[[], object], loops: int) -> float:
    start = time.perf_counter()
    for _ in range(loops):
        fn()
    return (time.perf_counter() - start) / loops


def _torch_threads(case: Case) -> None:
    """torch on one thread for calling-thread kernels, on our pool's size for pooled ones."""
    import torch

    torch.set_num_threads(_pool_size() if case.pooled else 1)


def optional_torch():
    """PyTorch if installed (the `torch` extra), else None: cases then skip the torch column."""
    try:
        import torch
    except ImportError:
        return None
    return torch


def _pool_size() -> int:
    for var in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        value = os.environ.get(var, "")
        if value.isdigit() and int(value) > 0:
            return int(value)
    return len(os.sched_getaffinity(0))


def measure(case: Case, repeats: int = 41) -> list[float]:
    """Median seconds per call of ours, the peer and torch (if any), interleaved sample by
    sample so that all of them see the same machine state."""
    fns = [case.ours, case.peer] + ([case.torch] if case.torch is not None else [])
    if case.torch is not None:
        _torch_threads(case)
    for fn in fns:
        fn()  # warm up caches, allocators and lazy set-up
    loops = [_loops_for(fn) for fn in fns]
    samples: list[list[float]] = [[] for _ in fns]
    for _ in range(repeats):
        for fn, n, out in zip(fns, loops, samples):
            out.append(_sample(fn, n))
    return [statistics.median(s) for s in samples]


def _fmt(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.1f} ns"


def _verdict(ratio: float, target: float | None) -> str:
    if target is None:
        return ""
    return f" (<= {target:g}: {'ok' if ratio <= target else 'MISSED'})"


def report(case: Case, repeats: int = 41) -> float:
    times = measure(case, repeats)
    ours, peer = times[0], times[1]
    ratio = ours / peer
    line = (f"{case.name:<44} {_fmt(ours)}  vs {case.peer_name:<28} {_fmt(peer)}"
            f"  ratio {ratio:6.3f}{_verdict(ratio, case.target)}")
    if len(times) > 2:
        t_ratio = ours / times[2]
        line += (f"  | {case.torch_name} {_fmt(times[2])} ratio {t_ratio:6.3f}"
                 f"{_verdict(t_ratio, case.torch_target)}")
    print(line, flush=True)
    return ratio


def _steady_state_heap() -> None:
    """One 32 MiB array allocated and freed, so malloc serves temporaries from its heap as in a
    long-running program instead of fresh pages."""
    import numpy as np

    np.ones(32 << 20, dtype=np.uint8)


def main(argv: list[str]) -> None:
    sys.path.insert(0, str(HERE))
    _steady_state_heap()
    names = argv or sorted(p.stem.removeprefix("cases_") for p in HERE.glob("cases_*.py"))
    for name in names:
        module = importlib.import_module(f"cases_{name}")
        print(f"== {name}")
        for case in module.cases():
            report(case)


if __name__ == "__main__":
    main(sys.argv[1:])
