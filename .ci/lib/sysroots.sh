# The CPython headers every release wheel is built against, one tree per target, and the
# interpreters that test them; sourced by .ci/run and tools/release/build.sh.
#   x86-64  3.11, 3.12: the host's interpreters (pyenv's builds here)
#           3.13, 3.14, 3.15: Debian unstable, the chroot the release leg tests them in
#   aarch64 3.13, 3.14, 3.15: Debian unstable's arm64 tree (make_arm64_root)
#           3.11: Debian 12's arm64 tree below
# No Debian release has CPython 3.12 for arm64, so there is no aarch64 3.12 wheel: nothing
# here could run it.

release_headers=${TARNWICK_RELEASE_HEADERS:-/var/cache/tarnwick/python-headers}

arm64_bookworm_root=${TARNWICK_ARM64_BOOKWORM_ROOT:-/var/cache/tarnwick/arm64-bookworm}
arm64_bookworm_packages=python3.11,libpython3.11-dev,libstdc++6  # NumPy's wheels need libstdc++

make_arm64_bookworm_root() {
    make_arm64_tree "$arm64_bookworm_root" bookworm "$arm64_bookworm_packages"
}

# host_python VERSION: the path of an interpreter of this CPython version on the host, if any.
host_python() {
    local version=$1 candidate
    for candidate in "$(command -v "python$version" || true)" \
        "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version"; do
        [[ -n $candidate && -x $candidate ]] || continue
        if [[ $("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) == "$version" ]]; then
            echo "$candidate"
            return
        fi
    done
    return 1
}

# release_headers_for ARCH VERSION: the directory holding that target's Python.h.
release_headers_for() {
    echo "$release_headers/$1/python$2"
}

# Gathers every tree above into $release_headers/ARCH/python3.X (made anew each time: cheap).
make_release_headers() {
    local version python include
    rm -rf "$release_headers"
    mkdir -p "$release_headers"/{x86_64,aarch64}
    python_include_trees "$chroot_dir" x86_64-linux-gnu "$release_headers/x86_64"
    python_include_trees "$arm64_root" aarch64-linux-gnu "$release_headers/aarch64"
    python_include_trees "$arm64_bookworm_root" aarch64-linux-gnu "$release_headers/aarch64"
    for version in 3.11 3.12; do
        python=$(host_python "$version") || continue
        include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
        [[ -f $include/Python.h ]] && cp -r "$include" "$release_headers/x86_64/python$version"
    done
    echo "CPython headers for the release: $(cd "$release_headers" && echo */python3.* | tr ' ' ',')"
}
