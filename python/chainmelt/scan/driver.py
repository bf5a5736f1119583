"""Running a plan on a Dask cluster: chunks sized from the measured run
time, failed chunks retried run by run, results appended to the store."""

from __future__ import annotations

import collections
import concurrent.futures
import dataclasses
import logging
import math
import os
import time
import warnings
from typing import Any, Callable, TextIO

from .. import _core
from .plan import Plan, ScanError, describe
from .store import Store, read_scan
from .threads import ThreadClient, _ThreadFuture, _Waited  # noqa: F401
from .worker import Job, RunResult, run_chunk

log = logging.getLogger("chainmelt")

# Rounds of a run on its own after its chunk failed, before it is lost.
_SINGLE_ROUNDS = 2
# The least work a chunk is made to hold, in seconds of the measured run time
# (unless the whole chunk_seconds is less): every chunk costs two syncs of
# the tables, and a chunk of a few short runs would cost more in them than
# in its runs.
_MIN_CHUNK_SECONDS = 0.02


@dataclasses.dataclass
class Outcome:
    """What a scan did.

    Attributes
    ----------
    total : int
        Runs in the grid.
    skipped : int
        Runs already in the directory, not run again.
    run : int
        Runs made now.
    statuses : collections.Counter
        How many of those ended with each status (``ok``, ``fatal``, ...).
    """

    total: int
    skipped: int
    run: int = 0
    statuses: collections.Counter = dataclasses.field(default_factory=collections.Counter)

    def __repr__(self) -> str:
        return ("Outcome(total=%d, skipped=%d, run=%d, %s)"
                % (self.total, self.skipped, self.run,
                   ", ".join("%s=%d" % kv for kv in sorted(self.statuses.items()))))


class Progress:
    """Progress lines (or a tqdm bar on a terminal) of a scan."""

    def __init__(self, total: int, done: int, stream: TextIO | None, interval: float = 5.0):
        self.total, self.done, self.failed = total, done, 0
        self.stream = stream
        self.start = time.monotonic()
        self.first = done
        self.interval = interval
        self.last = self.start  # the first line after an interval: a short scan says one
        self.bar = None
        if stream is not None and hasattr(stream, "isatty") and stream.isatty():
            try:
                from tqdm import tqdm
                self.bar = tqdm(total=total, initial=done, unit="run", file=stream,
                                dynamic_ncols=True)
            except ImportError:
                pass

    def update(self, n: int, failed: int) -> None:
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

    def line(self) -> str:
        elapsed = time.monotonic() - self.start
        rate = (self.done - self.first) / elapsed if elapsed > 0 else 0.0
        left = (self.total - self.done) / rate if rate > 0 else math.nan
        return ("scan: %d/%d runs done, %d failed, %.1f runs/s, %s remaining"
                % (self.done, self.total, self.failed, rate,
                   "?" if math.isnan(left) else "%.1f s" % left))

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def check_layout(plan: Plan) -> tuple:
    """Check every run of a plan before any is made.

    Parameters
    ----------
    plan : Plan
        The runs.

    Returns
    -------
    tuple
        ``((kind, columns), refused)``: the record layout shared by every run
        the checks accept, and the refused runs as ``{number: message}``.
    """
    layout, first, refused = None, None, {}
    for number, values, settings in plan.unkeyed():
        try:
            this = _core.layout(settings)
        except ValueError as e:
            refused[number] = e.args[0]
            continue
        if layout is None:
            layout, first = this, values
        elif this != layout:
            raise ScanError("scan: the runs write different records (%s for %s, %s for %s); "
                            "scan them separately"
                            % (layout[0] + ": " + " ".join(c[0] for c in layout[1]),
                               describe(first), this[0] + ": " + " ".join(c[0] for c in this[1]),
                               describe(values)))
    if layout is None:
        number = next(iter(refused))
        raise ScanError("scan: every run is refused; run %d: %s" % (number, refused[number]))
    return layout, refused


def open_store(plan: Plan, directory: Any) -> Store:
    """Check every run, then open the results directory and lock it.

    Parameters
    ----------
    plan : Plan
        The runs.
    directory : str or os.PathLike
        The results directory.

    Returns
    -------
    Store
        The directory, checked and repaired, held by this process.
    """
    checked = check_layout(plan)
    store = Store(directory, plan, checked[0])
    store.checked = checked
    return store


