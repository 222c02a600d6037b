"""Side-by-side timing of tarnwick against its peers, in one process.

    python benchmarks/bench.py                   # every family (benchmarks/cases_*.py)
    python benchmarks/bench.py lists rowwise     # only these families
    python benchmarks/bench.py --json out.json   # also write every sample, machine and versions
    python benchmarks/plot.py out.json out.png   # draw the ratios against their goals

Each case times ``ours`` and ``peer`` (and PyTorch, where the case names it and torch is
installed) alternately, sample by sample, so all of them see the same machine state. It prints
the median time per call of each side with its spread (fastest-slowest sample), and the ratio
ours / peer of the medians: below 1 means tarnwick is faster. A case with a goal is ``ok`` when
the ratio is at most the goal and ``MISSED`` otherwise, with the reason printed below it.
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import importlib.util
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
# Environment variables that decide how many threads each side runs on.
THREAD_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "OMP_NUM_THREADS",
                    "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_CORETYPE",
                    "OPENBLAS_L2_SIZE", "TARNWICK_CPU")


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
    # Why a goal may be missed (a known limit, a noisy case): printed with a MISSED verdict.
    note: str | None = None


@dataclass
class Side:
    """One contestant's timings: seconds per call of each sample."""
    role: str  # "tarnwick", "peer" or "torch"
    name: str
    loops: int
    samples: list[float] = field(default_factory=list)

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    def as_json(self) -> dict:
        return {"role": self.role, "name": self.name, "loops": self.loops,
                "min": min(self.samples), "median": self.median, "max": max(self.samples),
                "samples": self.samples}


@dataclass
class Result:
    family: str
    case: Case
    sides: list[Side]

    def ratio(self, side: Side) -> float:
        return self.sides[0].median / side.median

    def goal(self, side: Side) -> float | None:
        return self.case.torch_target if side.role == "torch" else self.case.target

    def missed(self, side: Side) -> bool:
        goal = self.goal(side)
        return goal is not None and self.ratio(side) > goal

    def as_json(self) -> dict:
        c = self.case
        torch_threads = (_pool_size() if c.pooled else 1) if c.torch is not None else None
        return {"family": self.family, "name": c.name, "pooled": c.pooled, "note": c.note,
                "torch_threads": torch_threads,
                "sides": [s.as_json() for s in self.sides],
                "comparisons": [{"peer": s.name, "role": s.role, "ratio": self.ratio(s),
                                 "goal": self.goal(s), "missed": self.missed(s)}
                                for s in self.sides[1:]]}


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


def _cpu_level() -> str | None:
    """The level tarnwick's kernels run at here, as the module reports it on request: a fresh
    interpreter with this one's environment (so the same TARNWICK_CPU) and TARNWICK_SHOW_CPU=1."""
    done = subprocess.run([sys.executable, "-c", "import tarnwick"], capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, TARNWICK_SHOW_CPU="1"))
    prefix = "tarnwick: kernels run at CPU level "
    for line in done.stderr.splitlines():
        if line.startswith(prefix):
            return line.removeprefix(prefix).split()[0]
    return None


def _torch_threads(case: Case) -> None:
    """torch on one thread for calling-thread kernels, on our pool's size for pooled ones."""
    torch = sys.modules.get("torch")  # imported by the case that names a torch operation
    if torch is not None:
        torch.set_num_threads(_pool_size() if case.pooled else 1)


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


def measure(case: Case, repeats: int = 41) -> list[Side]:
    """Samples of ours, the peer and torch (if any), interleaved sample by sample."""
    contestants = [("tarnwick", "tarnwick", case.ours), ("peer", case.peer_name, case.peer)]
    if case.torch is not None:
        _torch_threads(case)
        contestants.append(("torch", case.torch_name or "torch", case.torch))
    for _, _, fn in contestants:
        fn()  # warm up caches, allocators and lazy set-up
    sides = [Side(role, name, _loops_for(fn)) for role, name, fn in contestants]
    for _ in range(repeats):
        for side, (_, _, fn) in zip(sides, contestants):
            side.samples.append(_sample(fn, side.loops))
    return sides


