"""The benchmark tools as a user drives them: arguments, the JSON record and its picture."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"


@pytest.fixture(scope="module")
def bench():
    sys.path.insert(0, str(BENCHMARKS))
    try:
        import bench
        yield bench
    finally:
        sys.path.remove(str(BENCHMARKS))


@pytest.mark.parametrize("args, code, expected", [
    (["--help"], 0, "families: elementwise"),
    (["no_such_family"], 2, "unknown family 'no_such_family'"),
    (["--repeats", "0"], 2, "--repeats must be at least 1"),
])
def test_arguments(args, code, expected):
    done = subprocess.run([sys.executable, str(BENCHMARKS / "bench.py"), *args],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == code
    assert expected in done.stdout + done.stderr and "Traceback" not in done.stderr


def test_a_run_is_recorded_and_drawn(bench, tmp_path, capsys):
    slow = lambda: sum(range(2000))
    fast = lambda: None
    cases = [bench.Case("met", fast, "slow", slow, 1.0),
             bench.Case("missed", slow, "fast", fast, 0.5, note="a known limit"),
             bench.Case("no goal", fast, "fast", fast, torch_name="also fast", torch=fast,
                        torch_target=2.0)]
    results = [bench.Result("toy", c, bench.measure(c, repeats=3)) for c in cases]
    for r in results:
        bench.report(r)
    out = capsys.readouterr().out
    assert "<=1 ok" in out and "<=0.5 MISSED" in out and "note: a known limit" in out
    assert [len(r.sides) for r in results] == [2, 2, 3]

    document = {"environment": bench.environment(), "repeats": 3,
                "results": [r.as_json() for r in results]}
    record = json.loads(json.dumps(document))  # what --json writes is plain JSON
    sides = record["results"][2]["sides"]
    assert [s["role"] for s in sides] == ["tarnwick", "peer", "torch"]
    assert all(len(s["samples"]) == 3 and s["min"] <= s["median"] <= s["max"] for s in sides)
    assert record["environment"]["versions"]["numpy"]

    pytest.importorskip("matplotlib")
    (tmp_path / "run.json").write_text(json.dumps(record))
    done = subprocess.run([sys.executable, str(BENCHMARKS / "plot.py"), str(tmp_path / "run.json"),
                           str(tmp_path / "run.png")], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "run.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def plot_module():
    pytest.importorskip("matplotlib")
    sys.path.insert(0, str(BENCHMARKS))
    try:
        import plot
        yield plot
    finally:
        sys.path.remove(str(BENCHMARKS))


def recorded_run(with_torch: bool) -> dict:
    """A small run in the shape bench.py --json writes: two families, one case against itself."""
    def side(role, name, median):
        return {"role": role, "name": name, "loops": 1, "min": median * 0.9,
                "median": median, "max": median * 1.1, "samples": [median * 0.95, median * 1.05]}

    def result(family, name, peers):
        sides = [side("tarnwick", "tarnwick", 1.0)] + [side(r, n, m) for r, n, m, _ in peers]
        comparisons = [{"peer": n, "role": r, "ratio": 1.0 / m, "goal": g,
                        "missed": g is not None and 1.0 / m > g} for r, n, m, g in peers]
        return {"family": family, "name": name, "pooled": False, "note": None,
                "torch_threads": None, "sides": sides, "comparisons": comparisons}

    torch = [("torch", "torch.relu", 4.0, None)] if with_torch else []
    results = [result("elementwise", "relu n=16", [("peer", "np.maximum(x, 0)", 30.0, 0.5)] + torch),
               result("linear", "matmul 64x64", [("peer", "a @ b", 0.8, 1.0)]),
               result("linear", "matmul transposed", [("peer", "ours, contiguous", 1.0, 1.3)])]
    environment = {"date": "2026-01-01T00:00:00+00:00", "tarnwick_cpu_level": "avx2",
                   "machine": {"cpu": "test CPU", "usable_cpus": 2, "logical_cpus": 2},
                   "versions": {"python": "3.11", "numpy": "2.0", "tarnwick": "0.1.0",
                                "torch": "2.13.0" if with_torch else None},
                   "threads": {"tarnwick_pool": 2}}
    return {"environment": environment, "repeats": 2, "results": results}


def legend_and_ticks(fig):
    ax = fig.axes[0]
    fig.canvas.draw()
    ticks = [t.get_text() for t in ax.get_xticklabels() if t.get_text()]
    return [t.get_text() for t in ax.get_legend().get_texts()], ticks, ax.get_title()


@pytest.mark.parametrize("with_torch", [False, True], ids=["numpy only", "with torch"])
@pytest.mark.parametrize("picture", ["full", "family", "summary"])
def test_pictures_label_their_ratios_and_only_present_peers(plot_module, with_torch, picture):
    document = recorded_run(with_torch)
    fig = {"full": lambda: plot_module.draw(document),
           "family": lambda: plot_module.draw(document, "elementwise"),
           "summary": lambda: plot_module.draw_summary(document)}[picture]()
    legend, ticks, title = legend_and_ticks(fig)
    # Ratios from 1/30 to 1.25: the axis still spans 0.1 to 5, labelled in plain numbers.
    assert {"0.1", "0.2", "0.5", "1", "2", "5"} <= set(ticks)
    assert ("vs PyTorch CPU" in legend) == with_torch
    assert ("vs tarnwick on contiguous copies" in legend) == (picture != "family")
    assert "vs NumPy / Python peer" in legend and "CPU level avx2" in title


@pytest.mark.parametrize("args, expected", [
    (["--summary"], "wrote"),
    (["--family", "linear"], "wrote"),
    (["--family", "nonesuch"], "no family 'nonesuch' in the run (it has elementwise, linear)"),
])
def test_plot_options(plot_module, tmp_path, args, expected):
    (tmp_path / "run.json").write_text(json.dumps(recorded_run(False)))
    done = subprocess.run([sys.executable, str(BENCHMARKS / "plot.py"), str(tmp_path / "run.json"),
                           str(tmp_path / "out.png"), *args], capture_output=True, text=True,
                          timeout=120)
    assert expected in done.stdout + done.stderr and "Traceback" not in done.stderr


def test_recorded_run_names_the_cpu_level(bench):
    level = bench.environment()["tarnwick_cpu_level"]
    assert level in ("baseline", "avx2", "avx512")
