# The suite on CPython 3.14 in a Debian unstable chroot; sourced by .ci/run.

leg_chroot() {
    make_chroot
    mount -t proc proc "$chroot_dir/proc"
    mount --rbind /dev "$chroot_dir/dev"
    mount --make-rslave "$chroot_dir/dev"
    cp -L --remove-destination /etc/resolv.conf "$chroot_dir/etc/resolv.conf"
    # pip may be pointed at the host's CA bundle (PIP_CERT); the same path then works inside.
    [[ -r /etc/ssl/certs/ca-certificates.crt ]] &&
        cp -L /etc/ssl/certs/ca-certificates.crt "$chroot_dir/etc/ssl/certs/ca-certificates.crt"
    rm -rf "$chroot_dir/srv/tarnwick"
    mkdir -p "$chroot_dir/srv/tarnwick"
    tar -C "$repo" --exclude='./.venv*' --exclude=./.git --exclude=./build --exclude=./_inst -cf - . |
        tar -C "$chroot_dir/srv/tarnwick" -xf -
    local rc=0
    chroot "$chroot_dir" /usr/bin/env PATH=/usr/local/bin:/usr/bin:/bin HOME=/root \
        bash -euo pipefail -c '
            cd /srv/tarnwick
            python3 --version
            python3 -c "import sys; sys.exit(sys.version_info[:2] != (3, 14))" ||
                { echo "expected CPython 3.14 in the chroot" >&2; exit 1; }
            python3 -m venv --system-site-packages .venv
            .venv/bin/pip install -q ".[test]"
            .venv/bin/python -c "import sys, numpy; print(\"chroot leg used Python\", sys.version, \"NumPy\", numpy.__version__, \"from\", numpy.__file__)"
            .venv/bin/python -m pytest -q tests' || rc=$?
    unmount_chroot
    exit "$rc"  # legs run in a subshell of their own
}
