"""Shared helpers for the test suite."""

import gc
import os
import shutil
import subprocess
import sys
import textwrap

import pytest


def _child_env(env: dict | None) -> dict:
    full_env = dict(os.environ)
    for key in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        full_env.pop(key, None)
    full_env.update(env or {})
    return full_env


def run_python(code: str, env: dict | None = None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (for process-wide settings such as the thread count)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=_child_env(env),
                          capture_output=True, text=True, timeout=timeout)


def run_script(script, *args, env: dict | None = None, timeout: float = 300) -> subprocess.CompletedProcess:
    """Runs a script of the suite's, as run_python runs code."""
    return subprocess.run([sys.executable, str(script), *map(str, args)], env=_child_env(env),
                          capture_output=True, text=True, timeout=timeout)


def build_preload(source: str, directory) -> str:
    """Compiles C `source` into a shared object to preload, with the system's C compiler (the
    test is skipped without one)."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("needs a C compiler")
    (directory / "preload.c").write_text(source)
    library = directory / "libpreload.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library),
                    str(directory / "preload.c"), "-ldl", "-lm"], check=True, timeout=120)
    return str(library)


def preloading(library: str) -> dict:
    """The environment that preloads `library`, after whatever is preloaded already (a
    sanitizer's runtime must stay first; its interceptors then reach the library's functions
    as the next definitions)."""
    return {"LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), library]))}


@pytest.fixture
def refcounts():
    """Asserts that a call leaves the reference counts of the given objects unchanged.

        def test_x(refcounts):
            with refcounts(a, b):
                tarnwick.f(a, b)
    """
    class Checker:
        def __init__(self, *objects):
            self.objects = objects

        def __enter__(self):
            gc.collect()
            self.before = [sys.getrefcount(o) for o in self.objects]
            return self

        def __exit__(self, *exc):
            gc.collect()
            after = [sys.getrefcount(o) for o in self.objects]
            assert after == self.before
            return False

    return Checker


def _rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture
def rss_growth():
    """Resident memory gained by running `call` many times after a warm-up: catches native
    leaks that Python's own accounting cannot see."""
    def measure(call, times: int = 200) -> int:
        for _ in range(max(times // 10, 1)):
            call()
        gc.collect()
        before = _rss_bytes()
        for _ in range(times):
            call()
        gc.collect()
        return _rss_bytes() - before

    return measure


def _sanitized() -> bool:
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


# Built with AddressSanitizer (and preloaded): see .ci/run.
SANITIZED = _sanitized()


def pytest_configure(config):
    config.addinivalue_line("markers", "memory_growth: measures resident memory")
    config.addinivalue_line(
        "markers", "huge_alloc: asks for terabytes on purpose (the sanitizer aborts instead)")


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    for item in items:
        if "rss_growth" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.memory_growth)
        if SANITIZED and item.get_closest_marker("huge_alloc"):
            item.add_marker(pytest.mark.skip(reason="AddressSanitizer aborts on such a request"))
