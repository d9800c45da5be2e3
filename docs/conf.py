"""Sphinx configuration of tarnel's documentation site.

Build it with ``bash scripts/build-docs.sh`` (HTML in docs/_build/html).
"""

from __future__ import annotations

import re
import shutil
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
GENERATED = DOCS / "_generated"

project = "tarnel"
author = "the tarnel developers"
copyright = "the tarnel developers"


def _version() -> str:
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    match = re.search(r'^version\s*=\s*"([^"]+)"', text, re.MULTILINE)
    return match.group(1) if match else "unknown"


release = version = _version()

extensions = ["myst_parser", "autoapi.extension"]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
exclude_patterns = ["_build", "README.md"]
# Files pulled in from the repository root may skip heading levels.
suppress_warnings = ["myst.header"]

html_theme = "furo"
html_title = f"tarnel {release}"

# The API reference is read statically from the package: the typed stub of
# the native module and the Python modules, so no build of the extension is
# needed and the English docstrings of the stub win over the native ones.
autoapi_type = "python"
autoapi_dirs = [str(ROOT / "src" / "tarnel")]
autoapi_root = "reference/api"
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_options = ["members", "undoc-members", "show-inheritance", "imported-members"]
autoapi_keep_files = False
autoapi_add_toctree_entry = False
autoapi_member_order = "groupwise"
