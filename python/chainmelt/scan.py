"""Parameter scans: many runs over a grid of parameters, on Dask distributed.

A scan is a base parameter set (the fields of a parameter file, task and
sweep included) and a grid: for every scanned field a list of values, the
runs being the Cartesian product (``zip`` pairs lists instead).  The runs go
in chunks to the workers of a Dask cluster, each executed there through the
compiled module; without a cluster one is started in-process with one worker
process per core.

The results directory holds

- ``records.tsv.gz``: every record of every run, with the run's number and
  the scanned fields as the first columns (a scanned field that is also a
  record column is named ``NAME_scan``).  It is a sequence of gzip members:
  the header, then one member per finished chunk.
- ``runs.tsv``: one row per finished run: number, key, scanned fields,
  status (ok, fatal, refused, nonfinite, lost), records, seconds, worker,
  message, and ``records_end``, the length of records.tsv.gz once that run's
  records were in it.
- ``lock``: the pid, host and start time of the scan writing the directory.

A chunk is durable before its runs count as done: its records are appended
to records.tsv.gz and synced, then its rows to runs.tsv and synced.  On a new
start, runs.tsv is cut after its last complete line and records.tsv.gz to the
largest ``records_end`` in it, so a scan killed at any moment leaves exactly
the runs in runs.tsv, each with its records once, and the next start does
only the runs whose key is not there.  The key of a run is a hash of the
text of every field it is run with (the thread count aside).
"""

import builtins
import collections
import concurrent.futures
import datetime
import gzip
import hashlib
import io
import math
import numbers
import os
import socket
import sys
import time

import numpy as np
import pandas as pd

from . import _api, _core

RECORDS = "records.tsv.gz"
RUNS = "runs.tsv"
LOCK = "lock"
STATUSES = ("ok", "fatal", "refused", "nonfinite", "lost")
_RUN_COLUMNS_BEFORE = ("run", "key")
_RUN_COLUMNS_AFTER = ("status", "records", "seconds", "worker", "message", "records_end")
_KEY_LENGTH = 16
# Rounds of a run on its own after its chunk failed, before it is lost.
_SINGLE_ROUNDS = 2


class ScanError(ValueError):
    """A scan that cannot start: a bad description, a directory in use or
    holding another scan, a cluster without workers."""


# ---------------------------------------------------------------- the grid

def _fields_text(fields, where=""):
    """The settings (key, text) of a run, shorthands last, as run() orders them."""
    try:
        ordered = _api._run_fields(None, None, fields)
    except TypeError as e:
        raise ScanError(where + str(e)) from None
    return _api._settings(ordered)


def _range(name, given, where):
    keys = set(given)
    if keys not in ({"min", "max", "step"}, {"min", "max", "num"}):
        raise ScanError("%sscan key '%s': expected a list or a table {min, max, step} or "
                        "{min, max, num}, got keys %s" % (where, name, ", ".join(sorted(keys))))
    for k in given:
        v = given[k]
        if isinstance(v, bool) or not isinstance(v, numbers.Real) or not math.isfinite(v):
            raise ScanError("%sscan key '%s': %s must be a finite number, got %r"
                            % (where, name, k, v))
    lo, hi = float(given["min"]), float(given["max"])
    if hi < lo:
        raise ScanError("%sscan key '%s': max %r is below min %r" % (where, name, hi, lo))
    if "num" in given:
        num = given["num"]
        if num != int(num) or num < 1 or (num == 1 and hi != lo):
            raise ScanError("%sscan key '%s': num must be a whole number >= 1 (1 only with "
                            "min = max), got %r" % (where, name, num))
        num = int(num)
        if num == 1:
            return [lo]
        return [lo + k * (hi - lo) / (num - 1) if k < num - 1 else hi for k in range(num)]
    step = float(given["step"])
    if step <= 0:
        raise ScanError("%sscan key '%s': step must be positive, got %r" % (where, name, step))
    count = (hi - lo) / step
    n = round(count)
    if abs(count - n) > 1e-9 * max(1.0, abs(count)) or n > 10**7:
        raise ScanError("%sscan key '%s': step %r must divide max - min = %r"
                        % (where, name, step, hi - lo))
    # Each value from the start, not accumulated; the last is max itself.
    return [lo + k * step if k < n else hi for k in range(n + 1)]


