"""The caller's floating-point mode governs every piece of a pooled call, whichever thread runs
it: under each rounding mode and under flush-to-zero with denormals-are-zero, every pooled
function gives, call after call, the bits a single thread gives in the same mode."""

import json
import platform
from pathlib import Path

import pytest

from conftest import run_script

SCRIPT = Path(__file__).resolve().parent / "pooled_calls.py"

pytestmark = pytest.mark.skipif(platform.machine() not in ("x86_64", "aarch64"),
                                reason="sets the mode through glibc's x86-64 or aarch64 fenv_t")


def pooled_calls(threads, *args):
    proc = run_script(SCRIPT, *args, env={"RAYON_NUM_THREADS": threads})
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout)["results"]


@pytest.fixture(scope="module")
def default_mode():
    return pooled_calls("1")


@pytest.mark.parametrize("mode", ["upward", "downward", "towardzero", "ftz"])
def test_every_piece_runs_in_the_callers_mode(mode, default_mode):
    single = pooled_calls("1", "--mode", mode)
    pooled = pooled_calls("4", "--mode", mode, "--repeat", "6")
    differing = {name: digests for name, digests in pooled.items() if set(digests) != set(single[name])}
    assert not differing, f"pooled results differ from one thread's in mode {mode}: {differing}"
    # The mode was in force: it changes at least the scaled values.
    changed = {name for name in single if single[name] != default_mode[name]}
    assert {"parallel_map_numpy", "parallel_map_numpy_f32"} <= changed, changed
