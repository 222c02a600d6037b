# The release artifacts, built and checked as they will be published; sourced by .ci/run.

# tools/release/build.sh makes the sdist and, from it alone, every wheel, and checks them
# (auditwheel, twine). Then each x86-64 wheel is installed into a fresh virtual environment of
# its CPython (3.11 and 3.12 on the host, 3.13 to 3.15 in the Debian unstable chroot) and the
# suite runs against it from a copy of the sdist outside the source tree; each aarch64 wheel's
# functions run under emulation and must give the x86-64 wheels' bits.
leg_release() {
    command -v qemu-aarch64-static >/dev/null || apt_install qemu-user-static
    command -v unzip >/dev/null || apt_install unzip
    tools/release/build.sh
    release_check_sdist

    local scratch
    scratch=$(mktemp -d /tmp/tarnwick-release.XXXXXX)
    cp -r build/release/src "$scratch/src"  # tests, examples, benchmarks, tools/verify_exp
    local version python
    for version in 3.11 3.12; do
        python=$(host_python "$version") || { echo "no CPython $version on the host" >&2; return 1; }
        release_test_wheel "$python" "$version" "$scratch" ""
    done
    release_test_in_chroot "$scratch"
    release_aarch64_calls "$scratch"
    rm -rf "$scratch"
}

# Only what building and testing need; the wheels were built from it alone (build.sh).
release_check_sdist() {
    local sdist listing
    sdist=$(echo dist/tarnwick-*.tar.gz)
    listing=$(tar -tzf "$sdist")
    if grep -E '/\.ci/|/docs/_build/|\.png$|\.json$' <<<"$listing"; then
        echo "the sdist carries files nothing builds or tests with (above)" >&2
        return 1
    fi
    local needed
    for needed in CMakeLists.txt pyproject.toml src/module/module.cpp tests/conftest.py \
        tests/level_calls.py examples/demo.py benchmarks/bench.py tools/verify_exp/run.sh \
        stubs/tarnwick.pyi cmake/toolchains/zig.cmake docs/install.md; do
        grep -q "^tarnwick-[^/]*/$needed\$" <<<"$listing" || { echo "sdist lacks $needed" >&2; return 1; }
    done
    echo "sdist: $(grep -vc '/$' <<<"$listing") files, $(du -k "$sdist" | cut -f1) KiB"
}

