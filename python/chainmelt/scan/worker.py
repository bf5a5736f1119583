"""What a worker does with a chunk of runs."""

from __future__ import annotations

import dataclasses
import gzip
import sys
import threading
import time

from .. import _core
from .lock import host_name

#: The statuses of a run in runs.tsv.
STATUSES = ("ok", "fatal", "refused", "nonfinite", "lost")


@dataclasses.dataclass(frozen=True)
class Job:
    """A run sent to a worker.

    Attributes
    ----------
    number : int
        The run's place in the grid.
    settings : list of (str, str)
        The fields it is run with.
    prefix : tuple of (str, object)
        The leading fields of its records: its number and scanned values, as
        (column, value) pairs.
    """

    number: int
    settings: list
    prefix: tuple


@dataclasses.dataclass(frozen=True)
class RunResult:
    """What became of one run.

    Attributes
    ----------
    number : int
        The run's place in the grid.
    status : str
        ``ok``, ``fatal``, ``refused``, ``nonfinite`` or ``lost``.
    message : str
        The program's message (for ``ok``, the run's diagnostics, if any).
    seconds : float
        Time taken.
    worker : str
        Where it ran.
    records : int
        How many records it wrote.
    """

    number: int
    status: str
    message: str
    seconds: float
    worker: str
    records: int


def compress(text: str) -> bytes:
    """One gzip member of the records table."""
    return gzip.compress(text.encode("utf-8"), compresslevel=1, mtime=0)


# Set by each thread of a scan's own ThreadClient: .stop, a _core.Flag that
# ends its run at the next sweep point (the scan is ending).
thread_state = threading.local()

#: A run ended because its scan is ending.
Stopped = _core.Stopped


def _run_one(job, worker, parts):
    notes = []

    def deliver(kind, line):
        if kind != "progress":
            notes.append(line)

    start = time.perf_counter()
    count = 0
    try:
        # The records come back as the lines of the table, no array made;
        # nobody watches the points (the stop flag is heard without them).
        result = _core.run(job.settings, deliver, "", leading=job.prefix, point_lines=False,
                           stop=getattr(thread_state, "stop", None))
    except ValueError as e:
        status, message = "refused", str(e.args[0])
    else:
        count = result["lines"]
        message = result["message"]
        if result["fatal"]:
            status = "fatal"
        elif result["nonfinite"]:
            status = "nonfinite"
            message = ("%d record(s) with a field that is not a finite number left out"
                       % result["nonfinite"])
        else:
            status = "ok"
        if notes and status == "ok":
            message = "; ".join(notes)
    if count:
        parts.append(result["text"])
    return RunResult(job.number, status, message, time.perf_counter() - start, worker, count)


def run_chunk(jobs: list) -> tuple:
    """Run a chunk of jobs in this worker.

    Parameters
    ----------
    jobs : list of Job
        The runs of the chunk.

    Returns
    -------
    tuple
        ``([RunResult], member)``: what became of each run, and the records
        of the chunk, each line starting with its run's prefix, as one gzip
        member (None without records), made here so that the scan's own
        process only writes it.
    """
    worker = host_name()
    name = threading.current_thread().name
    if name.startswith("chainmelt-scan-"):
        # A thread of the scan's own process (Dask is not even imported).
        worker = "%s:%s" % (worker, name)
    elif "distributed" in sys.modules:
        try:
            from distributed import get_worker
            worker = get_worker().address
            if worker.startswith("inproc://"):
                # A Dask worker inside the scanning process: its threads
                # are the workers that matter.
                worker = "%s:%s" % (host_name(), name)
        except (ImportError, ValueError):
            pass
    parts: list = []
    out = [_run_one(job, worker, parts) for job in jobs]
    return out, (compress("".join(parts)) if parts else None)