def _values(name, given, where=""):
    if isinstance(given, dict):
        return _range(name, given, where)
    if isinstance(given, (str, bytes)) or not hasattr(given, "__iter__"):
        raise ScanError("%sscan key '%s': expected a list or a range table, got %r"
                        % (where, name, given))
    values = list(given.tolist() if isinstance(given, np.ndarray) else given)
    if not values:
        raise ScanError("%sscan key '%s': expected at least one value" % (where, name))
    return values


class Plan:
    """The runs of a scan: ``names`` (the scanned fields, in grid order) and
    ``runs``, a list of (number, values, settings, key)."""

    def __init__(self, base, grid, zip=(), where=""):
        base = dict(base)
        grid = dict(grid)
        if not grid:
            raise ScanError("%sscan: expected at least one scanned field" % where)
        for name in grid:
            name = _api._SHORTHANDS.get(name, name)
            if name not in _api._FIELD_TYPES and name not in _api._SHORTHANDS.values():
                raise ScanError("%sscan key '%s': not a field (the fields are %s)"
                                % (where, name, ", ".join(_api._FIELD_TYPES)))
        axes = {name: _values(name, given, where) for name, given in grid.items()}
        groups, paired = [], set()
        for group in zip or ():
            group = list(group)
            for name in group:
                if name not in axes:
                    raise ScanError("%sscan zip: '%s' is not a scanned field" % (where, name))
                if name in paired:
                    raise ScanError("%sscan zip: '%s' is in two groups" % (where, name))
                paired.add(name)
            lengths = {len(axes[n]) for n in group}
            if len(lengths) != 1:
                raise ScanError("%sscan zip: %s have %s values; paired lists must be equally "
                                "long" % (where, ", ".join(group),
                                          " and ".join(str(len(axes[n])) for n in group)))
            groups.append(group)
        # One factor per unpaired field or zip group, at its first field's place.
        factors = []
        for name in axes:
            if name in paired:
                group = next(g for g in groups if name in g)
                if name == next(n for n in axes if n in group):
                    factors.append(group)
            else:
                factors.append([name])
        self.names = [n for f in factors for n in f]
        self.runs = []
        combos = [[]]
        for f in factors:
            combos = [c + [axes[n][i] for n in f] for c in combos
                      for i in range(len(axes[f[0]]))]
        first = {}
        for number, combo in enumerate(combos, 1):
            values = dict(builtins.zip(self.names, combo))
            fields = dict(base, **values)
            settings = _fields_text(fields, where)
            key = run_key(settings)
            if key in first:
                raise ScanError("%sscan: runs %d and %d are the same run (%s); give each "
                                "value once" % (where, first[key], number, _describe(values)))
            first[key] = number
            self.runs.append((number, values, settings, key))


def run_key(settings):
    """The key of a run: a hash of the text of every field it sets (the
    thread count aside), in name order."""
    text = "\n".join("%s=%s" % kv for kv in sorted(settings) if kv[0] != "threads")
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:_KEY_LENGTH]


def _toml_value(key, value):
    """A parameter file's key as run() names it (T-sweep is T_sweep)."""
    for name, key_in_file in _api._SHORTHANDS.items():
        if key == key_in_file:
            return name, value
    return key, value


