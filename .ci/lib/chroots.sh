# The Debian unstable trees the legs run in or build against; sourced by .ci/run.

chroot_dir=${TARNWICK_CHROOT:-/var/cache/tarnwick/sid-chroot}
# Beside the default CPython (3.14) the release leg tests 3.13 and 3.15 here; NumPy and
# Matplotlib publish no wheels for 3.15 yet, so Debian's serve it.
sid_packages=python3,python3-dev,python3-venv,python3-pip,python3-numpy,g++,cmake,ninja-build,ca-certificates
sid_packages+=,python3.13-dev,python3.13-venv,python3.15-dev,python3.15-venv,python3-matplotlib

unmount_chroot() {
    local m
    # Deepest first; the bind of /dev is a slave, so nothing propagates back to the host.
    for m in $(awk -v r="$chroot_dir/" 'index($2, r) == 1 { print $2 }' /proc/mounts | sort -r); do
        umount -l "$m" 2>/dev/null || true
    done
}

make_chroot() {
    local stamp="$chroot_dir/.tarnwick-stamp"
    if [[ -f $stamp && $(cat "$stamp") == "$sid_packages" ]]; then
        echo "reusing chroot $chroot_dir"
        return
    fi
    command -v mmdebstrap >/dev/null || apt_install mmdebstrap
    local mirror
    mirror=$(debian_mirror)
    [[ -n $mirror ]] || { echo "no Debian mirror in the apt sources" >&2; return 1; }
    echo "creating chroot $chroot_dir (unstable from $mirror)"
    unmount_chroot
    rm -rf --one-file-system "$chroot_dir" "$chroot_dir.new"
    mkdir -p "$(dirname "$chroot_dir")"
    local t0=$SECONDS
    mmdebstrap --quiet --variant=apt --include="$sid_packages" \
        --aptopt='Acquire::Check-Valid-Until "false"' unstable "$chroot_dir.new" "$mirror"
    echo "$sid_packages" >"$chroot_dir.new/.tarnwick-stamp"
    mv "$chroot_dir.new" "$chroot_dir"
    echo "chroot created in $((SECONDS - t0)) s"
}

# Debian unstable's arm64 Pythons and NumPy, unpacked without installing anything (nothing of it
# runs on this machine but under emulation), and tarnwick-include/python3.X: each version's
# headers with the arm64 pyconfig.h in place of Debian's dispatching one.
arm64_root=${TARNWICK_ARM64_ROOT:-/var/cache/tarnwick/arm64-sid}
arm64_packages=python3,python3-numpy,libpython3-dev,python3-numpy-dev  # also the tree's stamp
arm64_packages+=,python3.13,libpython3.13-dev,python3.15,libpython3.15-dev  # for the release wheels

make_arm64_root() {
    make_arm64_tree "$arm64_root" unstable "$arm64_packages"
}

# make_arm64_tree DIR SUITE PACKAGES: the packages of an arm64 Debian suite unpacked into DIR.
make_arm64_tree() {
    local root=$1 suite=$2 packages=$3
    local stamp="$root/.tarnwick-stamp"
    if [[ -f $stamp && $(cat "$stamp") == "$packages" ]]; then
        echo "reusing arm64 tree $root"
        return
    fi
    command -v mmdebstrap >/dev/null || apt_install mmdebstrap
    local mirror new="$root.new"
    mirror=$(debian_mirror)
    [[ -n $mirror ]] || { echo "no Debian mirror in the apt sources" >&2; return 1; }
    rm -rf --one-file-system "$root" "$new"
    mkdir -p "$(dirname "$root")"
    mmdebstrap --quiet --variant=extract --architectures=arm64 --include="$packages" \
        --aptopt='Acquire::Check-Valid-Until "false"' "$suite" "$new" "$mirror"
    # What maintainer scripts would have made: the merged-/usr links and NumPy's BLAS.
    local d lib="$new/usr/lib/aarch64-linux-gnu"
    for d in bin lib sbin; do [[ -e $new/$d ]] || ln -s "usr/$d" "$new/$d"; done
    [[ ! -e $lib/blas/libblas.so.3 ]] || ln -sf blas/libblas.so.3 "$lib/libblas.so.3"
    [[ ! -e $lib/lapack/liblapack.so.3 ]] || ln -sf lapack/liblapack.so.3 "$lib/liblapack.so.3"
    python_include_trees "$new" aarch64-linux-gnu "$new/tarnwick-include"
    echo "$packages" >"$new/.tarnwick-stamp"
    mv "$new" "$root"
}

# python_include_trees ROOT TRIPLET DEST: DEST/python3.X for every CPython whose headers ROOT
# has, with that target's pyconfig.h in place of Debian's, which picks one by the compiler's
# own target.
python_include_trees() {
    local root=$1 triplet=$2 dest=$3 config python
    mkdir -p "$dest"
    for config in "$root/usr/include/$triplet"/python3.*/pyconfig.h; do
        [[ -e $config ]] || continue
        python=$(basename "$(dirname "$config")")
        rm -rf "${dest:?}/$python"
        cp -r "$root/usr/include/$python" "$dest/$python"
        cp "$config" "$dest/$python/pyconfig.h"
    done
}