def _workers(client):
    """The threads the scheduler's workers run tasks on (a chunk each)."""
    try:
        workers = client.scheduler_info().get("workers", {}).values()
        return sum(max(1, int(w.get("nthreads") or 1)) for w in workers)
    except (OSError, TimeoutError) as e:
        raise _Lost(str(e)) from None


class _Lost(Exception):
    """The connection to the scheduler is gone."""


class _Runner:
    """One pass over the runs of a plan not yet in the store."""

    def __init__(self, plan, store, client, chunk, chunk_seconds, stream, work):
        self.plan, self.store, self.client = plan, store, client
        self.chunk, self.chunk_seconds, self.work = chunk, chunk_seconds, work
        self.refused = store.checked[1]
        self.inflight = {}
        self.futures = []
        # The seconds of the latest runs; the runs of failed chunks, one by one.
        self.per_run: collections.deque = collections.deque(maxlen=1000)
        self.singles: collections.deque = collections.deque()
        self.runs = {}                         # number -> Run, of the runs in flight
        skipped = 0
        self.left = plan.size - len(self.refused)
        if store.done:
            for run in plan.runs:
                if run.key in store.done:
                    skipped += 1
                    if run.number not in self.refused:
                        self.left -= 1
        self.outcome = Outcome(plan.size, skipped)
        self.progress = Progress(plan.size, skipped, stream)
        self.todo = self._todo()

    def _todo(self):
        for run in self.plan.runs:
            if run.key in self.store.done or run.number in self.refused:
                continue
            settings = run.settings
            if not any(k == "threads" for k, _ in settings):
                settings = settings + [("threads", "1")]
            self.runs[run.number] = run
            yield Job(run.number, settings, self.store.prefix(run))

    def record(self, results, member=None):
        self.measure(results)
        self.record_chunks([(results, member)])

    def measure(self, results):
        """Takes the run times of results into the chunk size."""
        self.per_run.extend(r.seconds for r in results if r.status != "lost")

    def record_chunks(self, chunks):
        """Appends finished chunks [(results, member)] to the store together."""
        self.store.append_chunks(chunks, self.runs)
        for results, _ in chunks:
            self.outcome.run += len(results)
            for r in results:
                self.outcome.statuses[r.status] += 1
                self.runs.pop(r.number, None)
            self.progress.update(len(results), sum(r.status != "ok" for r in results))

    def refuse(self):
        now = []
        for number in sorted(self.refused):
            run = self.plan.run(number)
            if run.key not in self.store.done:
                self.runs[number] = run
                now.append(RunResult(number, "refused", self.refused[number], 0.0, "-", 0))
        if now:
            self.record(now)

    def size(self):
        if self.chunk:
            return self.chunk
        n = max(_workers(self.client), 1)
        cap = max(1, math.ceil(self.left / (2 * n)))
        if not self.per_run:
            return min(cap, 4)
        mean = max(sum(self.per_run) / len(self.per_run), 1e-6)
        least = int(min(_MIN_CHUNK_SECONDS, self.chunk_seconds) / mean)
        return max(1, min(max(cap, least), int(self.chunk_seconds / mean)))

    def submit(self, jobs, round_=0):
        try:
            f = self.client.submit(self.work, jobs, pure=False)
        except OSError as e:
            raise _Lost(str(e)) from None
        self.inflight[f.key] = (f, jobs, round_)
        self.futures.append(f)

    def top_up(self):
        n = max(_workers(self.client), 1)
        while len(self.inflight) < 2 * n:
            if self.singles:
                # The runs of a failed chunk go alone, one at a time, so that
                # a worker dying again takes no other run.
                if not self.inflight:
                    self.submit(*self.singles.popleft())
                return
            jobs = [job for _, job in zip(range(self.size()), self.todo)]
            if not jobs:
                return
            self.left -= len(jobs)
            self.submit(jobs)

    def handle(self, f):
        """The (results, member) of a finished chunk to record (results
        empty: its runs go again, one by one)."""
        _, jobs, round_ = self.inflight.pop(f.key)
        member, results = None, []
        if f.status == "finished":
            try:
                results, member = f.result()
            except OSError as e:
                raise _Lost(str(e)) from None
        else:
            exc = f.exception()
            if isinstance(exc, ImportError):
                raise ScanError("scan: a worker cannot run the package: %s: %s (start "
                                "the workers with chainmelt importable)"
                                % (type(exc).__name__, exc))
            if len(jobs) > 1:
                # Find the run at fault: its chunk's runs go one by one.
                self.singles.extend(([job], 1) for job in jobs)
            elif round_ < _SINGLE_ROUNDS:
                # A run beside the one at fault on a dying worker is counted
                # as suspect too: one more round alone.
                self.singles.append((jobs, round_ + 1))
            else:
                killed = False
                if not isinstance(self.client, ThreadClient):
                    from distributed.scheduler import KilledWorker
                    killed = isinstance(exc, KilledWorker)
                why = ("its worker died in every try" if killed
                       else "%s: %s" % (type(exc).__name__, exc))
                results = [RunResult(jobs[0].number, "lost", why, 0.0, "-", 0)]
        f.release()
        return results, member

    def loop(self):
        wait: Any
        if isinstance(self.client, ThreadClient):
            wait = self.client.wait
        else:
            from distributed import wait
        while self.inflight:
            cancelled = False
            try:
                with self.client.as_current():
                    done = wait([v[0] for v in self.inflight.values()], timeout=5,
                                return_when="FIRST_COMPLETED").done
            except TimeoutError:
                done = ()
            except concurrent.futures.CancelledError:
                done, cancelled = (), True
            except OSError as e:
                raise _Lost(str(e)) from None
            cancelled = cancelled or any(f.status == "cancelled" for f in done)
            if cancelled or (not done and self.client.status not in ("running", "connecting")):
                raise _Lost(self.client.status)
            # The chunks finished meanwhile are recorded together (two syncs),
            # those handled before a failure too; the next chunks go out
            # first, so that the workers do not wait for the syncs.
            chunks = []
            try:
                for f in done:
                    results, member = self.handle(f)
                    if results:
                        self.measure(results)
                        chunks.append((results, member))
                self.top_up()
            finally:
                if chunks:
                    self.record_chunks(chunks)

    def cancel(self):
        try:
            pending = [f for f in self.futures if not f.done()]
            if pending:
                self.client.cancel(pending)
        except (OSError, TimeoutError):
            pass  # the scheduler is gone, and the runs with it