def load(path):
    """Reads a scan description: the base fields at the top level and a
    [scan] table.  Returns a Plan."""
    import tomllib
    path = str(path)
    try:
        with open(path, "rb") as f:
            doc = tomllib.load(f)
    except tomllib.TOMLDecodeError as e:
        raise ScanError("%s: %s" % (path, e)) from None
    where = "%s: " % path
    grid = doc.pop("scan", None)
    if not isinstance(grid, dict):
        raise ScanError("%sexpected a [scan] table of the scanned fields" % where)
    grid = dict(grid)
    zip_groups = grid.pop("zip", [])
    if not isinstance(zip_groups, list) or not all(
            isinstance(g, list) and all(isinstance(n, str) for n in g) for g in zip_groups):
        raise ScanError("%sscan key 'zip': expected a list of lists of field names, "
                        "e.g. zip = [[\"w\", \"dHcal\"]]" % where)
    base = {}
    for key, value in doc.items():
        if isinstance(value, dict):
            raise ScanError("%skey '%s': unexpected table (the base fields are top-level "
                            "keys, the scanned ones in [scan])" % (where, key))
        k, v = _toml_value(key, value)
        base[k] = v
    grid = dict(_toml_value(k, v) for k, v in grid.items())
    return Plan(base, grid, zip_groups, where)


# ------------------------------------------------------------ on a worker

def _run_chunk(items):
    """Runs a chunk [(number, settings, prefix)] in this worker.  Returns
    ([(number, status, message, seconds, worker, records)], member): the
    records of the chunk, each line starting with its run's prefix, as one
    gzip member, made here so that the scan's own process only writes it."""
    try:
        from distributed import get_worker
        worker = get_worker().address
    except (ImportError, ValueError):
        worker = socket.gethostname()
    out = []
    parts = []
    for number, settings, prefix in items:
        notes = []

        def deliver(kind, line):
            if kind != "progress":
                notes.append(line)

        start = time.perf_counter()
        rows = None
        try:
            result = _core.run(settings, deliver, "")
        except ValueError as e:
            status, message = "refused", str(e.args[0])
        else:
            rows = result["rows"]
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
        count = 0 if rows is None else len(rows)
        if count:
            parts.append(_core.rows_text(rows, result["columns"], prefix))
        out.append((number, status, message, time.perf_counter() - start, worker, count))
    return out, (Store._member("".join(parts)) if parts else None)


# ------------------------------------------------------------- the results

def _number_text(v, integer):
    if v != v:
        return ""
    if integer:
        return str(int(v))
    r = repr(float(v))
    return r[:-2] if r.endswith(".0") else r


def _value_text(v):
    if isinstance(v, bool):
        return str(v).lower()
    if isinstance(v, numbers.Real):
        return _number_text(float(v), False)
    if isinstance(v, (list, tuple)):
        return ":".join(_value_text(x) for x in v)
    return str(v).replace("\t", " ").replace("\n", " ")


