"""Sphinx configuration of the halfmoon documentation.

The API pages document the installed package (its compiled modules live only there), so build
with ``tools/build_docs.sh``, which installs the package with its ``docs`` extra first. The
tutorials are the Python scripts in ``examples/``: sphinx-gallery runs each one during the build
and turns its comment blocks, code, printed output and figures into a page.
"""

from __future__ import annotations

import halfmoon

project = "halfmoon"
author = "the halfmoon developers"
copyright = "the halfmoon developers"
release = halfmoon.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "sphinx.ext.viewcode",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

exclude_patterns = ["_build"]
html_theme = "alabaster"
html_static_path: list[str] = []

# ---- API pages: autodoc reads the docstrings, numpydoc parses their sections -----------------
autodoc_default_options = {"members": True, "member-order": "bysource"}
# The types are written in the docstrings' Parameters sections; annotations in the signatures
# would repeat them, and NumPy's ArrayLike would expand into a union of a dozen types.
autodoc_typehints = "none"
# Members are documented by autodoc's :members: on each module page; numpydoc's own member
# tables would list them a second time.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# ---- tutorials: the scripts in examples/ run at every build ----------------------------------
sphinx_gallery_conf = {
    "examples_dirs": "../examples",
    "gallery_dirs": "tutorials",
    # Every script is a tutorial that runs (not only files named plot_*).
    "filename_pattern": r"\.py$",
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "remove_config_comments": True,
    "min_reported_time": 1,
    # A tutorial that raises fails the build.
    "only_warn_on_example_error": False,
    "abort_on_example_error": True,
}