def _fmt(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def _timing(side: Side) -> str:
    return f"{_fmt(side.median)} ({_fmt(min(side.samples))}-{_fmt(max(side.samples))})"


def _verdict(result: Result, side: Side) -> str:
    goal = result.goal(side)
    if goal is None:
        return ""
    return f"<={goal:.3g} {'MISSED' if result.missed(side) else 'ok'}"


def _why_missed(result: Result, side: Side) -> str:
    ours, goal = result.sides[0], result.goal(side)
    ratio = result.ratio(side)
    why = (f"tarnwick took {ratio:.3g}x the time of {side.name}, the goal is at most {goal:.3g}x"
           f" ({ratio / goal - 1:.0%} over)")
    if min(ours.samples) / min(side.samples) <= goal:
        why += "; the fastest samples meet it, so machine noise may be the cause"
    if result.case.note:
        why += f"; note: {result.case.note}"
    return why


COLUMNS = (("case", 40), ("tarnwick median (min-max)", 31), ("peer", 28),
           ("peer median (min-max)", 31), ("ratio", 7), ("goal", 13))


def _row(cells: list[str]) -> str:
    return "  ".join(f"{c:<{w}}" if i < len(cells) - 1 else c
                     for i, (c, (_, w)) in enumerate(zip(cells, COLUMNS))).rstrip()


def header() -> str:
    return _row([title for title, _ in COLUMNS])


def report(result: Result) -> None:
    """One line per comparison (the torch line indented under the NumPy one), then the reason
    of every miss."""
    ours = result.sides[0]
    for i, side in enumerate(result.sides[1:]):
        print(_row([result.case.name if i == 0 else "", _timing(ours) if i == 0 else "",
                    side.name, _timing(side), f"{result.ratio(side):.3f}",
                    _verdict(result, side)]))
    for side in result.sides[1:]:
        if result.missed(side):
            print(f"    MISSED: {_why_missed(result, side)}")
    sys.stdout.flush()


def _steady_state_heap() -> None:
    """One 32 MiB array allocated and freed, so malloc serves temporaries from its heap as in a
    long-running program instead of fresh pages."""
    import numpy as np

    np.ones(32 << 20, dtype=np.uint8)


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def _version(distribution: str) -> str | None:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(distribution)
    except PackageNotFoundError:
        return None


def environment() -> dict:
    """The machine, the versions and the thread settings a run was measured with."""
    import numpy as np

    torch = sys.modules.get("torch")
    try:
        from threadpoolctl import threadpool_info
        blas = [{k: lib.get(k) for k in ("internal_api", "version", "architecture",
                                           "num_threads", "filepath")}
                for lib in threadpool_info()]
    except ImportError:
        blas = None
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "machine": {"cpu": _cpu_model(), "arch": platform.machine(),
                    "logical_cpus": os.cpu_count(), "usable_cpus": len(os.sched_getaffinity(0)),
                    "system": platform.platform()},
        # The kernels' CPU level (baseline, avx2, avx512): TARNWICK_SHOW_CPU=1 shows it.
        "tarnwick_cpu_level": _cpu_level(),
        "versions": {"python": sys.version.split()[0], "numpy": np.__version__,
                     "tarnwick": _version("tarnwick"),
                     "torch": torch.__version__ if torch else _version("torch")},
        # Every thread pool threadpoolctl sees at the end of the run: NumPy's BLAS, ours, torch's.
        "blas": blas,
        "threads": {"tarnwick_pool": _pool_size(),
                    "torch_calling_thread_cases": 1 if torch else None,
                    "torch_pooled_cases": _pool_size() if torch else None,
                    "environment": {v: os.environ.get(v) for v in THREAD_VARIABLES}},
    }


def _families() -> list[str]:
    return sorted(p.stem.removeprefix("cases_") for p in HERE.glob("cases_*.py"))


def _parse(argv: list[str]) -> argparse.Namespace:
    families = _families()
    parser = argparse.ArgumentParser(
        prog="bench.py", description=__doc__.split("\n\n")[0],
        epilog="families: " + ", ".join(families) + ". Ratio = tarnwick's median / the "
        "peer's median; below 1 tarnwick is faster. Run with OPENBLAS_CORETYPE and "
        "OPENBLAS_L2_SIZE unset (benchmarks/run.sh does).")
    parser.add_argument("families", nargs="*", metavar="family",
                        help="case families to run (default: all)")
    parser.add_argument("--json", metavar="FILE", type=Path,
                        help="write every sample, the machine, versions and thread settings")
    parser.add_argument("--repeats", type=int, default=41, metavar="N",
                        help="timed samples per side and case (default: 41)")
    parser.add_argument("--match", metavar="TEXT", default="",
                        help="only cases whose name contains TEXT")
    args = parser.parse_args(argv)
    unknown = [f for f in args.families if f not in families]
    if unknown:
        parser.error(f"unknown family {', '.join(map(repr, unknown))} "
                     f"(choose from {', '.join(families)})")
    if args.repeats < 1:
        parser.error("--repeats must be at least 1")
    return args


def main(argv: list[str]) -> int:
    args = _parse(argv)
    sys.path.insert(0, str(HERE))
    try:
        import tarnwick  # noqa: F401  (the cases import it; fail here with a plain message)
    except ImportError as error:
        sys.exit(f"bench.py: cannot import tarnwick ({error}); install it first (pip install .)")
    _steady_state_heap()
    torch = "installed" if importlib.util.find_spec("torch") else "not installed"
    print(f"tarnwick {_version('tarnwick') or '(not installed)'}, pool of {_pool_size()} "
          f"threads; torch {torch}")
    results: list[Result] = []
    for family in args.families or _families():
        print(f"== {family}")
        try:
            cases = importlib.import_module(f"cases_{family}").cases()
            first = True
            for case in cases:  # a family may print its set-up before its first case
                if args.match not in case.name:
                    continue
                if first:
                    print(header())
                    first = False
                results.append(Result(family, case, measure(case, args.repeats)))
                report(results[-1])
        except (ImportError, SystemExit) as error:  # something the family needs is missing
            print(f"   skipped: {error}")
    misses = sum(r.missed(s) for r in results for s in r.sides[1:])
    goals = sum(r.goal(s) is not None for r in results for s in r.sides[1:])
    print(f"== {len(results)} cases, {goals - misses} of {goals} goals met")
    if args.json:
        document = {"environment": environment(), "repeats": args.repeats,
                    "results": [r.as_json() for r in results]}
        args.json.write_text(json.dumps(document, indent=1) + "\n")
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