def _fsync_dir(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class _Lock:
    """results/lock, made exclusively; one left by a process that is gone
    (same host, pid not running) is taken over."""

    def __init__(self, directory):
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

    def release(self):
        if self.held:
            self.held = False
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass


class Store:
    """The results directory of a scan: recovers it, appends chunks durably."""

    def __init__(self, directory, plan, layout):
        self.directory = str(directory)
        os.makedirs(self.directory, exist_ok=True)
        self.lock = _Lock(self.directory)
        try:
            self._open(plan, layout)
        except BaseException:
            self.lock.release()
            raise

    def _open(self, plan, layout):
        kind, columns = layout
        record_names = [c[0] for c in columns]
        self.integer = [c[2] for c in columns]
        self.scan_columns = [n + "_scan" if n in record_names or n == "run" else n
                             for n in plan.names]
        self.names = plan.names
        header = ["# chainmelt %s scan kind=%s" % (_core.version, kind),
                  "# units\t" + "\t".join([""] * len(self.scan_columns)
                                          + [c[1] for c in columns]),
                  "\t".join(["run"] + self.scan_columns + record_names)]
        self.header = "\n".join(header) + "\n"
        self.runs_header = _core.runs_header(self.scan_columns, list(_RUN_COLUMNS_AFTER[-1:]))
        self.records_path = os.path.join(self.directory, RECORDS)
        self.runs_path = os.path.join(self.directory, RUNS)
        self.done = {}
        end = 0
        if os.path.exists(self.runs_path):
            with open(self.runs_path, "rb") as f:
                data = f.read()
            cut = data.rfind(b"\n") + 1
            lines = data[:cut].decode("utf-8").splitlines(keepends=True)
            if lines and lines[0] != self.runs_header:
                raise ScanError("%s holds another scan (its columns are %s); use another "
                                "directory" % (self.directory,
                                               ", ".join(lines[0].split())))
            if cut != len(data):
                with open(self.runs_path, "r+b") as f:
                    f.truncate(cut)
            k = self.runs_header.count("\t")
            for line in lines[1:]:
                parts = line.rstrip("\n").split("\t")
                if len(parts) != k + 1:
                    continue
                self.done[parts[1]] = parts
                end = max(end, int(parts[-1]))
        if end == 0:
            # Nothing counted yet: start both files afresh.
            self._write_new(self.records_path, self._member(self.header))
            self._write_new(self.runs_path, self.runs_header.encode("utf-8"))
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

    def _write_new(self, path, data):
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
        _fsync_dir(self.directory)

    @staticmethod
    def _member(text):
        return gzip.compress(text.encode("utf-8"), compresslevel=1, mtime=0)

    def append(self, results, values, member=None):
        """Appends one chunk: its records as one gzip member (None: none) and
        its runs [(number, status, message, seconds, worker, records)];
        ``values`` maps a run number to (key, its scanned values)."""
        if member:
            with open(self.records_path, "ab") as f:
                f.write(member)
                f.flush()
                os.fsync(f.fileno())
                self.end = f.tell()
        runs = []
        for number, status, message, seconds, worker, count in results:
            key, vals = values[number]
            runs.append(_core.runs_line(number, key, [vals[n] for n in self.names], status,
                                        count, seconds, worker, message, [self.end]))
        with open(self.runs_path, "ab") as f:
            f.write("".join(runs).encode("utf-8"))
            f.flush()
            os.fsync(f.fileno())
        for r in runs:
            parts = r.rstrip("\n").split("\t")
            self.done[parts[1]] = parts

    def prefix(self, number, values):
        """The first fields of a run's records: its number and scanned values,
        as (column, value) pairs for _core.rows_text."""
        return [("run", number)] + [(c, values[n]) for c, n in zip(self.scan_columns, self.names)]

    def close(self):
        self.lock.release()


def read_scan(directory):
    """(records, runs) of a results directory as DataFrames, both in run
    order (the records of a run in their own order)."""
    directory = str(directory)
    runs_path = os.path.join(directory, RUNS)
    records_path = os.path.join(directory, RECORDS)
    if not os.path.exists(runs_path):
        raise ValueError("%s: no %s (not the results of a scan)" % (directory, RUNS))
    runs = pd.read_csv(runs_path, sep="\t", dtype={"key": str, "message": str,
                                                   "worker": str},
                       keep_default_na=False, na_values=[], float_precision="round_trip")
    runs["message"] = runs["message"].fillna("")
    end = int(runs["records_end"].max()) if len(runs) else 0
    with open(records_path, "rb") as f:
        data = f.read()
    if end:
        data = data[:end]
    with gzip.GzipFile(fileobj=io.BytesIO(data)) as g:
        text = g.read().decode("utf-8")
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
    names = list(runs.columns[len(_RUN_COLUMNS_BEFORE):-len(_RUN_COLUMNS_AFTER)])
    records.attrs["scan"] = names
    runs.attrs["scan"] = names
    return records, runs


FORMATS = ("tsv", "csv", "jsonl")


def _records_text(directory):
    """The text of records.tsv.gz up to its last counted chunk, and the
    scanned fields (the columns of runs.tsv between key and status)."""
    runs_path = os.path.join(directory, RUNS)
    if not os.path.exists(runs_path):
        raise ValueError("%s: no %s (not the results of a scan)" % (directory, RUNS))
    with open(runs_path, "rb") as f:
        lines = f.read().decode("utf-8").splitlines()
    ends = [int(line.rsplit("\t", 1)[-1]) for line in lines[1:] if line.count("\t") ==
            lines[0].count("\t")]
    with open(os.path.join(directory, RECORDS), "rb") as f:
        data = f.read()
    if ends and max(ends):
        data = data[:max(ends)]
    scanned = lines[0].split("\t")[len(_RUN_COLUMNS_BEFORE):-len(_RUN_COLUMNS_AFTER)]
    with gzip.GzipFile(fileobj=io.BytesIO(data)) as g:
        return g.read().decode("utf-8"), scanned


def export_records(directory, fmt):
    """Writes the scan's records again as records.csv or records.jsonl in
    DIRECTORY (under a temporary name, renamed into place), in the layouts
    of the command line's --format, the scanned fields as leading columns.
    The numbers are the text of records.tsv.gz, unchanged.  Returns the
    path written (None for "tsv", which records.tsv.gz already is)."""
    if fmt not in FORMATS:
        raise ValueError("--format: expected one of %s, got %r" % (", ".join(FORMATS), fmt))
    if fmt == "tsv":
        return None
    directory = str(directory)
    text, scanned = _records_text(directory)
    converted = _core.scan_table_as(text, fmt, scanned)
    path = os.path.join(directory, "records." + fmt)
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(converted)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    return path


# ------------------------------------------------------------ the driver

class _Progress:
    def __init__(self, total, done, stream, interval=5.0):
        self.total, self.done, self.failed = total, done, 0
        self.stream = stream
        self.start = time.monotonic()
        self.first = done
        self.interval = interval
        self.last = 0.0
        self.bar = None
        if stream is not None and hasattr(stream, "isatty") and stream.isatty():
            try:
                from tqdm import tqdm
                self.bar = tqdm(total=total, initial=done, unit="run", file=stream,
                                dynamic_ncols=True)
            except ImportError:
                pass

    def update(self, n, failed):
        self.done += n
        self.failed += failed
        if self.bar is not None:
            self.bar.set_postfix(failed=self.failed, refresh=False)
            self.bar.update(n)
            return
        now = time.monotonic()
        if self.stream is not None and (now - self.last >= self.interval
                                        or self.done == self.total):
            self.last = now
            print(self.line(), file=self.stream, flush=True)

    def line(self):
        elapsed = time.monotonic() - self.start
        rate = (self.done - self.first) / elapsed if elapsed > 0 else 0.0
        left = (self.total - self.done) / rate if rate > 0 else math.nan
        return ("scan: %d/%d runs done, %d failed, %.1f runs/s, %s remaining"
                % (self.done, self.total, self.failed, rate,
                   "?" if math.isnan(left) else "%.1f s" % left))

    def close(self):
        if self.bar is not None:
            self.bar.close()


def _layout(plan):
    """(kind, columns) shared by every run the checks accept; the refused
    runs as {number: message}."""
    layout, first, refused = None, None, {}
    for number, values, settings, key in plan.runs:
        refusal, _ = _core.check(settings)
        if refusal is not None:
            refused[number] = refusal[1]
            continue
        kind, cols, _ = _core.columns(settings)
        this = (kind, [tuple(c) for c in cols])
        if layout is None:
            layout, first = this, values
        elif this != layout:
            raise ScanError("scan: the runs write different records (%s for %s, %s for %s); "
                            "scan them separately"
                            % (layout[0] + ": " + " ".join(c[0] for c in layout[1]),
                               _describe(first), this[0] + ": " + " ".join(c[0] for c in this[1]),
                               _describe(values)))
    if layout is None:
        number = next(iter(refused))
        raise ScanError("scan: every run is refused; run %d: %s" % (number, refused[number]))
    return layout, refused


def open_store(plan, directory):
    """The checks of every run, then the results directory, locked."""
    checked = _layout(plan)
    store = Store(directory, plan, checked[0])
    store.checked = checked
    return store


def _describe(values):
    return ", ".join("%s = %s" % (k, _value_text(v)) for k, v in values.items())


def _is_import_error(exc):
    return isinstance(exc, (ImportError, ModuleNotFoundError))


class Outcome:
    """What a scan did: runs in the grid, skipped (done before), run now,
    and the count of each status of those run now."""

    def __init__(self, total, skipped):
        self.total, self.skipped, self.run = total, skipped, 0
        self.statuses = collections.Counter()

    def __repr__(self):
        return ("Outcome(total=%d, skipped=%d, run=%d, %s)"
                % (self.total, self.skipped, self.run,
                   ", ".join("%s=%d" % kv for kv in sorted(self.statuses.items()))))


def _workers(client):
    try:
        return len(client.scheduler_info().get("workers", {}))
    except (OSError, TimeoutError) as e:
        raise _Lost(str(e)) from None


class _Lost(Exception):
    """The connection to the scheduler is gone."""


def run_plan(plan, directory, client, *, chunk=None, chunk_seconds=1.0, stream=None,
             wait_workers=60.0, work=_run_chunk):
    """Runs the runs of ``plan`` not yet in ``directory`` on ``client``.
    ``chunk`` fixes the runs per chunk; by default chunks grow until one
    takes about ``chunk_seconds`` on a worker.  Returns an Outcome."""
    from distributed import wait
    from distributed.scheduler import KilledWorker

    if isinstance(directory, Store):
        store, (layout, refused) = directory, directory.checked
    else:
        store = open_store(plan, directory)
        layout, refused = store.checked
    futures = []
    try:
        values = {number: (key, vals) for number, vals, _, key in plan.runs}
        todo = collections.deque()
        skipped = 0
        for number, vals, settings, key in plan.runs:
            if key in store.done:
                skipped += 1
                continue
            if number in refused:
                continue
            if not any(k == "threads" for k, _ in settings):
                settings = settings + [("threads", "1")]
            todo.append((number, settings, store.prefix(number, vals)))
        outcome = Outcome(len(plan.runs), skipped)
        progress = _Progress(len(plan.runs), skipped, stream)
        try:
            now = [(n, "refused", refused[n], 0.0, "-", 0) for n in sorted(refused)
                   if plan.runs[n - 1][3] not in store.done]
            if now:
                store.append(now, values)
                outcome.run += len(now)
                outcome.statuses["refused"] += len(now)
                progress.update(len(now), len(now))
            if not todo:
                return outcome
            if _workers(client) == 0:
                try:
                    client.wait_for_workers(1, timeout=wait_workers)
                except Exception:
                    raise ScanError("scan: the scheduler %s has no workers (waited %g s)"
                                    % (client.scheduler.address, wait_workers)) from None
            inflight = {}
            per_run = []          # measured seconds of the runs so far
            singles = collections.deque()   # runs of failed chunks, one by one

            def size():
                if chunk:
                    return chunk
                n = max(_workers(client), 1)
                cap = max(1, math.ceil(len(todo) / (2 * n)))
                if not per_run:
                    return min(cap, 4)
                mean = sum(per_run[-1000:]) / len(per_run[-1000:])
                return max(1, min(cap, int(chunk_seconds / max(mean, 1e-6))))

            def submit(items, round_=0):
                f = client.submit(work, items, pure=False)
                inflight[f.key] = (f, items, round_)
                futures.append(f)

            def top_up():
                n = max(_workers(client), 1)
                while len(inflight) < 2 * n and (singles or todo):
                    if singles:
                        # The runs of a failed chunk go alone, one at a time,
                        # so that a worker dying again takes no other run.
                        if not inflight:
                            submit(*singles.popleft())
                        return
                    k = size()
                    submit([todo.popleft() for _ in range(min(k, len(todo)))])

            top_up()

            def handle(f):
                _, items, round_ = inflight.pop(f.key)
                member = None
                if f.status == "finished":
                    results, member = f.result()
                else:
                    exc = f.exception()
                    if _is_import_error(exc):
                        raise ScanError("scan: a worker cannot run the package: %s: %s (start "
                                        "the workers with chainmelt importable)"
                                        % (type(exc).__name__, exc))
                    if len(items) > 1:
                        # Find the run at fault: its chunk's runs go one by one.
                        singles.extend(([item], 1) for item in items)
                        results = []
                    elif round_ < _SINGLE_ROUNDS:
                        # A run beside the one at fault on a dying worker is
                        # counted as suspect too: one more round alone.
                        singles.append((items, round_ + 1))
                        results = []
                    else:
                        why = ("its worker died in every try" if isinstance(exc, KilledWorker)
                               else "%s: %s" % (type(exc).__name__, exc))
                        results = [(items[0][0], "lost", why, 0.0, "-", 0)]
                f.release()
                if results:
                    store.append(results, values, member)
                    per_run.extend(r[3] for r in results if r[1] != "lost")
                    failed = sum(r[1] != "ok" for r in results)
                    outcome.run += len(results)
                    for r in results:
                        outcome.statuses[r[1]] += 1
                    progress.update(len(results), failed)

            while inflight:
                cancelled = False
                try:
                    done = wait([v[0] for v in inflight.values()], timeout=5,
                                return_when="FIRST_COMPLETED").done
                except TimeoutError:
                    done = ()
                except concurrent.futures.CancelledError:
                    done, cancelled = (), True
                cancelled = cancelled or any(f.status == "cancelled" for f in done)
                if cancelled or (not done and client.status not in ("running", "connecting")):
                    raise _Lost(client.status)
                for f in done:
                    handle(f)
                top_up()
            return outcome
        except _Lost as e:
            raise ScanError("scan: lost the connection to the scheduler (%s); the finished "
                            "runs are kept in %s, the same command goes on from there"
                            % (e, store.directory)) from None
        finally:
            progress.close()
    finally:
        for f in futures:
            if not f.done():
                f.cancel()
        store.close()


def local_client(workers=None, **kwargs):
    """A Client of a cluster started in this process: one single-threaded
    worker process per core (or ``workers``)."""
    import logging
    from distributed import Client, LocalCluster
    try:
        import bokeh  # noqa: F401  (the dashboard needs it)
        dashboard = ":0"
    except ImportError:
        dashboard = None
    cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                           processes=True, dashboard_address=dashboard,
                           silence_logs=logging.ERROR, **kwargs)
    return Client(cluster)


