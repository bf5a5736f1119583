"""Parameter scans against a real Dask cluster on loopback and the embedded one."""

import gzip
import importlib
import json

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import chainmelt
from conftest import ENV, ROOT, pycli as _cli, stale_lock

pytest.importorskip("distributed")
scanmod = importlib.import_module("chainmelt.scan")   # chainmelt.scan is the function

DASK = ["/usr/bin/python3", "-m", "distributed.cli.dask_scheduler"]
WORKER = ["/usr/bin/python3", "-m", "distributed.cli.dask_worker"]

# 200 short runs: a 20 x 10 grid over w and dHcal, three sweep points each.
BASE = dict(task="heat", n0=2, Tm=314.0, T_sweep=(300.0, 302.0, 1.0))
GRID = {"w": {"min": -260.0, "max": -222.0, "step": 2.0}, "dHcal": {"min": 2000.0,
                                                                      "max": 2450.0, "num": 10}}
# Slower runs (a few ms each), so that a scan can be disturbed halfway.
SLOW = dict(task="heat", n0=2, Tm=314.0, T_sweep=(290.0, 340.0, 0.5), search="equilibrium")
SLOW_GRID = {"w": [-260.0 + i for i in range(40)], "dHcal": [2100.0, 2150.0, 2200.0, 2250.0,
                                                             2300.0, 2350.0, 2400.0, 2450.0]}


def _toml(base, grid, zip_=()):
    lines = []
    for k, v in base.items():
        k = {"T_sweep": "T-sweep"}.get(k, k)
        lines.append("%s = %s" % (k, json.dumps(list(v) if isinstance(v, tuple) else v)))
    lines.append("[scan]")
    for k, v in grid.items():
        if isinstance(v, dict):
            v = "{" + ", ".join("%s = %s" % (a, json.dumps(b)) for a, b in v.items()) + "}"
        else:
            v = json.dumps(v)
        lines.append("%s = %s" % (k, v))
    if zip_:
        lines.append("zip = %s" % json.dumps([list(g) for g in zip_]))
    return "\n".join(lines) + "\n"


def _stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(10)


