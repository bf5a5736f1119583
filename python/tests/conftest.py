"""Finds the package and the binary of a build: CHAINMELT_BUILD_DIR (default
"build" in the project root) holds bin chainmelt and python/chainmelt."""

import os
import subprocess
import sys
from pathlib import Path

import matplotlib
import pytest

matplotlib.use("Agg")

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("CHAINMELT_BUILD_DIR", ROOT / "build"))
if not BUILD.is_absolute():
    BUILD = ROOT / BUILD
BINARY = Path(os.environ.get("CHAINMELT_BIN", BUILD / "chainmelt"))
if (BUILD / "python" / "chainmelt").is_dir():
    sys.path.insert(0, str(BUILD / "python"))


@pytest.fixture
def cli(tmp_path):
    """Runs the binary in a scratch directory: returns (status, output.out text or None,
    stderr)."""
    def run(*args):
        p = subprocess.run([str(BINARY), *map(str, args)], cwd=tmp_path,
                           capture_output=True, text=True, timeout=300)
        out = tmp_path / "output.out"
        return p.returncode, out.read_text() if out.exists() else None, p.stderr
    return run