def dashboard(client):
    """The dashboard address of the client's scheduler, or None."""
    if getattr(client, "cluster", None) is not None:
        try:
            import bokeh  # noqa: F401  (without it the local cluster serves no dashboard)
        except ImportError:
            return None
    import urllib.request
    try:
        if "dashboard" in client.scheduler_info().get("services", {}):
            link = client.dashboard_link
            # Reported also by a scheduler started without one: ask it.
            with urllib.request.urlopen(link, timeout=2):
                return link
    except Exception:
        pass
    return None


def scan(base, grid, *, zip=(), client=None, out=None, chunk=None, workers=None,
         progress=None, **fields):
    """Runs a parameter scan and returns (records, runs) as DataFrames.

    base: the fields of the runs, as a dict named as run() names them
    (``{"task": "heat", "n0": 2, "T_sweep": (290, 340, 0.5), ...}``) or a
    Model; ``fields`` are added to it.  grid: {field: values}, values a list
    or {"min":, "max":, "step":} / {"min":, "max":, "num":}; the runs are
    the Cartesian product, except the fields of each list in ``zip``, which
    are paired.  client: a distributed.Client; by default a local cluster
    with ``workers`` processes (every core) is started and stopped.  out:
    the results directory (kept; a run already in it is not run again); by
    default a temporary one.  progress: a stream for the progress lines
    (None: none).  See read_scan for the tables.
    """
    import tempfile
    if isinstance(base, _api.Model):
        base = base.given
    plan = Plan(dict(base, **fields), grid, zip)
    own = client is None
    tmp = None
    if out is None:
        tmp = tempfile.TemporaryDirectory(prefix="chainmelt-scan-")
        out = tmp.name
    try:
        if own:
            client = local_client(workers)
        try:
            run_plan(plan, out, client, chunk=chunk, stream=progress)
        finally:
            if own:
                cluster = client.cluster
                client.close()
                cluster.close()
        return read_scan(out)
    finally:
        if tmp is not None:
            tmp.cleanup()


