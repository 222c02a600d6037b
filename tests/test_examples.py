"""The examples run end to end as a user runs them: the demonstration, and the Dask scale-out on
a small batch."""

import os
import subprocess
import sys
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path

import pytest

import tarnwick

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run_example(name: str, *args: str) -> str:
    # The module under test, wherever it is installed.
    path = os.pathsep.join(filter(None, [str(Path(tarnwick.__file__).parent),
                                         os.environ.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True,
                          text=True, timeout=300, env=dict(os.environ, PYTHONPATH=path))
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_demo_names_the_installed_version_first():
    try:
        expected = version("tarnwick")
    except PackageNotFoundError:
        expected = "(not installed)"
    first = run_example("demo.py").splitlines()[0]
    assert first == f"tarnwick {expected}: 20 functions"


def test_dask_forward_matches_numpy_on_single_threaded_workers():
    pytest.importorskip("distributed")
    out = run_example("dask_forward.py", "--rows", "300", "--block", "64", "--workers", "2",
                      "--repeats", "1")
    assert "2 workers (RAYON_NUM_THREADS there: 1), 300 rows x 768 in blocks of 64 rows" in out
    assert "matches NumPy: True" in out
    assert "rows/s" in out


@pytest.mark.parametrize("args, message", [
    (["--rows", "0"], "--rows must be at least 1"),
    (["--workers", "x"], "invalid int value"),
])
def test_dask_forward_refuses_bad_arguments(args, message):
    pytest.importorskip("distributed")
    done = subprocess.run([sys.executable, str(EXAMPLES / "dask_forward.py"), *args],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and message in done.stderr and "Traceback" not in done.stderr
