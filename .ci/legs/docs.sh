# The documentation site, built with warnings as errors and every cross-reference checked
# (sphinx-build -W --keep-going -n), and every code example of the README, the pages and the
# stubs run as doctests. Uses the host leg's .venv (building it if this leg runs alone).
leg_docs() {
    if [[ ! -x .venv/bin/python ]]; then
        python3 -m venv .venv
        .venv/bin/pip install -q "${werror[@]}" '.[test]'
    fi
    # The docs extra alone: installing '.[docs]' would build the module once more.
    local requirements
    mapfile -t requirements < <(.venv/bin/python -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["docs"]))')
    ((${#requirements[@]})) || { echo "no docs extra in pyproject.toml" >&2; return 1; }
    .venv/bin/pip install -q "${requirements[@]}"
    rm -rf docs/_build
    .venv/bin/sphinx-build -W --keep-going -n -q -b html docs docs/_build/html
    # The API reference, generated from the stubs, documents every function of the module.
    .venv/bin/python - <<'PY'
import re, sys
import tarnwick
page = open("docs/_build/html/api/tarnwick/index.html").read()
documented = set(re.findall(r'id="tarnwick\.(\w+)"', page))
missing = sorted(set(tarnwick.__all__) - documented)
print(f"docs: API page documents {len(documented & set(tarnwick.__all__))} of {len(tarnwick.__all__)} functions")
sys.exit(f"not in the API reference: {', '.join(missing)}" if missing else 0)
PY
    .venv/bin/python -m pytest -q -p no:cacheprovider tests/test_docs.py
}