class Cluster:
    """A dask scheduler and its workers, each a process of its own on 127.0.0.1."""

    def __init__(self, tmp):
        self.file = tmp / "scheduler.json"
        self.workers = []
        self.scheduler = subprocess.Popen(
            DASK + ["--host", "127.0.0.1", "--port", "0", "--no-dashboard", "--scheduler-file",
                    str(self.file)], env=ENV, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not (self.file.exists() and self.file.stat().st_size):
            assert self.scheduler.poll() is None, "the scheduler ended"
            assert time.monotonic() < deadline, "no scheduler file after 30 s"
            time.sleep(0.1)
        time.sleep(0.2)
        self.address = json.loads(self.file.read_text())["address"]

    def start_worker(self):
        w = subprocess.Popen(WORKER + ["--scheduler-file", str(self.file), "--nthreads", "1",
                                       "--no-nanny", "--no-dashboard", "--host", "127.0.0.1",
                                       "--death-timeout", "30"],
                             env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.workers.append(w)
        return w

    def ensure_workers(self, n):
        from distributed import Client
        self.workers = [w for w in self.workers if w.poll() is None]
        while len(self.workers) < n:
            self.start_worker()
        with Client(self.address, timeout=30) as c:
            c.wait_for_workers(n, timeout=60)
            deadline = time.monotonic() + 30
            while len(c.scheduler_info()["workers"]) != n:
                assert time.monotonic() < deadline
                time.sleep(0.1)

    def stop(self):
        for w in self.workers:
            _stop(w)
        _stop(self.scheduler)


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    c = Cluster(tmp_path_factory.mktemp("dask"))
    try:
        c.ensure_workers(2)
        yield c
    finally:
        c.stop()


@pytest.fixture(scope="module")
def client(cluster):
    from distributed import Client
    with Client(cluster.address, timeout=30) as c:
        yield c


def _one_by_one(base, grid, zip_=()):
    """{run number: records} of the runs done one by one through the package."""
    plan = scanmod.Plan(base, grid, zip_)
    out = {}
    for r in plan.runs:
        out[r.number] = chainmelt.run(**dict(base, **r.values))
    return plan, out


def _assert_equals(records, runs, plan, expected):
    assert sorted(runs["run"]) == list(range(1, len(plan.runs) + 1))
    assert runs["key"].is_unique and (runs["status"] == "ok").all()
    assert records.attrs["scan"] == plan.names
    for r in plan.runs:
        got = records[records["run"] == r.number]
        for name, v in r.values.items():
            assert (got[name] == v).all()
        df = expected[r.number]
        assert len(got) == len(df)
        for c in df.columns:
            a, b = got[c].to_numpy(float), df[c].to_numpy(float)
            assert np.array_equal(a, b, equal_nan=True), (r.number, c)


@pytest.fixture(scope="module")
def expected():
    return _one_by_one(BASE, GRID)


def test_cluster_scan_equals_runs_one_by_one(client, tmp_path, expected):
    plan, by_run = expected
    assert len(plan.runs) == 200
    (tmp_path / "grid.toml").write_text(_toml(BASE, GRID))
    loaded = scanmod.load(tmp_path / "grid.toml")
    assert [r.key for r in loaded.runs] == [r.key for r in plan.runs]
    records, runs = chainmelt.scan(BASE, GRID, client=client, out=tmp_path / "res")
    _assert_equals(records, runs, plan, by_run)
    assert set(runs["worker"]) <= {w for w in client.scheduler_info()["workers"]}
    assert not (tmp_path / "res" / "lock").exists()
    # The table reads as one gzip stream with a header.
    with gzip.open(tmp_path / "res" / "records.tsv.gz", "rt") as f:
        assert f.readline().startswith("# chainmelt ")
    # Done again: nothing is run twice.
    out = scanmod.run_plan(plan, tmp_path / "res", client)
    assert (out.skipped, out.run) == (200, 0)


def test_embedded_cluster_scan_equals_runs_one_by_one(tmp_path, expected):
    plan, by_run = expected
    records, runs = chainmelt.scan(BASE, GRID, workers=2, out=tmp_path / "res")
    _assert_equals(records, runs, plan, by_run)
    assert runs["worker"].nunique() == 2


def _wait_rows(path, n, proc, timeout=60):
    deadline = time.monotonic() + timeout
    while True:
        rows = path.read_text().count("\n") - 1 if path.exists() else 0
        if rows >= n:
            return rows
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline, "the scan did not get going"
        time.sleep(0.01)


def _disturbed_scan(tmp_path, rows, disturb, *opts, timeout=60, group=False):
    """Starts a scan of SLOW_GRID with opts, disturbs it once it has finished rows runs and
    returns (status, stderr, result directory)."""
    (tmp_path / "grid.toml").write_text(_toml(SLOW, SLOW_GRID))
    res = tmp_path / "res"
    p = subprocess.Popen(["/usr/bin/python3", "-m", "chainmelt", "scan",
                          str(tmp_path / "grid.toml"), "-o", str(res), *map(str, opts)],
                         env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         start_new_session=group)
    try:
        _wait_rows(res / "runs.tsv", rows, p, timeout=90 if group else 60)
        disturb(p)
        _, err = p.communicate(timeout=timeout)
    finally:
        if group and p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait(10)
        _stop(p)
    return p.returncode, err, res


def test_worker_killed_halfway_costs_nothing(cluster, tmp_path):
    cluster.ensure_workers(2)

    def kill_worker(p):
        os.kill(cluster.workers[0].pid, signal.SIGKILL)
        cluster.workers[0].wait(10)
    status, err, res = _disturbed_scan(tmp_path, 60, kill_worker, "--scheduler", cluster.address,
                                       "--chunk", "4", timeout=120)
    assert status == 0, err
    records, runs = chainmelt.read_scan(res)
    assert len(runs) == 320 and runs["key"].is_unique and (runs["status"] == "ok").all()
    assert (records.groupby("run").size() == 101).all()
    # The killed worker finished runs before it died, the other the rest.
    assert runs["worker"].nunique() == 2


def test_interrupted_scan_finishes_without_redoing_runs(cluster, client, tmp_path):
    cluster.ensure_workers(2)
    opts = ["--scheduler-file", cluster.file, "--chunk", "4"]
    status, err, res = _disturbed_scan(tmp_path, 40, lambda p: p.send_signal(signal.SIGINT),
                                       *opts)
    assert status == 130, err
    assert "Traceback" not in err and len(_other_lines(err)) == 1
    assert "interrupted" in err
    assert not (res / "lock").exists()
    _, first = chainmelt.read_scan(res)
    assert 40 <= len(first) < 320 and first["key"].is_unique
    again = _cli("scan", tmp_path / "grid.toml", "-o", res, *opts)
    assert again.returncode == 0, again.stderr
    assert "320 runs, %d done before, %d run now" % (len(first), 320 - len(first)) \
        in again.stderr
    records, runs = chainmelt.read_scan(res)
    assert len(runs) == 320 and runs["key"].is_unique
    # The same as an uninterrupted scan (worker and run time aside).
    whole, whole_runs = chainmelt.scan(SLOW, SLOW_GRID, client=client, out=tmp_path / "whole")
    assert records.equals(whole)
    keep = ["run", "key", "w", "dHcal", "status", "records", "message"]
    assert runs[keep].equals(whole_runs[keep])


def test_fatal_and_refused_runs_are_recorded_and_the_scan_goes_on(client, tmp_path):
    # conc = 0.9 leaves the classic search no feasible fluid-rich start: a
    # fatal error.
    base = dict(task="phase", n0=2, w=-300.0, Tm=314.0, dHcal=2165.0,
                T_sweep=(305.0, 307.0, 1.0), search="classic")
    with pytest.raises(chainmelt.FatalError) as fatal:
        chainmelt.run(**dict(base, conc=0.9))
    records, runs = chainmelt.scan(base, {"conc": [0.21, 0.9, 0.5]}, client=client,
                                   out=tmp_path / "res")
    assert list(runs["status"]) == ["ok", "fatal", "ok"]
    assert runs["message"][1] == fatal.value.message
    assert set(records["run"]) <= {1, 2, 3}
    # A run that the checks refuse never reaches a worker.
    records, runs = chainmelt.scan(dict(base, conc=0.21), {"Tm": [314.0, 0.0]}, client=client,
                                   out=tmp_path / "r2")
    assert list(runs["status"]) == ["ok", "refused"]
    assert "Tm" in runs["message"][1] and runs["worker"][1] == "-"


def test_a_run_that_kills_its_workers_is_lost_and_the_scan_goes_on(tmp_path):
    import dask
    from distributed import Client, LocalCluster
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None,
                          silence_logs=50) as lc, Client(lc) as c:
            _assert_run_2_lost(tmp_path / "res", c, _poisoned, "died")


def _assert_run_2_lost(directory, client, work, reason):
    """Four runs whose second breaks what runs it: that one is lost with the reason."""
    plan = scanmod.Plan(BASE, {"w": [-250.0, -240.0, -230.0, -220.0]})
    out = scanmod.run_plan(plan, directory, client, chunk=4, work=work)
    assert out.statuses == {"ok": 3, "lost": 1}
    _, runs = chainmelt.read_scan(directory)
    assert list(runs["status"]) == ["ok", "lost", "ok", "ok"]
    assert reason in runs["message"][1]


def _poisoned(items):
    if any(("w", "-240.0") in job.settings for job in items):
        os._exit(3)
    return scanmod.run_chunk(items)


def test_a_scan_without_scheduler_runs_on_threads_and_a_failing_chunk_is_retried_alone(
        tmp_path):
    """No scheduler: the chunks run on threads of the scanning process, no
    Dask imported, nothing started; a chunk that raises has its runs tried
    one by one, and the run at fault is lost with the reason."""
    code = ("import sys, chainmelt\n"
            "r, runs = chainmelt.scan(%r, {'w': [-250.0, -240.0, -230.0]}, workers=2, out=%r)\n"
            "print('distributed' in sys.modules, sorted(runs['worker'].str.split(':').str[-1]"
            ".unique()), len(r))" % (BASE, str(tmp_path / "a")))
    p = subprocess.run([sys.executable, "-c", code], env=ENV, capture_output=True, text=True,
                       timeout=120)
    assert p.returncode == 0, p.stderr
    imported, _, rest = p.stdout.strip().partition(" ")
    assert imported == "False" and "chainmelt-scan-" in rest and rest.endswith(" 9")

    client = scanmod.local_client(2)
    try:
        _assert_run_2_lost(tmp_path / "b", client, _raising, "RuntimeError: poisoned")
    finally:
        scanmod.close_client(client, True)


def _raising(items):
    if any(("w", "-240.0") in job.settings for job in items):
        raise RuntimeError("poisoned")
    return scanmod.run_chunk(items)


def test_lock_refuses_a_second_scan_and_a_dead_holder_is_taken_over(tmp_path):
    (tmp_path / "grid.toml").write_text(_toml(BASE, {"w": [-250.0, -240.0]}))
    res = tmp_path / "res"
    res.mkdir()
    plan = scanmod.load(tmp_path / "grid.toml")
    layout, _ = scanmod.check_layout(plan)
    store = scanmod.Store(res, plan, layout)
    try:
        before = (res / "runs.tsv").read_bytes()
        r = _cli("scan", tmp_path / "grid.toml", "-o", res, "--workers", "1")
        assert r.returncode == 2
        assert "in use by another scan (pid %d on host" % os.getpid() in r.stderr
        assert len(r.stderr.strip().splitlines()) == 1
        assert (res / "runs.tsv").read_bytes() == before
    finally:
        store.close()
    assert not (res / "lock").exists()
    (res / "lock").write_text(stale_lock())
    scanmod.Store(res, plan, layout).close()
    assert not (res / "lock").exists()


def test_a_scan_killed_mid_write_keeps_exactly_the_counted_runs(tmp_path):
    plan = scanmod.Plan(BASE, {"w": [-250.0, -240.0, -230.0]})
    layout, _ = scanmod.check_layout(plan)
    runs = {r.number: r for r in plan.runs}
    store = scanmod.Store(tmp_path, plan, layout)
    first = plan.runs[0]
    results, member = scanmod.run_chunk([scanmod.Job(1, first.settings, store.prefix(first))])
    store.append(results, runs, member)
    store.close()
    good = (tmp_path / "records.tsv.gz").stat().st_size
    # Killed after the records of run 2 went out but before its row was whole.
    member = gzip.compress(b"2\t-240\t300\t1\t2\t3\t4\t5\n")
    with open(tmp_path / "records.tsv.gz", "ab") as f:
        f.write(member[:len(member) // 2])
    with open(tmp_path / "runs.tsv", "a") as f:
        f.write("2\t%s\t-240\tok\t3" % plan.runs[1].key)
    store = scanmod.Store(tmp_path, plan, layout)
    assert set(store.done) == {plan.runs[0].key}
    store.close()
    assert (tmp_path / "records.tsv.gz").stat().st_size == good
    records, runs = chainmelt.read_scan(tmp_path)
    assert list(runs["run"]) == [1] and list(records["run"]) == [1, 1, 1]

    # The other formats on request hold the counted records, numbers unchanged.
    import pandas as pd
    csv = pd.read_csv(scanmod.export_records(tmp_path, "csv"), float_precision="round_trip")
    assert csv.equals(records)
    back = chainmelt.read(tmp_path / "records.csv")  # with records.csv.meta.json
    assert back.attrs["scan"] == ["w"] and back.attrs["kind"] == records.attrs["kind"]
    assert all(back.attrs["units"][k] == u for k, u in records.attrs["units"].items())
    lines = open(scanmod.export_records(tmp_path, "jsonl")).read().splitlines()
    head, rows = json.loads(lines[0]), [json.loads(x) for x in lines[1:]]
    assert head["scan"] == ["w"] and [c["name"] for c in head["columns"]] == list(records)
    assert [[r[c] for c in records] for r in rows] == records.values.tolist()
    assert not list(tmp_path.glob("*.tmp"))
    with pytest.raises(ValueError, match="--format"):
        scanmod.export_records(tmp_path, "xml")


def test_scan_descriptions(tmp_path):
    ok = scanmod.Plan(BASE, {"w": {"min": -250.0, "max": -240.0, "step": 5.0},
                             "dHcal": [2100.0, 2200.0, 2300.0],
                             "Tm": {"min": 310.0, "max": 318.0, "num": 3}},
                      zip=[["dHcal", "Tm"]])
    assert ok.names == ["w", "dHcal", "Tm"]
    assert [tuple(r.values.values()) for r in ok.runs][:4] == [
        (-250.0, 2100.0, 310.0), (-250.0, 2200.0, 314.0), (-250.0, 2300.0, 318.0),
        (-245.0, 2100.0, 310.0)]
    assert len(ok.runs) == 9 and len({r.key for r in ok.runs}) == 9
    # The key follows the parameters, not their place in the grid.
    again = scanmod.Plan(dict(BASE, dHcal=2100.0, Tm=310.0), {"w": [-245.0]})
    assert again.runs[0].key == ok.runs[3].key
    bad = {
        "step 3.0 must divide": ({"w": {"min": 0.0, "max": 10.0, "step": 3.0}}, ()),
        "not a field": ({"x": [1.0]}, ()),
        "equally long": ({"w": [1.0, 2.0], "dHcal": [1.0]}, [["w", "dHcal"]]),
        "runs 1 and 2 are the same": ({"w": [1.0, 1.0]}, ()),
        "expected a list or a table": ({"w": {"min": 1.0}}, ()),
    }
    for text, (grid, zip_) in bad.items():
        with pytest.raises(chainmelt.ScanError, match=text):
            scanmod.Plan(BASE, grid, zip_)
    (tmp_path / "g.toml").write_text('task = "heat"\nn0 = 2\nbogus = 1\n[scan]\nw = [1.0]\n')
    r = _cli("scan", tmp_path / "g.toml", "-o", tmp_path / "res")
    assert r.returncode == 2 and "g.toml: unknown field(s): bogus" in r.stderr
    assert not (tmp_path / "res").exists()
    # A scheduler file that never appears, or holds no address, ends the wait
    # at --timeout with one line naming it.
    (tmp_path / "grid.toml").write_text(_toml(BASE, GRID))
    (tmp_path / "junk.json").write_text("{")
    for name, why in [("absent.json", "it does not exist"), ("junk.json", "no scheduler address")]:
        t0 = time.monotonic()
        r = _cli("scan", tmp_path / "grid.toml", "-o", tmp_path / "res2", "--scheduler-file",
                 tmp_path / name, "--timeout", "0.5", timeout=60)
        assert r.returncode == 2 and why in r.stderr and name in r.stderr, r.stderr
        assert len(r.stderr.strip().splitlines()) == 1 and time.monotonic() - t0 < 30
    # The worked scan of the README.
    worked = scanmod.load(ROOT / "examples" / "scan-heat.toml")
    assert worked.names == ["w", "dHcal"] and len(worked.runs) == 100
    assert worked.runs[-1].values == {"w": -160.0, "dHcal": 2700.0}
    # Runs whose records differ in their columns cannot share one table.
    with pytest.raises(chainmelt.ScanError, match="different records"):
        scanmod.check_layout(scanmod.Plan(dict(BASE, conc=0.1), {"n0": [2, 4]}))
    # A run the engine would refuse is refused before any run starts, with
    # the checks of a run (n0 = 4 needs 0 < conc < 1).
    layout, refused = scanmod.check_layout(scanmod.Plan(BASE, {"n0": [2, 4]}))
    assert layout[0] == "heat" and list(refused) == [2] and "conc" in refused[2]


def test_plots_of_a_scan(tmp_path, client):
    grid = {"w": [-250.0, -240.0, -230.0], "dHcal": [2100.0, 2200.0]}
    chainmelt.scan(BASE, grid, client=client, out=tmp_path / "res")
    r = _cli("plot", tmp_path / "res", "--by", "w", "-o", tmp_path / "c.png")
    assert r.returncode == 0, r.stderr
    r = _cli("plot", tmp_path / "res", "--map", "w,dHcal", "--value", "Cp_max", "-o",
             tmp_path / "m.png")
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "c.png").stat().st_size and (tmp_path / "m.png").stat().st_size
    r = _cli("plot", tmp_path / "res", "--by", "w", "--where", "dHcal=2100", "-o",
             tmp_path / "c1.png")
    assert r.returncode == 0, r.stderr
    r = _cli("plot", tmp_path / "res", "--by", "w", "--set", "dHcal=2100", "-o",
             tmp_path / "c2.png")
    assert r.returncode == 2 and "give --where dHcal=2100" in r.stderr
    from chainmelt.plot import scan as plot_scan
    records, _ = chainmelt.read_scan(tmp_path / "res")
    peak = plot_scan.per_run(records, "T_at_Cp_max")
    assert len(peak) == 6 and (peak == 302).all()
    r = _cli("plot", tmp_path / "res", "--map", "w,dHcal", "--value", "Cq_max", "-o",
             tmp_path / "x.png")
    assert r.returncode == 2 and "--value" in r.stderr


def test_a_killed_scheduler_ends_the_scan_and_the_embedded_cluster_finishes_it(tmp_path):
    own = Cluster(tmp_path)
    try:
        own.ensure_workers(1)
        status, err, res = _disturbed_scan(
            tmp_path, 20, lambda p: os.kill(own.scheduler.pid, signal.SIGKILL),
            "--scheduler", own.address, "--chunk", "4", timeout=90)
    finally:
        own.stop()
    assert status == 2 and "lost the connection to the scheduler" in err, err
    assert not (res / "lock").exists()
    _, first = chainmelt.read_scan(res)
    r = _cli("scan", tmp_path / "grid.toml", "-o", res, "--workers", "2")
    assert r.returncode == 0, r.stderr
    assert "%d done before" % len(first) in r.stderr
    records, runs = chainmelt.read_scan(res)
    assert len(runs) == 320 and runs["key"].is_unique and (runs["status"] == "ok").all()
    assert len(records) == 320 * 101


def _other_lines(err):
    """The lines of a scan's stderr besides its progress and dashboard lines."""
    import re
    return [line for line in err.splitlines()
            if not re.match(r"scan: (\d+/\d+ runs done|dashboard at )", line)]


def test_ctrl_c_of_a_scan_on_its_own_cluster_prints_one_line(tmp_path):
    # A terminal's Ctrl-C reaches every process of the group: the scan and
    # the worker processes of its cluster.
    status, err, res = _disturbed_scan(tmp_path, 8, lambda p: os.killpg(p.pid, signal.SIGINT),
                                       "--workers", "1", "--chunk", "4", group=True)
    _assert_stopped(status, err, res, 130, "interrupted")


def test_the_next_scan_repairs_a_damaged_table_and_refuses_other_base_fields(cluster, tmp_path):
    cluster.ensure_workers(2)
    grid = {"w": [-250.0 + 2 * i for i in range(12)], "dHcal": [2100.0, 2200.0]}
    (tmp_path / "grid.toml").write_text(_toml(BASE, grid))
    args = ["scan", tmp_path / "grid.toml", "-o", tmp_path / "res", "--scheduler",
            cluster.address, "--chunk", "4"]
    r = _cli(*args)
    assert r.returncode == 0, r.stderr
    whole, whole_runs = chainmelt.read_scan(tmp_path / "res")
    path = tmp_path / "res" / "records.tsv.gz"
    ends = sorted(set(whole_runs["records_end"]))
    path.write_bytes(path.read_bytes()[:ends[2] - 7])
    r = _cli(*args)
    assert r.returncode == 0, r.stderr
    assert "offset %d: the file ends at %d inside a chunk" % (ends[1], ends[2] - 7) in r.stderr
    assert "whose records were lost will run again" in r.stderr
    records, runs = chainmelt.read_scan(tmp_path / "res")
    keep = ["run", "key", "w", "dHcal", "status", "records"]
    assert records.equals(whole) and runs[keep].equals(whole_runs[keep])
    # The same grid with another Tm: refused in one line, the tables untouched.
    before = path.read_bytes()
    (tmp_path / "grid.toml").write_text(_toml(dict(BASE, Tm=320.0), grid))
    r = _cli(*args)
    assert r.returncode == 2 and r.stderr.count("\n") == 1
    assert "holds a scan with other base fields (Tm = 314.0 there, 320.0 here)" in r.stderr
    assert path.read_bytes() == before


def test_sigterm_ends_a_scan_as_ctrl_c_does(cluster, tmp_path):
    cluster.ensure_workers(2)
    status, err, res = _disturbed_scan(tmp_path, 8, lambda p: p.send_signal(signal.SIGTERM),
                                       "--scheduler", cluster.address, "--chunk", "4")
    _assert_stopped(status, err, res, 128 + signal.SIGTERM, "stopped by SIGTERM")


def _assert_stopped(status, err, res, expected, how):
    """A scan stopped by a signal: its status, one line saying so, no lock, and the runs
    finished before it kept."""
    assert status == expected, err
    assert "Traceback" not in err
    assert _other_lines(err) == ["scan: %s; the finished runs are kept in %s, the same command "
                                 "goes on from there" % (how, res)]
    assert not (res / "lock").exists()
    _, runs = chainmelt.read_scan(res)
    assert len(runs) >= 8 and runs["key"].is_unique
