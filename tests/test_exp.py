"""The exact vector exponentials behind sigmoid and softmax: the C library's bits on every class
of argument, whichever variant, thread count or position computes them."""

import hashlib
import json
import math
import os
import platform
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import tarnwick
from conftest import build_preload, preloading, run_python
from test_elementwise import ref_sigmoid
from test_rowwise import ref_softmax

ROOT = Path(__file__).resolve().parent.parent


def special_classes(dtype):
    """Every binade of both signs (subnormals included), the edges of each range the library
    treats apart, infinities, NaN and zeros."""
    info = np.finfo(dtype)
    lo, hi = int(math.log2(info.smallest_subnormal)), int(info.maxexp)
    binades = [s * f * 2.0 ** e for e in range(lo, hi) for f in (1.0, 1.3125, 1.75) for s in (1, -1)]
    if dtype == np.float64:
        edges = [2.0 ** -54, 512.0, 1024.0, 709.782712893384, -708.3964185322641, -745.1332191019411,
                 -745.1332191019412, float.fromhex("0x1.62e42fefa39efp+9")]
    else:
        edges = [88.0, 88.72283, 88.72284, -87.33654, -103.27893, -103.97208, -104.0]
    edges = [v for e in edges for v in (e, -e, np.nextafter(e, 0), np.nextafter(e, np.inf))]
    with np.errstate(over="ignore"):
        values = np.array(binades + edges, dtype=dtype)
    return np.concatenate([values, np.array([0.0, -0.0, np.inf, -np.inf, np.nan, -np.nan], dtype)])


def mixed(n, dtype, seed=0):
    """Mostly the range real layers see, with every special class sprinkled in."""
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal(n) * rng.choice([0.01, 1.0, 10.0, 300.0], n)).astype(dtype)
    specials = special_classes(dtype)
    x[rng.integers(0, n, len(specials))] = specials
    return x


@pytest.mark.parametrize("name, dtype", [("sigmoid_numpy", np.float64), ("sigmoid_numpy_f32", np.float32)])
def test_sigmoid_special_classes_match_the_library(name, dtype):
    x = special_classes(dtype)
    for offset in range(8):  # every lane of a vector, and the padded rest
        got = getattr(tarnwick, name)(x[offset:])
        with np.errstate(all="ignore"):
            want = ref_sigmoid(x[offset:])
        assert got.tobytes() == want.tobytes()


def test_softmax_special_rows_match_the_library():
    v = special_classes(np.float64)
    finite = v[np.isfinite(v)]
    rows = [finite[i:i + 37] for i in range(0, len(finite) - 37, 37)]
    x = np.array(rows)
    x = np.concatenate([x, x / 1e300, x * 1e-300, np.clip(x, -800, 800)])
    assert ref_softmax(x).tobytes() == tarnwick.fused_softmax(x).tobytes()


_DIGEST = """
    import hashlib, sys
    import numpy as np
    import tarnwick
    sys.path.insert(0, {tests!r})
    from test_exp import mixed
    h = hashlib.sha256()
    for dtype, fn in ((np.float64, tarnwick.sigmoid_numpy), (np.float32, tarnwick.sigmoid_numpy_f32)):
        x = mixed(1_000_003, dtype)
        h.update(fn(x).tobytes())
        h.update(fn(x[1::3]).tobytes())
    x = mixed(300 * 257, np.float64, seed=1).reshape(300, 257)
    x[x > 700] = 700  # keep the sums finite: which NaN a sum keeps is the compiler's choice
    for a in (x, np.asfortranarray(x), x[:, ::-2], x[::2, 1:]):
        h.update(tarnwick.fused_softmax(a).tobytes())
    print(h.hexdigest())
"""


def test_every_level_and_thread_count_gives_the_library_bits():
    """TARNWICK_CPU=baseline calls the library per value: the other levels must equal it on
    about two million arguments, at one and at two threads."""
    code = _DIGEST.format(tests=str(ROOT / "tests"))
    digests = {}
    for level in ("baseline", "avx2", "avx512"):
        for threads in ("1", "2"):
            proc = run_python(code, env={"TARNWICK_CPU": level, "RAYON_NUM_THREADS": threads})
            assert proc.returncode == 0, proc.stderr[-3000:]
            digests[level, threads] = proc.stdout.strip()
    assert len(set(digests.values())) == 1, digests