def run_plan(plan: Plan, directory: Any, client: Any, *, chunk: int | None = None,
             chunk_seconds: float = 1.0, stream: TextIO | None = None,
             wait_workers: float = 60.0, work: Callable = run_chunk) -> Outcome:
    """Run the runs of a plan that are not yet in a results directory.

    Parameters
    ----------
    plan : Plan
        The runs.
    directory : str, os.PathLike or Store
        The results directory, or the Store open on it.
    client : distributed.Client or ThreadClient
        Where the chunks run.
    chunk : int, optional
        Runs per chunk; by default chunks grow until one takes about
        ``chunk_seconds`` on a worker.
    chunk_seconds : float, default 1.0
        The work a chunk should hold.
    stream : file-like, optional
        Where the progress goes (None: nowhere).
    wait_workers : float, default 60.0
        Seconds to wait for a cluster without workers.
    work : callable, default run_chunk
        The function that runs a chunk on a worker.

    Returns
    -------
    Outcome
        How many runs the grid holds, were skipped and were run now, with
        the statuses of those.
    """
    store = directory if isinstance(directory, Store) else open_store(plan, directory)
    for note in store.notes:
        log.warning("scan: %s", note)
        if stream is not None:
            print("scan: " + note, file=stream, flush=True)
    runner = None
    try:
        runner = _Runner(plan, store, client, chunk, chunk_seconds, stream, work)
        try:
            runner.refuse()
            if runner.left <= 0:
                return runner.outcome
            if _workers(client) == 0:
                try:
                    client.wait_for_workers(1, timeout=wait_workers)
                except Exception:
                    raise ScanError("scan: the scheduler %s has no workers (waited %g s)"
                                    % (client.scheduler.address, wait_workers)) from None
            runner.top_up()
            runner.loop()
            return runner.outcome
        except _Lost as e:
            raise ScanError("scan: lost the connection to the scheduler (%s); the finished "
                            "runs are kept in %s, the same command goes on from there"
                            % (e, store.directory)) from None
        finally:
            runner.progress.close()
    finally:
        if runner is not None:
            runner.cancel()
        store.close()


