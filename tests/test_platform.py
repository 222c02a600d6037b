"""What the operating system layer reports: the thread named in a fault's report."""

import sys
import threading

import numpy as np
import pytest
import tarnwick


def panic_report(capfd, name=None):
    """Raises an internal fault, in a new thread if `name` is given; returns what went to stderr."""
    def fault():
        if name is not None and sys.platform.startswith("linux"):
            with open(f"/proc/self/task/{threading.get_native_id()}/comm", "w") as comm:
                comm.write(name)
        with pytest.raises(BaseException, match="overflow"):
            tarnwick.matmul_numpy(np.empty((2**40, 0)), np.empty((0, 2**40)))

    capfd.readouterr()
    if name is None:
        fault()
    else:
        worker = threading.Thread(target=fault)
        worker.start()
        worker.join()
    return capfd.readouterr().err


def test_report_names_the_main_thread(capfd):
    assert panic_report(capfd).startswith("thread 'main' panicked at src/")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="names threads through /proc")
def test_report_names_another_thread(capfd):
    assert panic_report(capfd, "tw-side").startswith("thread 'tw-side' panicked at src/")
