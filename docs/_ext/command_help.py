"""The ``command-help`` directive: the ``--help`` text of a command, run at build time.

    .. command-help:: chainmelt run --help

``chainmelt`` is the binary in ``$CHAINMELT_BUILD_DIR``; ``python3 -m chainmelt``
runs that build's package with the same interpreter as Sphinx.  A
command that fails or prints nothing is a build error, so the reference can
never show a stale or missing text.
"""

import os
import shlex
import subprocess
import sys

from docutils import nodes
from docutils.parsers.rst import Directive
from sphinx.errors import ExtensionError

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def build_dir():
    """The build directory: ``$CHAINMELT_BUILD_DIR``, by default ``build`` in the source tree."""
    return os.path.join(_ROOT, os.environ.get("CHAINMELT_BUILD_DIR", "build"))


def package_path():
    """The directory to import ``chainmelt`` from: the build's copy of the package
    (``BUILD/python``, the Python files beside the compiled module), or the source
    tree's ``python`` when the build has no copy."""
    built = os.path.join(build_dir(), "python")
    if os.path.isdir(os.path.join(built, "chainmelt")):
        return built
    return os.path.join(_ROOT, "python")


def _argv(words):
    if words[0] == "chainmelt":
        return [os.path.join(build_dir(), "chainmelt")] + words[1:]
    if words[:3] == ["python3", "-m", "chainmelt"]:
        return [sys.executable] + words[1:]
    raise ExtensionError("command-help: expected a 'chainmelt' or 'python3 -m chainmelt' "
                         "command, got %r" % " ".join(words))


def help_text(command):
    """The standard output of ``command`` (a string), at a fixed width of 80 columns."""
    env = dict(os.environ, COLUMNS="80", LC_ALL="C.UTF-8", MPLBACKEND="Agg")
    env["PYTHONPATH"] = os.pathsep.join(
        [package_path()] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    argv = _argv(shlex.split(command))
    try:
        done = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, timeout=60, check=False)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise ExtensionError("command-help: %s: %s" % (command, e)) from e
    if done.returncode != 0 or not done.stdout.strip():
        raise ExtensionError("command-help: %s: exit status %d, %s" % (
            command, done.returncode, done.stderr.strip() or "no output"))
    return done.stdout.rstrip()


class CommandHelp(Directive):
    required_arguments = 1
    final_argument_whitespace = True
    has_content = False

    def run(self):
        command = self.arguments[0]
        text = help_text(command)
        block = nodes.literal_block(text, text)
        block["language"] = "text"
        title = nodes.paragraph()
        title += nodes.literal(command, "$ " + command)
        return [title, block]


def setup(app):
    app.add_directive("command-help", CommandHelp)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
