# The suite on the host Python, its stubs, and its build at each lower CPU level; sourced by .ci/run.

leg_host() {
    rm -rf .venv
    local rc=0
    python3 -m venv .venv && .venv/bin/pip install -q "${werror[@]}" '.[test]' &&
        .venv/bin/python -m pytest -q tests || rc=$?
    # The suite ran the fuzz test derandomized (reproducible); once more with a fresh seed, so
    # that runs over time explore what that one never draws. The seed reproduces a failure.
    local seed=$((RANDOM * 32768 + RANDOM)) fuzz=0
    echo "fuzz test with --hypothesis-seed=$seed"
    .venv/bin/python -m pytest -q -p no:cacheprovider tests/test_fuzz.py --hypothesis-seed="$seed" ||
        fuzz=$?
    ((rc)) || rc=$fuzz
    .venv/bin/python -c 'import sys, numpy; print("host leg used Python", sys.version, "NumPy", numpy.__version__)' || true
    exit "$rc"  # legs run in a subshell of their own
}

# The installed stubs as users' type checkers see them, in the environment of the host leg.
leg_typing() {
    [[ -x .venv/bin/python ]] || { echo "the host leg's .venv is missing" >&2; return 1; }
    (cd tests/typecheck && ../../.venv/bin/python -m mypy --strict --no-incremental usage.py)
    .venv/bin/python -m mypy.stubtest tarnwick
}

# The host leg's build again, its kernels capped at each lower CPU level (the host leg ran the
# highest this processor has).
leg_cpu_levels() {
    [[ -x .venv/bin/python ]] || { echo "no host build: leg_host must run first" >&2; return 1; }
    local level
    for level in baseline avx2; do
        echo "TARNWICK_CPU=$level"
        TARNWICK_CPU=$level .venv/bin/python -m pytest -q -p no:cacheprovider tests
    done
}
