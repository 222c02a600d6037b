"""Side-by-side timing of tarnwick against its peers, in one process.

    python benchmarks/bench.py            # every case file
    python benchmarks/bench.py lists      # only benchmarks/cases_lists.py

Each case file defines ``cases()``, yielding ``Case`` objects. A case times ``ours`` and
``peer`` alternately (so both see the same machine state), many repeats, and prints the
medians and their ratio (ours / peer: below 1 means tarnwick is faster).
"""

from __future__ import annotations

import importlib
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


def measure(case: Case, repeats: int = 41) -> tuple[float, float]:
    """Median seconds per call of ours and of peer, interleaved sample by sample."""
    case.ours(), case.peer()  # warm up caches, allocators and lazy set-up
    loops_ours, loops_peer = _loops_for(case.ours), _loops_for(case.peer)
    ours, peer = [], []
    for _ in range(repeats):
        ours.append(_sample(case.ours, loops_ours))
        peer.append(_sample(case.peer, loops_peer))
    return statistics.median(ours), statistics.median(peer)


def _fmt(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.1f} ns"


def report(case: Case, repeats: int = 41) -> float:
    ours, peer = measure(case, repeats)
    ratio = ours / peer
    verdict = ""
    if case.target is not None:
        verdict = f"  (target <= {case.target:g}: {'ok' if ratio <= case.target else 'MISSED'})"
    print(f"{case.name:<44} {_fmt(ours)}  vs {case.peer_name:<28} {_fmt(peer)}"
          f"  ratio {ratio:6.3f}{verdict}", flush=True)
    return ratio


def main(argv: list[str]) -> None:
    sys.path.insert(0, str(HERE))
    names = argv or sorted(p.stem.removeprefix("cases_") for p in HERE.glob("cases_*.py"))
    for name in names:
        module = importlib.import_module(f"cases_{name}")
        print(f"== {name}")
        for case in module.cases():
            report(case)


if __name__ == "__main__":
    main(sys.argv[1:])
