# The suite built with clang; sourced by .ci/run.

leg_clang() {
    # The newest clang in Debian 12's own archive.
    command -v clang++-19 >/dev/null || apt_install clang-19
    rm -rf .venv-clang
    python3 -m venv .venv-clang
    CC=clang-19 CXX=clang++-19 .venv-clang/bin/pip install -q "${werror[@]}" '.[test]'
    .venv-clang/bin/python -m pytest -q -p no:cacheprovider tests
}
