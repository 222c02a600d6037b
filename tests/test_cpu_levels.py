"""Every processor level gives the same bits.

Kernels pick a variant per level (portable, AVX2, AVX-512) once per process; TARNWICK_CPU caps
the level. Each level runs the same calls of every function in a fresh interpreter, and the
digests of their results (errors included) must match the uncapped run's.
"""

import json
import pathlib

import pytest
import tarnwick

from conftest import run_python

CALLS = (pathlib.Path(__file__).parent / "level_calls.py").read_text()


def digests(level):
    # "" caps nothing, whatever the caller's environment says; two threads split the pool's
    # work in every run, whatever the machine.
    env = {"TARNWICK_CPU": level or "", "RAYON_NUM_THREADS": "2"}
    done = run_python(CALLS, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.fixture(scope="module")
def uncapped():
    return digests(None)


def test_every_function_is_called(uncapped):
    names = {name for name in dir(tarnwick) if callable(getattr(tarnwick, name))}
    assert {key.split("/")[0] for key in uncapped} == names
    assert sum(value.startswith("RuntimeError") for value in uncapped.values()) == 1


@pytest.mark.parametrize("level", ["baseline", "avx2", "avx512", "nonsense"])
def test_level_gives_the_same_bits(uncapped, level):
    capped = digests(level)
    differing = sorted(name for name in uncapped if capped[name] != uncapped[name])
    assert not differing
