# The suite against NumPy 1.x; sourced by .ci/run.

# One build, run against NumPy 1.x: the module is compiled with NumPy 2's headers and must work
# with either at run time.
leg_numpy1() {
    rm -rf .venv-numpy1 dist
    python3 -m venv .venv-numpy1
    .venv-numpy1/bin/pip install -q 'numpy==1.26.4' pytest hypothesis
    .venv-numpy1/bin/pip wheel -q --no-deps -w dist .
    .venv-numpy1/bin/pip install -q --no-deps dist/tarnwick-*.whl
    .venv-numpy1/bin/python -c 'import sys, numpy; print("NumPy 1 leg used Python", sys.version, "NumPy", numpy.__version__)'
    .venv-numpy1/bin/python -m pytest -q -p no:cacheprovider tests
}