# release_test_wheel PYTHON VERSION DIR VENV_OPTION: the suite against the wheel for VERSION,
# installed with its test extra into DIR/venv-VERSION, run from DIR/src.
release_test_wheel() {
    local python=$1 version=$2 dir=$3 venv_option=$4 wheel venv
    wheel=$(echo "$dir"/dist/tarnwick-*-cp"${version/./}"-*x86_64.whl 2>/dev/null || true)
    [[ -f $wheel ]] || wheel=$(echo "$repo"/dist/tarnwick-*-cp"${version/./}"-*x86_64.whl)
    venv=$dir/venv-$version
    rm -rf "$venv"
    "$python" -m venv $venv_option "$venv"
    "$venv/bin/pip" install -q "tarnwick[test] @ file://$wheel"
    (cd "$dir/src" && "$venv/bin/python" -c '
import os, sys, numpy, tarnwick
assert tarnwick.__file__.startswith(sys.prefix), tarnwick.__file__
print("testing", os.path.basename(sys.argv[1]), "on Python", sys.version.split()[0],
      "with NumPy", numpy.__version__, "from", os.path.dirname(numpy.__file__))' "$wheel")
    (cd "$dir/src" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests)
}

# 3.13 and 3.14 with NumPy's wheels; 3.15 with Debian's NumPy and Matplotlib, for which PyPI
# has no 3.15 wheels yet.
release_test_in_chroot() {
    local scratch=$1 inside=/srv/tarnwick-release
    make_chroot
    mount -t proc proc "$chroot_dir/proc"
    mount --rbind /dev "$chroot_dir/dev"
    mount --make-rslave "$chroot_dir/dev"
    mkdir -p "$chroot_dir$PIP_CACHE_DIR"
    mount --bind "$PIP_CACHE_DIR" "$chroot_dir$PIP_CACHE_DIR"
    cp -L --remove-destination /etc/resolv.conf "$chroot_dir/etc/resolv.conf"
    # pip may be pointed at the host's CA bundle (PIP_CERT); the same path then works inside.
    [[ -r /etc/ssl/certs/ca-certificates.crt ]] &&
        cp -L /etc/ssl/certs/ca-certificates.crt "$chroot_dir/etc/ssl/certs/ca-certificates.crt"
    rm -rf "$chroot_dir$inside"
    mkdir -p "$chroot_dir$inside/dist"
    cp -r "$scratch/src" "$chroot_dir$inside/src"
    rm -rf "$chroot_dir$inside/src/build"  # the host's CMake trees name the host's paths
    cp dist/*x86_64.whl "$chroot_dir$inside/dist/"
    local rc=0
    chroot "$chroot_dir" /usr/bin/env PATH=/usr/local/bin:/usr/bin:/bin HOME=/root \
        PIP_CACHE_DIR="$PIP_CACHE_DIR" ${PIP_CERT:+PIP_CERT="$PIP_CERT"} \
        bash -euo pipefail -c "
            repo=$inside
            $(declare -f release_test_wheel)
            release_test_wheel python3.13 3.13 $inside ''
            release_test_wheel python3.14 3.14 $inside ''
            release_test_wheel python3.15 3.15 $inside --system-site-packages" || rc=$?
    unmount_chroot
    return "$rc"
}

# Every aarch64 wheel's level calls under qemu: 3.11 in Debian 12's arm64 tree, the others in
# unstable's, with NumPy from PyPI where Debian has none for that version; the bits must be the
# x86-64 wheel's, at its baseline and at this processor's highest level.
release_aarch64_calls() {
    local scratch=$1 calls=$scratch/calls
    mkdir -p "$calls"
    local host_venv=$scratch/venv-3.11
    RAYON_NUM_THREADS=2 TARNWICK_CPU=baseline "$host_venv/bin/python" "$scratch/src/tests/level_calls.py" \
        >"$calls/x86_64-baseline.json"
    RAYON_NUM_THREADS=2 "$host_venv/bin/python" "$scratch/src/tests/level_calls.py" >"$calls/x86_64.json"
    cmp "$calls/x86_64-baseline.json" "$calls/x86_64.json"
    local wheel version root site
    for wheel in dist/*aarch64.whl; do
        version=$(sed -E 's/.*-cp3([0-9]+)-.*/3.\1/' <<<"$wheel")
        root=$arm64_root
        [[ -x $root/usr/bin/python$version ]] || root=$arm64_bookworm_root
        site=$scratch/site-aarch64-$version
        mkdir -p "$site"
        "$release_venv/bin/python" -m zipfile -e "$wheel" "$site"
        if ! compgen -G "$root/usr/lib/python3/dist-packages/numpy/_core/_multiarray_umath.cpython-${version/./}-*" >/dev/null; then
            "$release_venv/bin/pip" download -q --no-deps --only-binary=:all: -d "$scratch/numpy-$version" \
                --platform manylinux_2_28_aarch64 --python-version "$version" --implementation cp numpy
            "$release_venv/bin/python" -m zipfile -e "$scratch/numpy-$version"/numpy-*.whl "$site"
        fi
        RAYON_NUM_THREADS=2 PYTHONPATH="$site" qemu-aarch64-static -L "$root" "$root/usr/bin/python$version" \
            "$scratch/src/tests/level_calls.py" >"$calls/aarch64-$version.json"
        "$release_venv/bin/python" - "$calls/aarch64-$version.json" "$calls/x86_64.json" "$(basename "$wheel")" <<'PY'
import json, sys
arm, host = (json.load(open(path)) for path in sys.argv[1:3])
differing = sorted(name for name in host if arm.get(name) != host[name])
print(f"{sys.argv[3]} under emulation: {len(arm)} calls, {len(differing)} differ from x86-64's bits")
for name in differing:
    print("  ", name, arm.get(name), file=sys.stderr)
sys.exit(1 if differing or len(arm) != len(host) else 0)
PY
    done
}
