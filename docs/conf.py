"""Sphinx configuration for tarnwick's documentation (built by `.ci/legs/docs.sh`)."""

import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The version lives in one place: pyproject.toml.
with open(ROOT / "pyproject.toml", "rb") as f:
    _project = tomllib.load(f)["project"]

project = "tarnwick"
author = "the tarnwick developers"
copyright = "2026, the tarnwick developers"
release = _project["version"]
version = ".".join(release.split(".")[:2])

extensions = [
    "myst_parser",
    "sphinx.ext.napoleon",
    "autoapi.extension",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "bench.json"]
myst_heading_anchors = 3

# The API reference is read from the type stubs, which carry the docstrings editors show.
autoapi_type = "python"
autoapi_dirs = [str(ROOT / "stubs")]
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_options = ["members"]
autoapi_member_order = "bysource"
autoapi_keep_files = False
autodoc_typehints = "signature"

napoleon_numpy_docstring = True
napoleon_google_docstring = False
napoleon_use_rtype = False
# Types such as "ndarray of float64, shape (m, n)" are prose, shown as written, not links.
napoleon_use_param = False
napoleon_preprocess_types = False

# Every reference must resolve (sphinx-build -n). Names from NumPy and the standard library's
# typing have no inventory here (the build runs offline), so they are shown unlinked.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:class", r"numpy\.typing\.NDArray|numpy\.float(32|64)"),
    (r"py:class", r"(collections\.abc\.)?Sequence|(typing\.)?Supports(Float|Index)"),
    # Raised by the module but not one of its attributes (it lives in `pyo3_runtime`).
    (r"py:exc", r"PanicException"),
]

html_theme = "pydata_sphinx_theme"
html_title = f"tarnwick {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
}
html_static_path = []
