"""What the operating system layer reports: the thread named in a fault's report."""

import sys

import pytest

from conftest import run_python

# An internal fault, in a thread of the given name or on the main thread: with NumPy unavailable
# an array argument cannot go on. A fresh interpreter, since a module that has reached NumPy once
# keeps it.
FAULT = """
    import sys, threading
    import tarnwick
    sys.modules["numpy"] = None
    name = {name!r}

    def fault():
        if name is not None:
            with open(f"/proc/self/task/{{threading.get_native_id()}}/comm", "w") as comm:
                comm.write(name)
        try:
            tarnwick.relu_numpy([1.0])
        except BaseException as exc:
            print(type(exc).__qualname__)

    if name is None:
        fault()
    else:
        worker = threading.Thread(target=fault)
        worker.start()
        worker.join()
"""


def panic_report(name=None):
    """Raises an internal fault, in a new thread if `name` is given; returns what went to stderr."""
    result = run_python(FAULT.format(name=name))
    assert result.returncode == 0 and result.stdout == "PanicException\n", result.stderr
    return result.stderr


def test_report_names_the_main_thread():
    assert panic_report().startswith("thread 'main' panicked at src/")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="names threads through /proc")
def test_report_names_another_thread():
    assert panic_report("tw-side").startswith("thread 'tw-side' panicked at src/")
