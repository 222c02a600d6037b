"""The installed stubs as a type checker sees them: mypy --strict on a usage sample whose wrong
calls must be flagged, and stubtest comparing the stubs with the module itself."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import tarnwick

pytest.importorskip("mypy")

SAMPLE = Path(__file__).parent / "typecheck" / "usage.py"
SITE = Path(tarnwick.__file__).parent


def test_stub_package_is_installed_beside_the_module():
    assert (SITE / "tarnwick-stubs" / "__init__.pyi").is_file()
    assert (SITE / "tarnwick-stubs" / "py.typed").is_file()


@pytest.mark.parametrize("command", [
    ["mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, str(SAMPLE)],
    ["mypy.stubtest", "tarnwick"],
], ids=["mypy-strict", "stubtest"])
def test_type_checker_accepts_the_stubs(command, tmp_path):
    # mypy finds the stub package where the module under test is installed.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(SITE), os.environ.get("PYTHONPATH")])))
    done = subprocess.run([sys.executable, "-m", *command], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
