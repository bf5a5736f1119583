#!/usr/bin/env python3
"""Executes the example notebooks and fails on any error.

    python3 examples/notebooks/execute.py [NOTEBOOK.ipynb ...]

Every notebook of this directory by default.  Each runs in a fresh
IPython kernel (ipykernel) with this directory as its working directory;
a cell that raises, or that runs longer than --cell-timeout seconds or past
the --total seconds of the whole run, fails the notebook, and the kernel is
shut down either way.  The notebooks are
kept as saved: they are checked to hold no outputs (a notebook committed
after being run would carry them) and nothing is written back.

The package must be importable by the kernel: installed, or the source
tree's ``python`` directory on PYTHONPATH with CHAINMELT_BUILD_DIR naming
the build (as the test command sets them).
"""

import argparse
import glob
import os
import re
import sys
import time

import nbformat
from nbclient import NotebookClient
from nbclient.exceptions import CellExecutionError, CellTimeoutError, DeadKernelError

HERE = os.path.dirname(os.path.abspath(__file__))
_ANSI = re.compile(r"\x1b\[[0-9;]*m")  # the colours of IPython's tracebacks


def saved_outputs(nb):
    """The numbers of the code cells that hold outputs or an execution count."""
    return [i for i, c in enumerate(nb.cells, 1)
            if c.cell_type == "code" and (c.get("outputs") or c.get("execution_count"))]


def execute(path, cell_timeout, deadline):
    """Runs one notebook; returns an error text, or None when every cell ran."""
    nb = nbformat.read(path, as_version=4)
    nbformat.validate(nb)
    dirty = saved_outputs(nb)
    if dirty:
        return "saved with outputs in code cell(s) %s: clear them before committing" % (
            ", ".join(map(str, dirty)))
    # The kernel inherits this environment: figures without a display, and
    # no notice from the debugger about frozen modules on every start.
    os.environ.update({"MPLBACKEND": "Agg", "PYDEVD_DISABLE_FILE_VALIDATION": "1"})

    def timeout(cell):
        # Never past the deadline of the whole run, so that the kernel is
        # always stopped here rather than left behind by an outer timeout.
        return max(1.0, min(cell_timeout, deadline - time.monotonic()))

    client = NotebookClient(nb, timeout_func=timeout, startup_timeout=60,
                            kernel_name="python3", allow_errors=False,
                            resources={"metadata": {"path": os.path.dirname(path)}})
    try:
        client.execute()
    except CellTimeoutError as e:
        return "a cell ran out of time (%g s a cell, the deadline of the run): %s" % (
            cell_timeout, _ANSI.sub("", str(e)).strip()[:2000])
    except CellExecutionError as e:
        return _ANSI.sub("", str(e)).strip()
    except DeadKernelError as e:
        return "the kernel died: %s" % e
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("notebooks", nargs="*",
                        default=sorted(glob.glob(os.path.join(HERE, "*.ipynb"))))
    parser.add_argument("--cell-timeout", type=float, default=120,
                        help="seconds a cell may run (default 120)")
    parser.add_argument("--total", type=float, default=170,
                        help="seconds all the notebooks may run (default 170)")
    args = parser.parse_args(argv)
    deadline = time.monotonic() + args.total
    if not args.notebooks:
        print("execute.py: no notebooks in %s" % HERE, file=sys.stderr)
        return 1
    failed = 0
    for path in args.notebooks:
        start = time.monotonic()
        error = execute(os.path.abspath(path), args.cell_timeout, deadline)
        took = time.monotonic() - start
        if error:
            failed += 1
            print("FAILED %s (%.0f s):\n%s" % (path, took, error), file=sys.stderr)
        else:
            print("ok %s (%.0f s)" % (os.path.relpath(path), took))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
