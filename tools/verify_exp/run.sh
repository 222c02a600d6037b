#!/usr/bin/env bash
# Builds tools/verify_exp/verify against the exponential sources and runs it:
#   tools/verify_exp/run.sh [which | doubles N | floats [STRIDE] | guard | bench | sample | all]
# `all` is the one-off check: 10^9 doubles and every float (minutes on two processors);
# `sample` the suite's: the guard's own check, 10^6 doubles and 10^6 float bit patterns.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${VERIFY_EXP_BUILD:-$root/build/verify_exp}
mkdir -p "$out"
cxx=${CXX:-g++}
flags=(-O2 -std=c++20 -pthread -ffp-contract=off -fno-math-errno -Wall -Wextra -I"$root/src")
objects=()
pids=()
for src in "$root"/src/core/exp/*.cpp "$root/src/core/dispatch/cpu.cpp" \
    "$root/src/core/platform/fp_control.cpp" "$root/src/core/platform/library_symbols.cpp" \
    "$root/tools/verify_exp/verify.cpp"; do
    level_flags=()
    case $src in
        *_avx2.cpp | *_avx512.cpp) [[ $(uname -m) == x86_64 ]] || continue ;;&
        *_avx2.cpp) level_flags=(-mavx2 -mfma) ;;
        *_avx512.cpp) level_flags=(-mavx2 -mfma -mavx512f -mavx512dq -mavx512bw -mavx512vl) ;;
    esac
    obj=$out/$(basename "${src%.cpp}").o
    "$cxx" "${flags[@]}" "${level_flags[@]}" -c "$src" -o "$obj" &
    pids+=($!)
    objects+=("$obj")
done
for pid in "${pids[@]}"; do wait "$pid"; done
"$cxx" -pthread "${objects[@]}" -o "$out/verify" -lm -ldl
case ${1:-which} in
    all) "$out/verify" which && "$out/verify" doubles 1000000000 && "$out/verify" floats ;;
    sample) "$out/verify" which && "$out/verify" guard && "$out/verify" doubles 1000000 &&
        "$out/verify" floats 4099 ;;
    *) "$out/verify" "$@" ;;
esac
