"""The results directory of a scan: its lock, its durable tables, reading
them back and writing them in the other formats."""

from __future__ import annotations

import gzip
import io
import os
import zlib
from typing import TYPE_CHECKING, Any

from .. import _core
from .._output import path_error, write_output, write_table
from .lock import Lock
from .plan import FORMATS, Plan, Run, ScanError
from .verify import chunk_text, check_chunks, first_member, parse_runs, seal
from .worker import compress

if TYPE_CHECKING:
    import pandas as pd

RECORDS = "records.tsv.gz"
RUNS = "runs.tsv"
RUN_COLUMNS_BEFORE = ("run", "key")
RUN_COLUMNS_AFTER = ("status", "records", "seconds", "worker", "message", "records_end",
                     "chunk", "check")
# runs.tsv as written before its lines carried checksums: read, not resumed.
_OLD_AFTER = RUN_COLUMNS_AFTER[:-2]
BASE = "base.tsv"


class Store:
    """The results directory of a scan: checks and repairs it on opening,
    appends chunks durably.

    ``done`` holds the key of every run counted; ``notes`` are
    the lines that say what was found damaged and cut on opening."""

    #: (layout, refused runs) of the plan, set by open_store.
    checked: tuple

    def __init__(self, directory: Any, plan: Plan, layout: tuple):
        self.directory = str(directory)
        self._fds: dict = {}   # path -> descriptor, of the tables appended to
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
        self.runs_header = _core.runs_header(self.scan_columns, list(RUN_COLUMNS_AFTER[-3:]))
        self.records_path = os.path.join(self.directory, RECORDS)
        self.runs_path = os.path.join(self.directory, RUNS)
        self.done, self.notes = set(), []
        lines = self._read_runs()
        self._check_base(plan, bool(lines))
        if not lines:
            # Nothing counted yet: start both files afresh.
            write_output(self.records_path, compress(self.header))
            write_output(self.runs_path, self.runs_header)
            self.end = os.path.getsize(self.records_path)
            return
        self._recover(lines)

    def _read_runs(self):
        """The sound lines of runs.tsv (None: no file)."""
        try:
            with open(self.runs_path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return None
        first, lines, damaged, cut = parse_runs(data, self.runs_header, self.runs_path, False)
        if lines is None and first + "\tchunk\tcheck\n" == self.runs_header:
            data = self._add_checksums(data)
            first, lines, damaged, cut = parse_runs(data, self.runs_header, self.runs_path, False)
        if lines is None:
            raise ScanError("%s holds another scan (its columns are %s); use another "
                            "directory" % (self.directory, ", ".join(first.split())))
        self._damaged_lines = damaged
        self._runs_cut = cut != len(data)
        return lines

    def _add_checksums(self, data):
        """runs.tsv of an earlier chainmelt (no chunk or check columns) in
        today's layout: each chunk is the bytes between one records_end and
        the one before it."""
        lines = data[:data.rfind(b"\n") + 1].decode("utf-8", errors="replace").splitlines()
        rows = []
        for line in lines[1:]:
            parts = line.split("\t")
            if len(parts) == lines[0].count("\t") + 1 and parts[-1].isdigit():
                rows.append(parts)
        try:
            with open(self.records_path, "rb") as f:
                records = f.read()
            start = first_member(records)[1]
        except (OSError, ValueError):
            records, start = b"", 0
        ends = sorted({int(p[-1]) for p in rows} | {start})
        before = {e: ends[i - 1] if i else e for i, e in enumerate(ends)}
        text = self.runs_header
        for p in rows:
            end = int(p[-1])
            chunk = "-"
            if p[-5] != "0" and before[end] < end:
                # A chunk beyond the end of the table is cut by the checks.
                chunk = (chunk_text(records[before[end]:end]) if end <= len(records)
                         else "%d:%08x" % (end - before[end], 0))
            text += seal(p + [chunk])
        write_output(self.runs_path, text)
        return text.encode("utf-8")

    def _check_base(self, plan, started):
        """A directory holds the runs of one base: a scan with other base
        fields is refused, naming them."""
        path = os.path.join(self.directory, BASE)
        mine = {k: v for k, v in plan.base_settings if k != "threads" and k not in plan.names}
        text = "".join("%s\t%s\n" % kv for kv in sorted(mine.items()))
        try:
            with open(path, encoding="utf-8") as f:
                theirs = dict(line.rstrip("\n").partition("\t")[::2] for line in f if line.strip())
        except FileNotFoundError:
            write_output(path, text)
            return
        if not started:
            write_output(path, text)
            return
        differ = sorted(k for k in set(mine) | set(theirs) if mine.get(k) != theirs.get(k))
        if differ:
            raise ScanError(
                "%s holds a scan with other base fields (%s); use another directory, or the "
                "same base fields to go on with it"
                % (self.directory, ", ".join("%s = %s there, %s here"
                                             % (k, theirs.get(k, "not set"),
                                                mine.get(k, "not set")) for k in differ)))

    def _recover(self, lines):
        try:
            with open(self.records_path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            data = b""
        try:
            head, start = first_member(data)
        except ValueError as e:
            head, start = None, 0
            self.notes.append("%s: offset 0: the header is damaged (%s)"
                              % (self.records_path, e))
        if head is not None and (head.split("\n")[2:] != self.header.split("\n")[2:] or
                                 head.split("\n")[0].split()[-1:] !=
                                 self.header.split("\n")[0].split()[-1:]):
            raise ScanError("%s holds records of another kind of run; use another "
                            "directory" % self.directory)
        sound, problem = check_chunks(data, start, lines) if head is not None else (0, None)
        keep = [ln for ln in lines if ln.chunk is None or ln.end <= sound]
        again = len(lines) - len(keep)
        if problem:
            self.notes.append("%s: %s" % (self.records_path, problem))
        if len(data) > sound and not problem and head is not None:
            self.notes.append("%s: %d bytes after the last counted chunk cut"
                              % (self.records_path, len(data) - sound))
        if self._damaged_lines:
            self.notes.append("%s: %d damaged or repeated line(s) dropped (line %s)"
                              % (self.runs_path, len(self._damaged_lines),
                                 ", ".join(map(str, self._damaged_lines[:10]))))
        if again:
            self.notes.append("%d run(s) whose records were lost will run again" % again)
        if head is None:
            write_output(self.records_path, compress(self.header))
            sound = os.path.getsize(self.records_path)
        elif len(data) != sound:
            with open(self.records_path, "r+b") as f:
                f.truncate(sound)
                os.fsync(f.fileno())
        if again or self._damaged_lines or self._runs_cut or head is None:
            for ln in keep:
                ln.fields[-2] = str(min(ln.end, sound))   # records_end
            write_output(self.runs_path, self.runs_header
                         + "".join(seal(ln.fields) for ln in keep))
        self.done = {ln.key for ln in keep}
        self.end = sound

    def append(self, results: list, runs: dict, member: bytes | None = None) -> None:
        """Appends one chunk: its records as one gzip member (None: none) and
        its RunResults; ``runs`` maps a run number to its Run."""
        self.append_chunks([(results, member)], runs)

    def append_chunks(self, chunks: list, runs: dict) -> None:
        """Appends chunks finished together, as ``append`` would one after
        the other, with one sync of each table: every member first, then the
        rows of their runs."""
        members = [m for _, m in chunks if m]
        if members:
            end = self._append(self.records_path, b"".join(members))
            # The end of each member, counted back from the end of the file.
            ends = []
            for m in reversed(members):
                ends.append(end)
                end -= len(m)
            ends.reverse()
        rows = []
        k = 0
        for results, member in chunks:
            if member:
                self.end = ends[k]
                k += 1
            chunk = chunk_text(member)
            for r in results:
                run = runs[r.number]
                line = _core.runs_line(r.number, run.key, [run.values[n] for n in self.names],
                                       r.status, r.records, r.seconds, r.worker, r.message,
                                       [self.end, chunk if r.records else "-"])
                rows.append(line.rstrip("\n").split("\t"))
        if rows:
            self._append(self.runs_path, "".join(seal(r) for r in rows).encode("utf-8"))
            self.done.update(r[1] for r in rows)

    def _append(self, path, data):
        """Appends and syncs; returns the new length.  A failed write (a
        full disk) names the file; what it half wrote is cut by the next
        start.  The file stays open for the next chunk until close()."""
        try:
            fd = self._fds.get(path)
            if fd is None:
                fd = self._fds[path] = os.open(path, os.O_WRONLY | os.O_APPEND)
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
            return os.fstat(fd).st_size
        except OSError as e:
            raise path_error(path, e) from None

    def prefix(self, run: Run) -> tuple:
        """The first fields of a run's records, its number and scanned values,
        as (column, value) pairs for the engine's table writer."""
        return (("run", run.number),) + tuple(
            (c, run.values[n]) for c, n in zip(self.scan_columns, self.names))

    def close(self) -> None:
        """Closes the tables and releases the directory's lock."""
        while self._fds:
            os.close(self._fds.popitem()[1])
        self.lock.release()


def _tables(directory):
    """(runs.tsv header, its lines' text, the records' text), verified: a
    damaged table raises ScanError naming the file and the offset."""
    runs_path = os.path.join(directory, RUNS)
    records_path = os.path.join(directory, RECORDS)
    try:
        with open(runs_path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        raise ValueError("%s: no %s (not the results of a scan)" % (directory, RUNS)) from None
    first = data.split(b"\n", 1)[0].decode("utf-8", errors="replace")
    if not first.endswith("\tchunk\tcheck"):
        return _old_tables(data, records_path)
    header, lines, _, _ = parse_runs(data, None, runs_path, True)
    try:
        with open(records_path, "rb") as f:
            records = f.read()
    except OSError as e:
        raise ScanError("%s: cannot read: %s" % (records_path, e.strerror or e)) from None
    try:
        _, start = first_member(records)
    except ValueError as e:
        raise ScanError("%s: offset 0: the header is damaged (%s)" % (records_path, e)) from None
    sound, problem = check_chunks(records, start, lines)
    if problem:
        raise ScanError("%s: %s" % (records_path, problem))
    with gzip.GzipFile(fileobj=io.BytesIO(records[:sound])) as g:
        text = g.read().decode("utf-8")
    body = "".join("\t".join(ln.fields) + "\n" for ln in lines)
    return header.rsplit("\t", 1)[0], body, text


def _old_tables(data, records_path):
    lines = data.decode("utf-8").splitlines()
    width = lines[0].count("\t")
    good = [line for line in lines[1:] if line.count("\t") == width]
    ends: list[int] = []
    for n, line in enumerate(good, 2):
        try:
            ends.append(int(line.rsplit("\t", 1)[-1]))
        except ValueError:
            raise ScanError("%s, line %d: records_end: expected a whole number, got %r"
                            % (os.path.join(os.path.dirname(records_path), RUNS), n,
                               line.rsplit("\t", 1)[-1])) from None
    with open(records_path, "rb") as f:
        records = f.read()
    last = max(ends, default=0)
    if last:
        records = records[:last]
    try:
        with gzip.GzipFile(fileobj=io.BytesIO(records)) as g:
            text = g.read().decode("utf-8")
    except (OSError, EOFError, zlib.error) as e:
        raise ScanError("%s: damaged (%s)" % (records_path, e)) from None
    return lines[0], "".join(line + "\n" for line in good), text


def _scanned(runs_header):
    after = RUN_COLUMNS_AFTER[:-1] if runs_header.endswith("\tchunk") else _OLD_AFTER
    return runs_header.split("\t")[len(RUN_COLUMNS_BEFORE):-len(after)]


class ScanTables(tuple):
    """The records and runs tables of a scan: a pair ``(records, runs)``.

    ``to_xarray()`` makes them one Dataset (see :func:`chainmelt.scan_dataset`).
    """

    def __new__(cls, records: pd.DataFrame, runs: pd.DataFrame) -> "ScanTables":
        return super().__new__(cls, (records, runs))

    @property
    def records(self) -> pd.DataFrame:
        """The records of every run."""
        return self[0]

    @property
    def runs(self) -> pd.DataFrame:
        """One row per run: its number, key, scanned values and status."""
        return self[1]

    def to_xarray(self) -> Any:
        """The scan as an xarray Dataset over the scanned fields and the sweep."""
        from ..dataset import to_dataset
        return to_dataset(self[0], self[1])


def _base_fields(directory):
    try:
        with open(os.path.join(directory, BASE), encoding="utf-8") as f:
            return dict(line.rstrip("\n").partition("\t")[::2] for line in f if line.strip())
    except OSError:
        return {}


def read_scan(directory: Any) -> ScanTables:
    """The records and runs of a scan's results directory.

    The tables are verified against the lengths and checksums ``runs.tsv``
    records; damage is reported, never repaired here.

    Parameters
    ----------
    directory : str or os.PathLike
        The results directory.

    Returns
    -------
    ScanTables
        ``(records, runs)`` as DataFrames, both in run order (the records of a
        run in their own order).  ``records.attrs`` holds ``"kind"``,
        ``"units"``, ``"scan"`` (the scanned fields) and ``"parameters"`` (the
        base fields' text); ``.to_xarray()`` of the pair is the scan as a
        Dataset.

    Raises
    ------
    ScanError
        A damaged table, naming the file and the offset (or the line).
    """
    import pandas as pd
    directory = str(directory)
    runs_header, body, text = _tables(directory)
    runs = pd.read_csv(io.StringIO(runs_header + "\n" + body), sep="\t",
                       dtype={"key": str, "message": str, "worker": str, "chunk": str},
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
    names = _scanned(runs_header)
    records.attrs["scan"] = names
    records.attrs["parameters"] = _base_fields(directory)
    runs.attrs["scan"] = names
    return ScanTables(records, runs)


#: What export_records writes: the text formats, and "netcdf" (records.nc,
#: the scan as an xarray Dataset).
EXPORT_FORMATS = FORMATS + ("netcdf",)


def export_records(directory: Any, fmt: str) -> str | None:
    """Write a scan's records again in another format.

    Parameters
    ----------
    directory : str or os.PathLike
        The results directory.
    fmt : {"tsv", "csv", "jsonl", "netcdf"}
        ``"csv"`` and ``"jsonl"`` write ``records.csv`` or ``records.jsonl``
        in the layouts of the command line's ``--format``, the scanned fields
        as leading columns (the numbers are the text of ``records.tsv.gz``,
        unchanged); ``"netcdf"`` writes ``records.nc``, the scan's Dataset.

    Returns
    -------
    str or None
        The path written (None for ``"tsv"``, which ``records.tsv.gz``
        already is).
    """
    if fmt not in EXPORT_FORMATS:
        raise ValueError("--format: expected one of %s, got %r"
                         % (", ".join(EXPORT_FORMATS), fmt))
    if fmt == "tsv":
        return None
    directory = str(directory)
    if fmt == "netcdf":
        from ..dataset import NETCDF, scan_dataset, write_netcdf
        return write_netcdf(scan_dataset(directory), os.path.join(directory, NETCDF))
    runs_header, _, text = _tables(directory)
    out = _core.scan_table_as(text, fmt, _scanned(runs_header))
    path = os.path.join(directory, "records." + fmt)
    if fmt == "csv":
        # Its kind, units and scanned fields beside it, as JSON Lines holds them.
        return write_table(path, out, _header(text, _scanned(runs_header)))
    return write_output(path, out)


def _header(text: str, scanned: list) -> dict:
    """The JSON Lines header object of the records' TSV text (kind, scanned
    fields, columns with their units): also the metadata of records.csv."""
    lines = text.split("\n", 3)
    head = lines[0].split()
    kind = head[-1].partition("=")[2] if head and head[-1].startswith("kind=") else ""
    units = lines[1].split("\t")[1:]
    names = lines[2].split("\t")
    columns: list = [{"name": n, "unit": u} for n, u in zip(names, [""] + units)]
    if columns and columns[0]["name"] == "run":
        columns[0]["integer"] = True
    return {"chainmelt": _core.version, "kind": kind, "scan": list(scanned), "columns": columns}
