# The format check; sourced by .ci/run.

leg_format() {
    # Debian 12's default clang-format (14) mangles requires-clauses; 19 is in the same archive.
    local cf=clang-format-19
    command -v $cf >/dev/null || apt_install $cf
    local files
    mapfile -t files < <(find src tests -name '*.cpp' -o -name '*.hpp' | sort)
    ((${#files[@]})) || { echo "format: no sources" >&2; return 1; }
    if ! $cf --dry-run --Werror "${files[@]}" 2>/tmp/tarnwick-format.log; then
        echo "$cf would change these files:" >&2
        grep -oE '^[^ :]+\.[ch]pp' /tmp/tarnwick-format.log | sort -u | sed 's/^/  /' >&2
        return 1
    fi
    echo "format: ${#files[@]} files clean ($($cf --version))"
}
