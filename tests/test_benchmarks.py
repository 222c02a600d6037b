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
