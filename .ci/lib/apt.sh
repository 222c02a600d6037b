# Debian packages and the mirror this machine uses; sourced by .ci/run.

apt_updated=
apt_install() {
    [[ -n $apt_updated ]] || { apt-get -qq -o DPkg::Lock::Timeout=600 update; apt_updated=1; }
    apt-get -qq -y -o DPkg::Lock::Timeout=600 install "$@" >/dev/null
}

# The Debian mirror this machine already uses (first non-security entry of its apt sources).
debian_mirror() {
    local f
    for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list; do
        [[ -r $f ]] || continue
        awk '/^URIs:/ { for (i = 2; i <= NF; i++) print $i }
             $1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' "$f"
    done | awk '!/-security/ && !found { print; found = 1 }'
}