# ----------------------------------------------------- python3 -m chainmelt scan

def add_parser(sub):
    p = sub.add_parser("scan", help="run a parameter scan on Dask (see 'scan --help')",
                       description="Runs a parameter scan described in a TOML file: the base "
                                   "fields at the top level, the scanned ones in [scan].")
    p.add_argument("description", metavar="GRID.toml")
    p.add_argument("-o", "--out", required=True, metavar="DIR",
                   help="results directory (a scan already begun there goes on)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running Dask scheduler, e.g. tcp://HOST:8786")
    where.add_argument("--scheduler-file", metavar="FILE",
                       help="the scheduler file of a running Dask scheduler")
    where.add_argument("--workers", type=int, metavar="N",
                       help="worker processes of the local cluster (default: every core)")
    p.add_argument("--chunk", type=int, metavar="N",
                   help="runs per chunk sent to a worker (default: chosen from the measured "
                        "run time, about 1 s of work per chunk)")
    p.add_argument("--format", choices=FORMATS, default="tsv",
                   help="also write the records as records.csv or records.jsonl when the scan "
                        "ends (records.tsv.gz is always written)")
    p.add_argument("--timeout", type=float, default=30.0, metavar="S",
                   help="seconds to wait for the scheduler and its first worker (default 30)")
    p.set_defaults(func=main_scan)
    return p