def test_result_does_not_depend_on_position():
    x = mixed(4099, np.float64)
    xf = mixed(4099, np.float32)
    whole, wholef = tarnwick.sigmoid_numpy(x), tarnwick.sigmoid_numpy_f32(xf)
    for k in range(17):
        assert tarnwick.sigmoid_numpy(x[k:]).tobytes() == whole[k:].tobytes()
        assert tarnwick.sigmoid_numpy_f32(xf[k:]).tobytes() == wholef[k:].tobytes()
    m = np.clip(x[:4096], -700, 700).reshape(64, 64)
    full = tarnwick.fused_softmax(m)
    for width in (1, 3, 4, 5, 8, 9, 63):
        part = tarnwick.fused_softmax(np.ascontiguousarray(m[:, :width]))
        assert part.tobytes() == tarnwick.fused_softmax(m[:, :width]).tobytes()
    assert full.tobytes() == np.concatenate([tarnwick.fused_softmax(m[i:i + 1]) for i in range(64)]).tobytes()


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_vector_exp_native(tmp_path):
    """The vector kernels themselves against the library: a million random doubles over the
    whole range and a million float bit patterns, every variant this processor runs; and the
    guard rejects variants that differ from the library the way another build would."""
    env = dict(os.environ, VERIFY_EXP_BUILD=str(tmp_path))
    result = subprocess.run([str(ROOT / "tools/verify_exp/run.sh"), "sample"], env=env,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    if platform.machine() == "x86_64" and platform.libc_ver()[0] == "glibc":
        # On the library whose algorithm the kernels follow, every variant must pass the guard.
        assert "DIFFERS" not in result.stdout, result.stdout


# glibc's exp and expf, except one ulp up for |x| in one narrow range that no sample of the
# guard's can be expected to hit: only the functions' identity tells them apart.
NARROW_EXP = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <math.h>

double exp(double x) {
    static double (*real)(double);
    if (!real) real = (double (*)(double))dlsym(RTLD_NEXT, "exp");
    double a = fabs(x), y = real(x);
    return a >= 0.3 && a <= 0.3 + 0x1p-30 ? nextafter(y, INFINITY) : y;
}

float expf(float x) {
    static float (*real)(float);
    if (!real) real = (float (*)(float))dlsym(RTLD_NEXT, "expf");
    float a = fabsf(x), y = real(x);
    return a >= 0.3f && a <= 0.3f + 0x1p-20f ? nextafterf(y, INFINITY) : y;
}
"""

# Arguments around the narrow range; prints how many results differ from the process's exp.
AGAINST_PROCESS_EXP = """
    import ctypes, json, math, sys
    import numpy as np
    import tarnwick
    sys.path.insert(0, {tests!r})
    from test_rowwise import ref_softmax  # math.exp: the process's exp
    expf = ctypes.CDLL(None).expf  # the process's expf, as a call from anywhere binds it
    expf.restype, expf.argtypes = ctypes.c_float, [ctypes.c_float]

    near = 0.3 + np.arange(-1000, 1000) * 2.0**-40
    x = np.concatenate([near, -near])
    want = np.array([1.0 / (1.0 + math.exp(-v)) for v in x.tolist()])
    xf = np.float32(0.3) + np.arange(-1000, 1000, dtype=np.float32) * np.float32(2**-25)
    xf = np.concatenate([xf, -xf])
    one = np.float32(1)
    wantf = np.array([one / (one + np.float32(expf(-v))) for v in xf], np.float32)
    rows = -near.reshape(8, -1)
    rows[:, 0] = 0.0  # each row's maximum: softmax's exp(x - max) takes the arguments as they are
    print(json.dumps({{
        "sigmoid_numpy": int((tarnwick.sigmoid_numpy(x) != want).sum()),
        "sigmoid_numpy_f32": int((tarnwick.sigmoid_numpy_f32(xf) != wantf).sum()),
        "fused_softmax": int((tarnwick.fused_softmax(rows) != ref_softmax(rows)).sum()),
        "preload_in_force": math.exp(0.3) != float(np.exp(0.3)),
    }}))
"""


@pytest.mark.skipif(platform.system() != "Linux", reason="preloads a shared object")
def test_vector_path_needs_the_library_itself(tmp_path):
    """An exp and expf that differ from glibc's in one narrow range pass any sample; the vector
    path must see that they are not glibc's own and leave every value to them."""
    env = preloading(build_preload(NARROW_EXP, tmp_path))
    for level in ("avx512", "avx2", "baseline"):
        proc = run_python(AGAINST_PROCESS_EXP.format(tests=str(ROOT / "tests")),
                          env={**env, "TARNWICK_CPU": level})
        assert proc.returncode == 0, proc.stderr[-3000:]
        got = json.loads(proc.stdout)
        assert got.pop("preload_in_force")
        assert got == {"sigmoid_numpy": 0, "sigmoid_numpy_f32": 0, "fused_softmax": 0}, level
