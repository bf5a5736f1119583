"""Sphinx configuration of the chainmelt documentation.

Build with ``bash scripts/docs.sh`` (or ``sphinx-build -W --keep-going docs
build/docs``).  The package and the binary are those of the build directory
named by ``CHAINMELT_BUILD_DIR`` (default: ``build`` at the top of the source
tree): autodoc imports the package from there and the command-line reference
runs the programs' ``--help``.
"""

import os
import sys

_here = os.path.dirname(os.path.abspath(__file__))
_root = os.path.dirname(_here)
sys.path.insert(0, os.path.join(_here, "_ext"))
os.environ.setdefault("MPLBACKEND", "Agg")

from command_help import package_path  # noqa: E402

# The package as the build holds it (its Python files beside the compiled
# module), so what is documented is what was built.
sys.path.insert(0, package_path())

import chainmelt  # noqa: E402  (the version comes from the compiled module)

project = "chainmelt"
author = "the chainmelt developers"
copyright = "the chainmelt developers"
version = release = chainmelt.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.viewcode",
    "command_help",
    "notebook_cells",
    "api_coverage",
]

# Docstrings are numpydoc-style; napoleon reads them and leaves the prose of
# older free-form docstrings as it is.
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_typehints_format = "short"
autodoc_default_options: dict = {}

exclude_patterns = ["_build", "_ext"]
templates_path: list = []
html_theme = "alabaster"
html_static_path: list = []
html_theme_options = {"description": "Chain melting of lipid membranes in a lattice model"}
