#!/usr/bin/env bash
# Builds tools/verify_exp/verify against the exponential sources and runs it:
#   tools/verify_exp/run.sh [which | doubles N | floats | bench | all]
# `all` is the one-off check: 10^9 doubles and every float (minutes on two processors).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${VERIFY_EXP_BUILD:-$root/build/verify_exp}
mkdir -p "$out"
cxx=${CXX:-g++}
flags=(-O2 -std=c++20 -pthread -ffp-contract=off -fno-math-errno -Wall -Wextra -I"$root/src")
objects=()
for src in "$root"/src/core/exp/*.cpp "$root/src/core/cpu.cpp" "$root/tools/verify_exp/verify.cpp"; do
    level_flags=()
    case $src in
        *_avx2.cpp) level_flags=(-mavx2 -mfma) ;;
        *_avx512.cpp) level_flags=(-mavx2 -mfma -mavx512f -mavx512dq -mavx512bw -mavx512vl) ;;
    esac
    if [[ $src == *_avx*.cpp && $(uname -m) != x86_64 ]]; then continue; fi
    obj=$out/$(basename "${src%.cpp}").o
    "$cxx" "${flags[@]}" "${level_flags[@]}" -c "$src" -o "$obj"
    objects+=("$obj")
done
"$cxx" -pthread "${objects[@]}" -o "$out/verify" -lm
if [[ ${1:-which} == all ]]; then
    "$out/verify" which
    "$out/verify" doubles 1000000000
    "$out/verify" floats
else
    "$out/verify" "$@"
fi
