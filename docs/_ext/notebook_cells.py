"""The ``notebook-cells`` directive: a notebook's cells as a page of the guide.

    .. notebook-cells:: ../../examples/notebooks/tour.ipynb

The path is relative to the page.  Markdown cells become paragraphs (their
headings rubrics, their inline code literals), code cells Python code
blocks; outputs are not shown (the notebooks are kept without them).  Only
the little Markdown the project's notebooks use is understood: headings,
paragraphs and inline code.
"""

import json
import os
import re

from docutils import nodes
from docutils.parsers.rst import Directive
from docutils.statemachine import StringList
from sphinx.errors import ExtensionError

_CODE = re.compile(r"`([^`]+)`")


def _markdown(text):
    """reStructuredText lines of a Markdown cell."""
    out = []
    for line in text.splitlines():
        heading = re.match(r"#+\s+(.*)", line)
        if heading:
            out += ["", ".. rubric:: " + heading.group(1).replace("`", ""), ""]
            continue
        line = line.replace("\\", "\\\\").replace("*", "\\*").replace("|", "\\|")
        out.append(_CODE.sub(lambda m: "\\ ``%s``\\ " % m.group(1), line))
    return out + [""]


def _code(text):
    return [".. code-block:: python", ""] + ["   " + line for line in text.splitlines()] + [""]


class NotebookCells(Directive):
    required_arguments = 1
    has_content = False

    def run(self):
        env = self.state.document.settings.env
        page_dir = os.path.dirname(env.doc2path(env.docname))
        path = os.path.normpath(os.path.join(page_dir, self.arguments[0]))
        env.note_dependency(path)
        try:
            with open(path, encoding="utf-8") as f:
                cells = json.load(f)["cells"]
        except (OSError, ValueError, KeyError) as e:
            raise ExtensionError("notebook-cells: %s: %s" % (path, e)) from e
        lines = []
        for cell in cells:
            source = "".join(cell.get("source", []))
            if cell.get("cell_type") == "markdown":
                lines += _markdown(source)
            elif cell.get("cell_type") == "code":
                lines += _code(source)
        box = nodes.container()
        self.state.nested_parse(StringList(lines, path), self.content_offset, box)
        return box.children


def setup(app):
    app.add_directive("notebook-cells", NotebookCells)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
