# The Debian unstable trees the legs run in or build against; sourced by .ci/run.

chroot_dir=${TARNWICK_CHROOT:-/var/cache/tarnwick/sid-chroot}
sid_packages=python3,python3-dev,python3-venv,python3-pip,python3-numpy,g++,cmake,ninja-build,ca-certificates

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

# Debian unstable's arm64 Python and NumPy, unpacked without installing anything (nothing of it
# runs on this machine but under emulation), and tarnwick-include/python3.X: its headers with the
# arm64 pyconfig.h in place of Debian's dispatching one.
arm64_root=${TARNWICK_ARM64_ROOT:-/var/cache/tarnwick/arm64-sid}
arm64_packages=python3,python3-numpy,libpython3-dev,python3-numpy-dev  # also the tree's stamp

make_arm64_root() {
    local stamp="$arm64_root/.tarnwick-stamp"
    if [[ -f $stamp && $(cat "$stamp") == "$arm64_packages" ]]; then
        echo "reusing arm64 tree $arm64_root"
        return
    fi
    command -v mmdebstrap >/dev/null || apt_install mmdebstrap
    local mirror new="$arm64_root.new"
    mirror=$(debian_mirror)
    [[ -n $mirror ]] || { echo "no Debian mirror in the apt sources" >&2; return 1; }
    rm -rf --one-file-system "$arm64_root" "$new"
    mkdir -p "$(dirname "$arm64_root")"
    mmdebstrap --quiet --variant=extract --architectures=arm64 --include="$arm64_packages" \
        --aptopt='Acquire::Check-Valid-Until "false"' unstable "$new" "$mirror"
    # What maintainer scripts would have made: the merged-/usr links and NumPy's BLAS.
    local d
    for d in bin lib sbin; do [[ -e $new/$d ]] || ln -s "usr/$d" "$new/$d"; done
    ln -sf blas/libblas.so.3 "$new/usr/lib/aarch64-linux-gnu/libblas.so.3"
    ln -sf lapack/liblapack.so.3 "$new/usr/lib/aarch64-linux-gnu/liblapack.so.3"
    local config python
    config=$(find "$new/usr/include/aarch64-linux-gnu" -path '*/python3.*/pyconfig.h' | sort -V | tail -1)
    python=$(basename "$(dirname "$config")")
    mkdir -p "$new/tarnwick-include"
    cp -r "$new/usr/include/$python" "$new/tarnwick-include/$python"
    cp "$config" "$new/tarnwick-include/$python/pyconfig.h"
    echo "$arm64_packages" >"$new/.tarnwick-stamp"
    mv "$new" "$arm64_root"
}
