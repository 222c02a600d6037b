#!/usr/bin/env bash
# The benchmark with OpenBLAS left to detect the processor itself: a core type or cache size
# forced from the environment would time a different kernel than users get.
#   benchmarks/run.sh [bench.py arguments]      (PYTHON=... picks the interpreter)
here=$(dirname "$0")
python=${PYTHON:-$( [[ -x $here/../.venv/bin/python ]] && echo "$here/../.venv/bin/python" || echo python3)}
exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$python" "$here/bench.py" "$@"
