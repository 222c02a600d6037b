"""The pool under the system's limits and the environment's excesses: where no thread, or only
some, can be started, every pooled call still gives one thread's bits on the threads it got
(down to none); and no thread count asked for makes a call fail or starts more threads than the
cap (8 per usable processor)."""

import json
import os
from pathlib import Path

import pytest

from conftest import build_preload, preloading, run_python, run_script

SCRIPT = Path(__file__).resolve().parent / "pooled_calls.py"

# pthread_create that refuses (EAGAIN, as under `ulimit -u` or a pids cgroup) once the budget a
# test sets through shim_set_thread_budget is spent; no budget, no limit, so that the
# interpreter and NumPy start as usual. Preloaded after any sanitizer runtime, whose own
# pthread_create finds this one as the next definition.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

static int budget = -1;

void shim_set_thread_budget(int n) { __atomic_store_n(&budget, n, __ATOMIC_SEQ_CST); }

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                   void* arg) {
    typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static create_fn real;
    if (!real) real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    int left = __atomic_load_n(&budget, __ATOMIC_SEQ_CST);
    while (left > 0 && !__atomic_compare_exchange_n(&budget, &left, left - 1, 0, __ATOMIC_SEQ_CST,
                                                    __ATOMIC_SEQ_CST)) {
    }
    if (left == 0) return EAGAIN;
    return real(thread, attr, start, arg);
}
"""


@pytest.fixture(scope="module")
def thread_shim(tmp_path_factory):
    return build_preload(SHIM, tmp_path_factory.mktemp("shim"))


def pooled_calls(threads, extra_env=None, *args):
    proc = run_script(SCRIPT, *args, env={"RAYON_NUM_THREADS": threads, **(extra_env or {})})
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stderr == "", proc.stderr[-3000:]
    return json.loads(proc.stdout)


@pytest.fixture(scope="module")
def one_thread():
    return pooled_calls("1")["results"]


@pytest.mark.parametrize("budget, expected_workers", [(0, 0), (2, 2)])
def test_pool_runs_on_the_threads_it_could_start(thread_shim, one_thread, budget, expected_workers):
    got = pooled_calls("4", {**preloading(thread_shim), "TARNWICK_TEST_SHIM": thread_shim},
                       "--thread-budget", budget, "--repeat", 3)
    assert got["workers"] == expected_workers
    assert got["results"] == {name: digests * 3 for name, digests in one_thread.items()}


CAP = """
    import os, threading
    import numpy as np
    import tarnwick
    x = np.arange(1_000_000, dtype=np.float64)
    ok = (tarnwick.parallel_map_numpy(x, 2.0) == x * 2.0).all()
    ok = ok and tarnwick.parallel_transform([1.5] * 100_000, 2.0) == [3.0] * 100_000
    started = sum(open(f"/proc/self/task/{t}/comm").read().startswith("tarnwick-w-")
                  for t in os.listdir("/proc/self/task"))
    python_thread = threading.Thread(target=lambda: None)
    python_thread.start()  # the program still has room for a thread of its own
    python_thread.join()
    print(ok, started)
"""


@pytest.mark.parametrize("env", [
    {"RAYON_NUM_THREADS": "1099511627776"},  # its workers' bookkeeping alone: 64 TiB
    {"RAYON_NUM_THREADS": "1000000"},  # more threads than the system allows
    {"RAYON_RS_NUM_CPUS": "50000000"},
    {"RAYON_NUM_THREADS": "18446744073709551615"},
])
def test_thread_count_is_capped(env):
    result = run_python(CAP, env)
    assert result.returncode == 0, result.stderr[-3000:]
    ok, started = result.stdout.split()
    assert ok == "True" and int(started) <= 8 * len(os.sched_getaffinity(0)), result.stdout
