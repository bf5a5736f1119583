"""The results directory of a scan: its lock, its durable tables, reading
them back and writing them in the other formats."""

from __future__ import annotations

import datetime
import gzip
import io
import os
import socket
from typing import Any

import pandas as pd

from .. import _core
from .._output import write_output
from .encode import FORMATS, reformat, value_text
from .plan import Plan, ScanError
from .worker import compress

RECORDS = "records.tsv.gz"
RUNS = "runs.tsv"
LOCK = "lock"
RUN_COLUMNS_BEFORE = ("run", "key")
RUN_COLUMNS_AFTER = ("status", "records", "seconds", "worker", "message", "records_end")


def _clean(text):
    return " ".join(str(text).split())


class Lock:
    """DIRECTORY/lock, made exclusively; one left by a process that is gone
    (same host, pid not running) is taken over."""

    def __init__(self, directory: str):
        self.path = os.path.join(directory, LOCK)
        self.held = False
        host = socket.gethostname()
        text = "pid=%d host=%s started=%s\n" % (
            os.getpid(), host,
            datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"))
        for _ in range(3):
            try:
                fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            except FileExistsError:
                holder = self._holder()
                if holder is None or not self._stale(holder, host):
                    raise ScanError(
                        "%s is in use by another scan (%s; lock file %s); wait for it to end, "
                        "or remove the lock if that scan is gone"
                        % (directory, self._describe(holder), self.path)) from None
                # Take over a stale lock by renaming it away: of two scans
                # doing so at once, only one rename succeeds.
                try:
                    os.rename(self.path, self.path + ".stale")
                    os.unlink(self.path + ".stale")
                except FileNotFoundError:
                    pass
                continue
            with os.fdopen(fd, "w") as f:
                f.write(text)
                f.flush()
                os.fsync(f.fileno())
            self.held = True
            return
        raise ScanError("%s: could not take the lock %s" % (directory, self.path))

    def _holder(self):
        try:
            with open(self.path, encoding="utf-8", errors="replace") as f:
                text = f.read()
        except FileNotFoundError:
            return {}
        return dict(p.partition("=")[::2] for p in text.split())

    @staticmethod
    def _describe(holder):
        if not holder:
            return "lock file being written"
        return "pid %s on host %s since %s" % (holder.get("pid", "?"), holder.get("host", "?"),
                                               holder.get("started", "?"))

    @staticmethod
    def _stale(holder, host):
        if holder.get("host") != host:
            return False
        try:
            pid = int(holder.get("pid", ""))
        except ValueError:
            return False
        if pid == os.getpid():
            return False
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        except PermissionError:
            return False
        return False

    def release(self) -> None:
        if self.held:
            self.held = False
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass


class Store:
    """The results directory of a scan: recovers it, appends chunks durably.

    ``done`` maps the key of every run in runs.tsv to its row."""

    def __init__(self, directory: Any, plan: Plan, layout: tuple):
        self.directory = str(directory)
        try:
            os.makedirs(self.directory, exist_ok=True)
        except OSError as e:
            raise ScanError("%s: cannot make the results directory: %s"
                            % (self.directory, e.strerror or e)) from None
        self.lock = Lock(self.directory)
        try:
            self._open(plan, layout)
        except BaseException:
            self.lock.release()
            raise

    def _open(self, plan, layout):
        kind, columns = layout
        record_names = [c[0] for c in columns]
        self.scan_columns = [n + "_scan" if n in record_names or n == "run" else n
                             for n in plan.names]
        self.names = plan.names
        header = ["# chainmelt %s scan kind=%s" % (_core.version, kind),
                  "# units\t" + "\t".join([""] * len(self.scan_columns)
                                          + [c[1] for c in columns]),
                  "\t".join(["run"] + self.scan_columns + record_names)]
        self.header = "\n".join(header) + "\n"
        self.runs_header = "\t".join(list(RUN_COLUMNS_BEFORE) + self.scan_columns
                                     + list(RUN_COLUMNS_AFTER)) + "\n"
        self.records_path = os.path.join(self.directory, RECORDS)
        self.runs_path = os.path.join(self.directory, RUNS)
        self.done = {}
        end = self._recover_runs() if os.path.exists(self.runs_path) else 0
        if end == 0:
            # Nothing counted yet: start both files afresh.
            write_output(self.records_path, compress(self.header))
            write_output(self.runs_path, self.runs_header)
            self.end = os.path.getsize(self.records_path)
        else:
            with gzip.open(self.records_path, "rt", encoding="utf-8") as f:
                head = "".join(f.readline() for _ in range(3))
            if head.split("\n")[2:] != self.header.split("\n")[2:] or \
                    head.split("\n")[0].split()[-1] != self.header.split("\n")[0].split()[-1]:
                raise ScanError("%s holds records of another kind of run; use another "
                                "directory" % self.directory)
            with open(self.records_path, "r+b") as f:
                f.truncate(end)
                os.fsync(f.fileno())
            self.end = end

    def _recover_runs(self):
        """Reads runs.tsv, cut after its last complete line; returns the
        largest records_end in it."""
        with open(self.runs_path, "rb") as f:
            data = f.read()
        cut = data.rfind(b"\n") + 1
        lines = data[:cut].decode("utf-8").splitlines(keepends=True)
        if lines and lines[0] != self.runs_header:
            raise ScanError("%s holds another scan (its columns are %s); use another "
                            "directory" % (self.directory, ", ".join(lines[0].split())))
        if cut != len(data):
            with open(self.runs_path, "r+b") as f:
                f.truncate(cut)
        k = self.runs_header.count("\t")
        end = 0
        for line in lines[1:]:
            parts = line.rstrip("\n").split("\t")
            if len(parts) != k + 1:
                continue
            self.done[parts[1]] = parts
            end = max(end, int(parts[-1]))
        return end

    def append(self, results: list, runs: dict, member: bytes | None = None) -> None:
        """Appends one chunk: its records as one gzip member (None: none) and
        its RunResults; ``runs`` maps a run number to its Run."""
        if member:
            with open(self.records_path, "ab") as f:
                f.write(member)
                f.flush()
                os.fsync(f.fileno())
                self.end = f.tell()
        rows = []
        for r in results:
            run = runs[r.number]
            rows.append([str(r.number), run.key]
                        + [value_text(run.values[n]) for n in self.names]
                        + [r.status, str(r.records), "%.6f" % r.seconds, _clean(r.worker),
                           _clean(r.message), str(self.end)])
        with open(self.runs_path, "ab") as f:
            f.write("".join("\t".join(r) + "\n" for r in rows).encode("utf-8"))
            f.flush()
            os.fsync(f.fileno())
        for r in rows:
            self.done[r[1]] = r

    def prefix(self, run) -> str:
        """The first fields of a run's records: its number and scanned values."""
        return "\t".join([str(run.number)] + [value_text(run.values[n]) for n in self.names])

    def close(self) -> None:
        self.lock.release()


def _tables(directory):
    """(runs.tsv text, the records' text up to the last counted chunk)."""
    runs_path = os.path.join(directory, RUNS)
    if not os.path.exists(runs_path):
        raise ValueError("%s: no %s (not the results of a scan)" % (directory, RUNS))
    with open(runs_path, "rb") as f:
        runs_text = f.read().decode("utf-8")
    lines = runs_text.splitlines()
    ends = [int(line.rsplit("\t", 1)[-1]) for line in lines[1:]
            if line.count("\t") == lines[0].count("\t")]
    with open(os.path.join(directory, RECORDS), "rb") as f:
        data = f.read()
    if ends and max(ends):
        data = data[:max(ends)]
    with gzip.GzipFile(fileobj=io.BytesIO(data)) as g:
        return runs_text, g.read().decode("utf-8")


def _scanned(runs_header):
    return runs_header.split("\t")[len(RUN_COLUMNS_BEFORE):-len(RUN_COLUMNS_AFTER)]


def read_scan(directory: Any) -> tuple:
    """(records, runs) of a results directory as DataFrames, both in run
    order (the records of a run in their own order)."""
    directory = str(directory)
    runs_text, text = _tables(directory)
    runs = pd.read_csv(io.StringIO(runs_text), sep="\t",
                       dtype={"key": str, "message": str, "worker": str},
                       keep_default_na=False, na_values=[], float_precision="round_trip")
    runs["message"] = runs["message"].fillna("")
    lines = text.split("\n")
    head = lines[0].split()
    kind = head[-1].partition("=")[2] if head and head[-1].startswith("kind=") else None
    units = lines[1].split("\t")[1:]
    records = pd.read_csv(io.StringIO("\n".join(lines[2:])), sep="\t",
                          float_precision="round_trip")
    records = records.sort_values("run", kind="stable").reset_index(drop=True)
    runs = runs.sort_values("run", kind="stable").reset_index(drop=True)
    records.attrs["kind"] = kind
    records.attrs["units"] = dict(zip(records.columns[1:], units))
    names = _scanned(runs_text.split("\n", 1)[0])
    records.attrs["scan"] = names
    runs.attrs["scan"] = names
    return records, runs


def export_records(directory: Any, fmt: str) -> str | None:
    """Writes the scan's records again as records.csv or records.jsonl in
    DIRECTORY, in the layouts of the command line's --format, the scanned
    fields as leading columns.  The numbers are the text of records.tsv.gz,
    unchanged.  Returns the path written (None for "tsv", which
    records.tsv.gz already is)."""
    if fmt not in FORMATS:
        raise ValueError("--format: expected one of %s, got %r" % (", ".join(FORMATS), fmt))
    if fmt == "tsv":
        return None
    directory = str(directory)
    runs_text, text = _tables(directory)
    scanned = _scanned(runs_text.split("\n", 1)[0])
    return write_output(os.path.join(directory, "records." + fmt),
                        reformat(text, fmt, scanned, _core.version))