def main_scan(args):
    if args.chunk is not None and args.chunk < 1:
        raise ScanError("--chunk: expected a positive whole number, got %d" % args.chunk)
    if args.workers is not None and args.workers < 1:
        raise ScanError("--workers: expected a positive whole number, got %d" % args.workers)
    plan = load(args.description)
    store = open_store(plan, args.out)
    try:
        return _main_scan(args, plan, store)
    except KeyboardInterrupt:
        print("scan: interrupted; the finished runs are kept in %s, the same command "
              "goes on from there" % args.out, file=sys.stderr)
        return 130
    finally:
        store.close()


def _main_scan(args, plan, store):
    from distributed import Client
    own = not (args.scheduler or args.scheduler_file)
    try:
        if own:
            client = local_client(args.workers)
        elif args.scheduler:
            client = Client(args.scheduler, timeout=args.timeout)
        else:
            client = Client(scheduler_file=args.scheduler_file, timeout=args.timeout)
    except (OSError, TimeoutError) as e:
        raise ScanError("scan: cannot reach the scheduler %s: %s"
                        % (args.scheduler or args.scheduler_file, e)) from None
    outcome = None
    try:
        link = dashboard(client)
        if link:
            print("scan: dashboard at %s" % link, file=sys.stderr)
        outcome = run_plan(plan, store, client, chunk=args.chunk, stream=sys.stderr,
                           wait_workers=args.timeout)
    finally:
        if own:
            cluster = client.cluster
            client.close()
            cluster.close()
        else:
            client.close()
    failed = sum(v for k, v in outcome.statuses.items() if k != "ok")
    written = export_records(store.directory, getattr(args, "format", "tsv"))
    if written:
        print("scan: records also in %s" % written, file=sys.stderr)
    print("scan: %d runs, %d done before, %d run now, %s; results in %s"
          % (outcome.total, outcome.skipped, outcome.run,
             ", ".join("%d %s" % (v, k) for k, v in sorted(outcome.statuses.items()))
             or "nothing to do", args.out), file=sys.stderr)
    return 0 if failed == 0 else 1
