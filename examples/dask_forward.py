"""The demonstration's transformer block over a large batch, scaled out with Dask.

    python examples/dask_forward.py [--rows N] [--block N] [--workers N] [--scheduler ADDRESS]

tarnwick's products and row-wise kernels run on the calling thread, so a machine (or many)
is filled by running many single-threaded processes. The batch is a dask.array split into
blocks of rows; each worker process (one thread, RAYON_NUM_THREADS=1) runs the block forward
with tarnwick through map_blocks. The result is checked against NumPy on the same data, and the
throughput in rows per second is printed against NumPy and tarnwick in this one process.

Without --scheduler a distributed.LocalCluster of worker processes is started here; with
--scheduler tcp://host:8786 the work goes to an existing cluster, whose workers need tarnwick
installed (start them with `RAYON_NUM_THREADS=1 dask worker ADDRESS --nthreads 1`).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import cloudpickle
import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, wait

sys.path.insert(0, str(Path(__file__).resolve().parent))
import demo  # noqa: E402  (the block and its NumPy twin)

# Workers need not have the examples folder: demo's functions travel with the tasks.
cloudpickle.register_pickle_by_value(demo)

WIDTH, CLASSES, KEEP = 768, 64, 0.9
# One thread per worker: tarnwick's kernels and their BLAS calls stay single-threaded.
WORKER_ENV = {"RAYON_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}


def make_model(seed: int = 0) -> tuple[np.ndarray, ...]:
    """The block's weights (w1, b1, w2, b2), as demo.main draws them."""
    rng = np.random.default_rng(seed)
    w1 = rng.standard_normal((WIDTH, WIDTH)) / np.sqrt(WIDTH)
    b1 = rng.standard_normal(WIDTH) * 0.1
    w2 = rng.standard_normal((WIDTH, CLASSES)) / np.sqrt(WIDTH)
    b2 = rng.standard_normal(CLASSES) * 0.1
    return w1, b1, w2, b2


def forward_block(x: np.ndarray, mask: np.ndarray, model: tuple[np.ndarray, ...]) -> np.ndarray:
    """One block of rows through the block, on the worker that holds it."""
    w1, b1, w2, b2 = model
    return demo.forward_tarnwick(x, w1, b1, w2, b2, mask, 1.0 / KEEP)


def batch(rows: int, block: int, seed: int = 1) -> tuple[da.Array, da.Array]:
    """Inputs and dropout masks, drawn on the workers block by block."""
    rng = da.random.default_rng(seed)
    x = rng.standard_normal((rows, WIDTH), chunks=(block, WIDTH))
    mask = (rng.random((rows, WIDTH), chunks=(block, WIDTH)) < KEEP).astype(np.float64)
    return x, mask


def best_of(fn, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def _parse(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="dask_forward.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=16384, help="batch size (default 16384)")
    parser.add_argument("--block", type=int, default=1024,
                        help="rows per block, one task each (default 1024)")
    parser.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)),
                        help="worker processes of the local cluster (default: one per CPU)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="use the cluster at ADDRESS (tcp://host:8786) instead of a local one")
    parser.add_argument("--repeats", type=int, default=3, help="timed runs, best kept (default 3)")
    args = parser.parse_args(argv)
    for name in ("rows", "block", "workers", "repeats"):
        if getattr(args, name) < 1:
            parser.error(f"--{name} must be at least 1")
    return args


def run(client: Client, args: argparse.Namespace) -> bool:
    workers = len(client.scheduler_info()["workers"])
    pools = set(client.run(lambda: os.environ.get("RAYON_NUM_THREADS")).values())
    print(f"{workers} workers (RAYON_NUM_THREADS there: {', '.join(sorted(map(str, pools)))}), "
          f"{args.rows} rows x {WIDTH} in blocks of {args.block} rows")
    model = dask.delayed(make_model)().persist()  # drawn once, fetched once per worker
    x, mask = dask.persist(*batch(args.rows, args.block))
    wait([model, x, mask])
    y = da.map_blocks(forward_block, x, mask, model, dtype=np.float64,
                      chunks=(x.chunks[0], (CLASSES,)))

    ours = y.compute()
    x_local, mask_local = dask.compute(x, mask)
    w1, b1, w2, b2 = make_model()
    args_local = (x_local, w1, b1, w2, b2, mask_local, 1.0 / KEEP)
    expected = demo.forward_numpy(*args_local)
    close = np.allclose(ours, expected, rtol=1e-9, atol=1e-12)
    same_bits = np.array_equal(ours, demo.forward_tarnwick(*args_local))
    print(f"matches NumPy: {close} (largest difference {np.max(np.abs(ours - expected)):.2e}); "
          f"bit-identical to tarnwick in one process: {same_bits}")

    t_dask = best_of(y.compute, args.repeats)
    t_ours = best_of(lambda: demo.forward_tarnwick(*args_local), args.repeats)
    t_numpy = best_of(lambda: demo.forward_numpy(*args_local), args.repeats)
    rate = lambda seconds: f"{args.rows / seconds:,.0f} rows/s"
    print(f"Dask, {workers} tarnwick workers: {rate(t_dask)}")
    print(f"tarnwick in one process:    {rate(t_ours)}")
    print(f"NumPy in one process:       {rate(t_numpy)}  (its BLAS on its own threads)")
    print(f"Dask over NumPy in one process: {t_numpy / t_dask:.2f}x")
    return close


def main(argv: list[str]) -> int:
    args = _parse(argv)
    print(f"tarnwick {demo.installed_version()}, Dask {dask.__version__}")
    if args.scheduler:
        with Client(args.scheduler) as client:
            return 0 if run(client, args) else 1
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      env=WORKER_ENV, dashboard_address=None) as cluster, Client(cluster) as client:
        return 0 if run(client, args) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
