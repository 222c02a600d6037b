"""Every code example a user reads runs: the ```python blocks of the README and of the
documentation pages (in page order, one namespace per page; `>>>` blocks are doctests whose
output must match), and the Examples of the stubs' docstrings that editors and the API reference
show."""

import ast
import doctest
import importlib.util
import re
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = sorted([ROOT / "README.md", *(ROOT / "docs").rglob("*.md"), *(ROOT / "docs").rglob("*.rst")])
PAGES = [p for p in PAGES if "_build" not in p.parts]
STUBS = ROOT / "stubs" / "tarnwick.pyi"

FENCE = re.compile(r"^(?P<indent>[ \t]*)(?P<fence>```+)(?P<lang>[^\n`]*)\n(?P<body>.*?)^(?P=indent)(?P=fence)[ \t]*$",
                   re.S | re.M)
RST_BLOCK = re.compile(r"^\.\. code-block:: python\n\n(?P<body>(?:[ \t]+.*\n|\n)+)", re.M)
# Languages that look like Python but would not be run: a page must say `python`.
NOT_RUN = {"py", "python3", "pycon", "ipython", "ipython3"}
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def blocks(page: Path) -> list[tuple[int, str]]:
    """(line, code) of every Python block of a page, in order."""
    text = page.read_text()
    found = []
    for m in FENCE.finditer(text):
        lang = m["lang"].strip().strip("{}")
        if lang in NOT_RUN:
            pytest.fail(f"{page.name}:{text.count(chr(10), 0, m.start()) + 1}: a ```{lang} "
                        "block would not run; mark it ```python (or ```console for a shell)")
        if lang == "python":
            body = "\n".join(line[len(m["indent"]):] for line in m["body"].splitlines())
            found.append((text.count("\n", 0, m.start()) + 2, body))
    if page.suffix == ".rst":
        for m in RST_BLOCK.finditer(text):
            found.append((text.count("\n", 0, m.start()) + 3, textwrap.dedent(m["body"])))
    return sorted(found)


def missing_modules(code: str) -> list[str]:
    """Top-level modules the code imports that are not installed here."""
    prompt = r"^\s*(?:>>> |\.\.\. )?"
    tops = {m[1].split(".")[0] for m in re.finditer(prompt + r"from\s+([\w.]+)\s+import", code, re.M)}
    for m in re.finditer(prompt + r"import\s+([^#\n]+)", code, re.M):
        tops |= {part.split()[0].split(".")[0] for part in m[1].split(",") if part.strip()}
    return sorted(t for t in tops if importlib.util.find_spec(t) is None)


def run_example(code: str, namespace: dict, name: str, line: int) -> None:
    if ">>>" in code:
        test = doctest.DocTestParser().get_doctest(code, namespace, name, name, line)
        runner = doctest.DocTestRunner(optionflags=FLAGS)
        out: list[str] = []
        runner.run(test, out=out.append, clear_globs=False)
        namespace.update(test.globs)  # a DocTest works on a copy; later blocks build on it
        if runner.failures:
            pytest.fail("".join(out), pytrace=False)
    else:
        exec(compile(code, f"{name}:{line}", "exec"), namespace)


@pytest.mark.parametrize("page", PAGES, ids=[str(p.relative_to(ROOT)) for p in PAGES])
def test_page_examples_run(page):
    found = blocks(page)
    if not found:
        pytest.skip("no Python examples on this page")
    missing = missing_modules("\n".join(code for _, code in found))
    if missing:
        pytest.skip(f"needs {', '.join(missing)}")
    namespace: dict = {"__name__": f"example:{page.name}"}
    for line, code in found:
        run_example(code, namespace, str(page.relative_to(ROOT)), line)


def stub_docstrings() -> list[tuple[str, int, str]]:
    tree = ast.parse(STUBS.read_text())
    found = [("tarnwick", 1, ast.get_docstring(tree, clean=True) or "")]
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found.append((node.name, node.lineno, ast.get_docstring(node, clean=True) or ""))
    return found


DOCSTRINGS = stub_docstrings()
EXAMPLES = [d for d in DOCSTRINGS if ">>>" in d[2]]


@pytest.mark.parametrize("name, line, doc", EXAMPLES, ids=[d[0] for d in EXAMPLES])
def test_stub_examples_run(name, line, doc):
    run_example(doc, {}, f"tarnwick.pyi:{name}", line)


def test_every_function_is_documented_in_the_stubs():
    import tarnwick

    documented = {name: doc for name, _, doc in DOCSTRINGS}
    for name in tarnwick.__all__:
        doc = documented.get(name, "")
        for section in ("Parameters\n----------", "Returns\n-------", "Raises\n------",
                        "Notes\n-----"):
            assert section in doc, f"{name}: no {section.splitlines()[0]} section"
        for param in getattr(tarnwick, name).__text_signature__.strip("()").split(", "):
            assert re.search(rf"^{param} : ", doc, re.M), f"{name}: parameter {param} undocumented"


def test_runtime_docstrings_are_left_as_they_are():
    # Editors show the stubs' docstrings; the module's own stay the fixed texts.
    import tarnwick

    assert tarnwick.relu_numpy.__doc__ == ("FUSED OPERATION: ReLU activation (max(0, x))\n\n"
                                           "Applies ReLU in-place for maximum efficiency")
    assert tarnwick.__doc__ == "Python module definition"