def local_client(workers: int | None = None, **kwargs: Any) -> Any:
    """The workers of a scan given no scheduler.

    Parameters
    ----------
    workers : int, optional
        Threads (default: one per core).
    **kwargs
        Given any, a Dask ``distributed.LocalCluster`` inside this process with
        these settings, its worker's threads running the chunks.

    Returns
    -------
    ThreadClient or distributed.Client
        By default a ThreadClient of ``workers`` threads of this process.
    """
    if not kwargs:
        return ThreadClient(workers or os.cpu_count() or 1)
    import logging
    from distributed import Client, LocalCluster
    try:
        import bokeh  # noqa: F401  (the dashboard needs it)
        dashboard = ":0"
    except ImportError:
        dashboard = None
    with warnings.catch_warnings():
        # A dashboard port in use is taken elsewhere: nothing to say.
        warnings.filterwarnings("ignore", message="Port .* is already in use")
        cluster = LocalCluster(n_workers=1, threads_per_worker=workers or os.cpu_count() or 1,
                               processes=False, dashboard_address=dashboard,
                               silence_logs=logging.ERROR, **kwargs)
    return Client(cluster)


def close_client(client: Any, own: bool) -> None:
    """Closes a client, and the cluster it started when ``own``."""
    cluster = getattr(client, "cluster", None) if own else None
    try:
        client.close()
    except (OSError, TimeoutError):
        pass  # a scheduler that is gone has nothing to close
    if cluster is not None:
        cluster.close()


def dashboard(client: Any) -> str | None:
    """The dashboard address of the client's scheduler, or None."""
    if isinstance(client, ThreadClient):
        return None
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


def scan(base: Any, grid: dict, *, zip: Any = (), client: Any = None, out: Any = None,
         chunk: int | None = None, workers: int | None = None, progress: TextIO | None = None,
         **fields: Any) -> tuple:
    """Run a parameter scan and return its records and runs as DataFrames.

    Parameters
    ----------
    base : dict or Model
        The fields every run shares, named as :func:`chainmelt.run` names them
        (``{"task": "heat", "n0": 2, "T_sweep": (290, 340, 0.5), ...}``), or a
        Model.
    grid : dict
        ``{field: values}``, the values a list or ``{"min": ..., "max": ...,
        "step": ...}`` (min + k*step, max included) or ``{"min": ..., "max":
        ..., "num": ...}`` (num evenly spaced values).  The runs are every
        combination, the first field varying slowest.
    zip : sequence of sequence of str, optional
        Groups of fields of equally long lists that are paired instead of
        combined (``zip=[["w", "dHcal"]]``).
    client : distributed.Client, optional
        The cluster to run on; by default ``workers`` threads of this process.
    out : str or os.PathLike, optional
        The results directory, kept (a run already in it is not run again); by
        default a temporary one, removed when the scan returns.
    chunk : int, optional
        Runs per chunk; by default chunks grow until one takes about a second.
    workers : int, optional
        Threads of the local workers (default: every core).
    progress : file-like, optional
        A stream for the progress lines (None: none).
    **fields
        Fields added to ``base``.

    Returns
    -------
    ScanTables
        ``(records, runs)``, as :func:`read_scan` reads them from the results
        directory; ``.to_xarray()`` is the scan as an xarray Dataset.

    Raises
    ------
    ScanError
        A description, directory or cluster the scan cannot use.

    Examples
    --------
    >>> records, runs = chainmelt.scan(
    ...     {"task": "heat", "n0": 2, "Tm": 314.0, "T_sweep": (300, 330, 0.5)},
    ...     grid={"w": [-250, -240, -230], "dHcal": [2100, 2200]},
    ...     out="results")                                      # doctest: +SKIP
    """
    import tempfile
    if hasattr(base, "given") and not isinstance(base, dict):
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
                close_client(client, True)
        return read_scan(out)
    finally:
        if tmp is not None:
            tmp.cleanup()
