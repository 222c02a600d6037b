#!/usr/bin/env bash
# Builds the verify_exp target (CMake, the core alone: no Python needed) and runs it:
#   tools/verify_exp/run.sh [which | doubles N | floats [STRIDE] | guard | bench | sample | all]
# `all` is the one-off check: 10^9 doubles and every float (minutes on two processors);
# `sample` the suite's (ctest's exp.sample): the guard's own check, 10^6 doubles and 10^6 float
# bit patterns.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${VERIFY_EXP_BUILD:-$root/build/tests}
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_MODULE=OFF -DBUILD_TESTING=ON >/dev/null
cmake --build "$out" --target verify_exp --parallel
case ${1:-which} in
    all) "$out/verify_exp" which && "$out/verify_exp" doubles 1000000000 && "$out/verify_exp" floats ;;
    *) "$out/verify_exp" "$@" ;;
esac
