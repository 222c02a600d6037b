"""The worker pool under a crowded machine: more threads than processors, one processor only,
other libraries' threads busy beside it, and a fork. Every pooled function must give the same
bits as on a single thread, however the pieces fell to the threads."""

import os

import pytest

from conftest import run_python

# Prints a digest of every pooled function's results on arrays past the parallel thresholds.
# `before` runs ahead of every call (another library's work); `cpus` restricts the process.
DIGEST = """
    import hashlib, os, threading
    import numpy as np
    import tarnwick
    if {cpus!r} is not None:
        os.sched_setaffinity(0, {cpus!r})
    a = np.random.default_rng(1).standard_normal((120, 120))
    before = {before}
    stop = threading.Event()
    def busy():
        while not stop.is_set():
            pass
    if {busy!r}:
        threading.Thread(target=busy, daemon=True).start()

    def digest():
        rng = np.random.default_rng(7)
        out = hashlib.sha256()
        for dtype, sfx in ((np.float64, ""), (np.float32, "_f32")):
            x = (rng.standard_normal(300_017) * 50).astype(dtype)
            for r in (x, x[::-3]):
                for f in ("relu_numpy", "sigmoid_numpy"):
                    before()
                    out.update(getattr(tarnwick, f + sfx)(r).tobytes())
                before()
                out.update(getattr(tarnwick, "parallel_map_numpy" + sfx)(r, 0.3).tobytes())
                before()
                out.update(repr(getattr(tarnwick, "sum_of_squares_numpy" + sfx)(r)).encode())
        before()
        out.update(repr(tarnwick.parallel_transform([float(i) for i in range(70_001)], 0.7)).encode())
        return out.hexdigest()

    print(digest())
    if {fork!r}:
        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.write(writer, digest().encode())
            os._exit(0)
        os.close(writer)
        child = os.read(reader, 100).decode()
        os.waitpid(pid, 0)
        print(child)
        print(digest())
    stop.set()
"""


def digests(threads=None, cpus=None, before="lambda: None", busy=False, fork=False):
    env = {} if threads is None else {"RAYON_NUM_THREADS": threads}
    code = DIGEST.format(cpus=cpus, before=before, busy=busy, fork=fork)
    proc = run_python(code, env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


@pytest.fixture(scope="module")
def reference():
    return digests(threads="1")[0]


def one_cpu():
    return {min(os.sched_getaffinity(0))}


@pytest.mark.parametrize("setting", [
    dict(threads="16"),  # more threads than processors
    dict(cpus="one"),  # one processor, the default size
    dict(threads="8", cpus="one"),  # eight threads crowded on one processor
    dict(threads="3", before="lambda: a @ a"),  # right after NumPy's threaded products
    dict(busy=True),  # beside a busy Python thread
    dict(threads="3", busy=True, before="lambda: a @ a"),
])
def test_crowded_pool_gives_single_thread_bits(reference, setting):
    if setting.get("cpus") == "one":
        setting = dict(setting, cpus=one_cpu())
    assert digests(**setting) == [reference]


@pytest.mark.parametrize("threads", [None, "3"])
def test_forked_child_gives_the_same_bits(reference, threads):
    # Parent before the fork, the child with a pool of its own, the parent after the fork.
    assert digests(threads=threads, fork=True) == [reference] * 3


def test_forked_child_on_one_processor(reference):
    code = """
        import os, tarnwick
        tarnwick.parallel_transform([1.0] * 100_000, 2.0)  # the parent's pool exists
        pid = os.fork()
        if pid == 0:
            os.sched_setaffinity(0, {cpu!r})
            before = len(os.listdir("/proc/self/task"))
            ok = tarnwick.parallel_transform([1.0] * 100_000, 2.0) == [2.0] * 100_000
            # the child sizes its pool from its own processors: one, so no workers
            os._exit(0 if ok and len(os.listdir("/proc/self/task")) == before else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """.format(cpu=one_cpu())
    proc = run_python(code, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "0"
