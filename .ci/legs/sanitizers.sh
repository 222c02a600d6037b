# The suite under AddressSanitizer and UndefinedBehaviorSanitizer; sourced by .ci/run.

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer; a single
# report, in the test process or in any interpreter it starts, fails the leg. Tests that measure
# resident memory run apart with ASan's quarantine off; tests that ask for terabytes on purpose
# are skipped (ASan aborts on such a request instead of failing it).
leg_sanitizers() {
    local venv=.venv-san reports
    rm -rf "$venv"
    reports=$(mktemp -d)
    python3 -m venv "$venv"
    local flags="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
    "$venv"/bin/pip install -q -C cmake.build-type=Debug -C build-dir=build/san \
        -C "cmake.define.CMAKE_CXX_FLAGS=$flags" \
        -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" '.[test]'
    local preload asan_options
    preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    asan_options=detect_leaks=0:allocator_may_return_null=1:log_path=$reports/asan
    local rc=0
    run_sanitized() {
        env LD_PRELOAD="$preload" ASAN_OPTIONS="$1" \
            UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan \
            "$venv"/bin/python -m pytest -q -p no:cacheprovider "${@:2}" tests
    }
    run_sanitized "$asan_options" -m "not memory_growth" || rc=$?
    run_sanitized "$asan_options:quarantine_size_mb=0" -m memory_growth || rc=$?
    if compgen -G "$reports/*" >/dev/null; then
        echo "sanitizer reports:" >&2
        cat "$reports"/* >&2
        rc=1
    fi
    rm -rf "$reports"
    exit "$rc"  # legs run in a subshell of their own
}
