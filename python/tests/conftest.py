"""Finds the package and the binary of a build: CHAINMELT_BUILD_DIR (default
"build" in the project root) holds bin chainmelt and python/chainmelt."""

import os
import select
import signal
import subprocess
import sys
import time
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
ENV = dict(os.environ, PYTHONPATH=str(BUILD / "python"), MPLBACKEND="Agg")


def pycli(*args, timeout=120, env=ENV, **kw):
    """Runs the package's command line, python3 -m chainmelt ARGS, bounded in time."""
    return subprocess.run(["/usr/bin/python3", "-m", "chainmelt", *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=timeout, **kw)


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


def interrupted_child(code, *args, wait=0.5, send=True):
    """Runs code in a child interpreter that prints "go" once under way, sends it SIGINT
    after wait seconds (unless send is false) and returns (status, stdout, stderr, the time
    the signal went).  Every wait is bounded; the child is killed by its pid if anything
    goes wrong."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    p = subprocess.Popen([sys.executable, "-c", code, *args], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    try:
        assert select.select([p.stdout], [], [], 30)[0], "the child did not start"
        assert p.stdout.readline() == "go\n"
        time.sleep(wait)
        sent = time.monotonic()
        if send:
            p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=20)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    return p.returncode, out, err, sent


def stale_lock():
    """The text of a scan's lock whose holder, on this host, has ended."""
    import socket
    dead = subprocess.Popen(["true"])
    dead.wait()
    return "pid=%d host=%s started=2026-01-01T00:00:00Z\n" % (dead.pid, socket.gethostname())
