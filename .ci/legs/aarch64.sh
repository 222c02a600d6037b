# The aarch64 cross build, run under emulation; sourced by .ci/run.

# Cross-compiled and linked, then run under user-mode emulation: the level calls of every
# function must give the bits the host build gives at its portable level (when the host leg has
# left its build), and none of our symbols may be left undefined.
leg_aarch64() {
    command -v aarch64-linux-gnu-g++ >/dev/null || apt_install g++-aarch64-linux-gnu
    command -v qemu-aarch64-static >/dev/null || apt_install qemu-user-static
    make_arm64_root
    local python soabi numpy build=build/aarch64
    python=$(readlink "$arm64_root/usr/bin/python3")  # the default of several, e.g. python3.14
    soabi=cpython-${python#python}-aarch64-linux-gnu
    soabi=${soabi/./}
    numpy=$(dirname "$(dirname "$(find "$arm64_root/usr" -path '*/numpy/_core/include/numpy/ndarrayobject.h' | head -1)")")
    rm -rf .venv-cross "$build"
    python3 -m venv .venv-cross
    .venv-cross/bin/pip install -q cmake ninja
    .venv-cross/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$repo/.venv-cross/bin/ninja" \
        --toolchain cmake/toolchains/aarch64-linux-gnu.cmake -DTARNWICK_WERROR=ON \
        -DPython_INCLUDE_DIR="$arm64_root/tarnwick-include/$python" -DPython_NumPy_INCLUDE_DIR="$numpy" \
        -DPython_SOABI="$soabi"
    .venv-cross/bin/cmake --build "$build"

    local module="$build/tarnwick.$soabi.so" symbols exported missing
    aarch64-linux-gnu-readelf -h "$module" | grep -q 'Machine: *AArch64'
    symbols=$(aarch64-linux-gnu-readelf --dyn-syms -W "$module")
    exported=$(awk '$5 == "GLOBAL" && $7 != "UND" { print $8 }' <<<"$symbols" | sort -u | tr '\n' ' ')
    missing=$(awk '$7 == "UND" && $8 ~ /tarnwick/ { print $8 }' <<<"$symbols")
    echo "built $module, exporting: $exported"
    [[ -z $missing ]] || { echo "undefined in the module: $missing" >&2; return 1; }
    [[ $exported == "PyInit_tarnwick " ]]

    RAYON_NUM_THREADS=2 PYTHONPATH="$build" qemu-aarch64-static -L "$arm64_root" \
        "$arm64_root/usr/bin/python3" tests/level_calls.py >"$build/calls.json"
    if [[ -x .venv/bin/python ]]; then
        TARNWICK_CPU=baseline RAYON_NUM_THREADS=2 .venv/bin/python tests/level_calls.py >"$build/host-calls.json"
    else
        echo "no host build to compare with (leg_host did not run)"
        cp "$build/calls.json" "$build/host-calls.json"
    fi
    python3 - "$build/calls.json" "$build/host-calls.json" <<'PY'
import json, sys
arm, host = (json.load(open(path)) for path in sys.argv[1:])
differing = sorted(name for name in host if arm.get(name) != host[name])
print(f"aarch64 under emulation: {len(arm)} calls, {len(differing)} differ from the host's bits")
for name in differing:
    print("  ", name, arm.get(name), file=sys.stderr)
sys.exit(1 if differing or len(arm) != len(host) else 0)
PY
}
