"""The results directory of a scan without a cluster: damage found and cut,
the lock taken over by one process at most, grids counted, base fields
kept apart, the messages of bad input."""

import gzip
import importlib
import os
import subprocess
import threading
import time

import pytest

import chainmelt
from conftest import ENV, pycli, stale_lock

scanmod = importlib.import_module("chainmelt.scan")   # chainmelt.scan is the function
BASE = dict(task="heat", n0=2, Tm=314.0, T_sweep=(300.0, 302.0, 1.0))
GRID = {"w": [-250.0, -245.0, -240.0, -235.0, -230.0, -225.0]}


def _fill(directory, chunks=((1, 2), (3, 4), (5, 6)), plan=None, together=False):
    """A scan's directory holding the runs of ``chunks``, each chunk
    appended as a worker returns it (``together``: all in one append, as
    chunks that finish at once are)."""
    plan = plan or scanmod.Plan(BASE, GRID)
    layout, _ = scanmod.check_layout(plan)
    store = scanmod.Store(directory, plan, layout)
    runs = {r.number: r for r in plan.runs}
    try:
        done = []
        for numbers in chunks:
            jobs = [scanmod.Job(n, runs[n].settings, store.prefix(runs[n])) for n in numbers]
            results, member = scanmod.run_chunk(jobs)
            if together:
                done.append((results, member))
            else:
                store.append(results, runs, member)
        if done:
            store.append_chunks(done, runs)
    finally:
        store.close()
    return plan, layout


def _open(directory, plan, layout):
    store = scanmod.Store(directory, plan, layout)
    store.close()
    return store


@pytest.fixture(scope="module")
def whole(tmp_path_factory):
    d = tmp_path_factory.mktemp("whole")
    _fill(d)
    return chainmelt.read_scan(d)


DAMAGE = {
    # name: (what to do to records.tsv.gz given the chunk ends, runs to run again)
    "cut at a chunk boundary": (lambda data, ends: data[:ends[1]], 2),
    "cut inside a chunk": (lambda data, ends: data[:ends[0] + 10], 4),
    "a flipped byte": (lambda data, ends: data[:ends[0] + 5] + bytes([data[ends[0] + 5] ^ 1])
                       + data[ends[0] + 6:], 4),
}


@pytest.mark.parametrize("name", DAMAGE)
def test_damaged_records_are_found_cut_and_run_again(tmp_path, whole, name):
    damage, again = DAMAGE[name]
    plan, layout = _fill(tmp_path)
    ends = sorted(set(chainmelt.read_scan(tmp_path)[1]["records_end"]))  # of the chunks
    path = tmp_path / "records.tsv.gz"
    path.write_bytes(damage(path.read_bytes(), ends))
    with pytest.raises(chainmelt.ScanError, match=r"records.tsv.gz: offset \d+"):
        chainmelt.read_scan(tmp_path)
    store = _open(tmp_path, plan, layout)
    assert "%d run(s) whose records were lost will run again" % again in store.notes
    assert len(store.done) == 6 - again
    assert path.stat().st_size == ends[-1 - again // 2]
    records, runs = chainmelt.read_scan(tmp_path)
    assert len(runs) == 6 - again and set(records["run"]) == set(runs["run"])
    # The runs again, as the next scan does them: the same tables as never damaged.
    left = [n for n in range(1, 7) if n not in set(runs["run"])]
    _fill(tmp_path, [left[i:i + 2] for i in range(0, len(left), 2)], plan)
    records, runs = chainmelt.read_scan(tmp_path)
    keep = ["run", "key", "w", "status", "records"]
    assert records.equals(whole[0]) and runs[keep].equals(whole[1][keep])


def test_garbage_after_the_last_chunk_is_cut(tmp_path, whole):
    plan, layout = _fill(tmp_path)
    path = tmp_path / "records.tsv.gz"
    size = path.stat().st_size
    with open(path, "ab") as f:
        f.write(gzip.compress(b"9\t0\t1\t2\n")[:20])
    assert chainmelt.read_scan(tmp_path)[0].equals(whole[0])
    store = _open(tmp_path, plan, layout)
    assert any("20 bytes after the last counted chunk cut" in n for n in store.notes)
    assert len(store.done) == 6 and path.stat().st_size == size


def test_damaged_and_repeated_lines_of_runs_tsv(tmp_path, whole):
    plan, layout = _fill(tmp_path)
    path = tmp_path / "runs.tsv"
    lines = path.read_text().splitlines(keepends=True)
    # Line 3 (run 2) with a damaged key; run 5's line once more at the end.
    lines[2] = lines[2].replace(lines[2].split("\t")[1], "0" * 16)
    path.write_text("".join(lines) + lines[5])
    with pytest.raises(chainmelt.ScanError, match=r"runs.tsv, line 3 \(offset \d+\): damaged"):
        chainmelt.read_scan(tmp_path)
    store = _open(tmp_path, plan, layout)
    # Run 2's chunk (runs 1 and 2) lost a line: it and what follows run again.
    assert any("2 damaged or repeated line(s) dropped (line 3, 8)" in n for n in store.notes)
    assert not store.done
    _fill(tmp_path, [(1, 2), (3, 4), (5, 6)], plan)
    records, runs = chainmelt.read_scan(tmp_path)
    assert records.equals(whole[0]) and len(runs) == 6


def test_a_broken_records_end_of_an_old_table_is_named(tmp_path):
    _fill(tmp_path)
    lines = (tmp_path / "runs.tsv").read_text().splitlines()
    old = ["\t".join(line.split("\t")[:-2]) for line in lines]
    old[2] = old[2].rsplit("\t", 1)[0] + "\tx12"
    (tmp_path / "runs.tsv").write_text("\n".join(old) + "\n")
    with pytest.raises(chainmelt.ScanError, match="runs.tsv, line 3: records_end: expected a "
                                                   "whole number, got 'x12'"):
        chainmelt.read_scan(tmp_path)


def test_other_base_fields_are_refused_naming_them(tmp_path):
    plan, layout = _fill(tmp_path, [(1, 2)])
    other = scanmod.Plan(dict(BASE, Tm=320.0, dHcal=2000.0), GRID)
    with pytest.raises(chainmelt.ScanError) as e:
        scanmod.Store(tmp_path, other, layout)
    assert ("holds a scan with other base fields (Tm = 314.0 there, 320.0 here, dHcal = not "
            "set there, 2000.0 here); use another directory") in str(e.value)
    assert not (tmp_path / "lock").exists()
    # The same base with more threads is the same scan.
    _open(tmp_path, scanmod.Plan(dict(BASE, threads=4), GRID), layout)


def test_at_most_one_process_takes_over_a_stale_lock(tmp_path):
    stale = stale_lock()
    deadline = time.monotonic() + 120
    for trial in range(300):
        assert time.monotonic() < deadline
        d = tmp_path / str(trial)
        d.mkdir()
        (d / "lock").write_text(stale)
        holders, refused, go = [], [], threading.Barrier(4)

        def take():
            go.wait()
            try:
                holders.append(scanmod.Lock(str(d)))
            except chainmelt.ScanError as e:
                refused.append(str(e))
        threads = [threading.Thread(target=take) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(10)
        assert len(holders) == 1 and len(refused) == 3, (trial, refused)
        assert all("in use by another scan (pid %d" % os.getpid() in r
                   or "lock file being written" in r for r in refused)
        holders[0].release()
        assert not (d / "lock").exists()


def test_grids_are_counted_before_they_are_expanded(tmp_path):
    start = time.monotonic()
    with pytest.raises(chainmelt.ScanError, match="the grid has 100000000 runs, more than the "
                                                  "10000000 allowed"):
        scanmod.Plan(BASE, {"w": {"min": -300.0, "max": -200.0, "num": 100_000_000}})
    big = scanmod.Plan(BASE, {"w": {"min": -300.0, "max": -200.0, "num": 1000},
                              "dHcal": {"min": 2000.0, "max": 2999.0, "step": 1.0}})
    assert len(big.runs) == 10**6 and big.runs[-1].values == {"w": -200.0, "dHcal": 2999.0}
    assert big.runs[1000].values == {"w": -300.0 + 100.0 / 999, "dHcal": 2000.0}
    assert time.monotonic() - start < 30   # not a speed target: a bound on a hang
    (tmp_path / "g.toml").write_text('task = "heat"\nn0 = 2\nT-sweep = [300.0, 302.0, 1.0]\n'
                                     '[scan]\nw = {min = -300.0, max = -200.0, num = 12}\n')
    r = pycli("scan", tmp_path / "g.toml", "-o", tmp_path / "res", "--max-runs", "10")
    assert r.returncode == 2 and r.stderr.count("\n") == 1
    assert "the grid has 12 runs, more than the 10 allowed (--max-runs)" in r.stderr


def test_the_command_line_scan_imports_neither_numpy_nor_pandas(tmp_path):
    """python3 -m chainmelt scan without a scheduler, start to end on its
    own threads: no numpy, pandas, matplotlib or Dask is imported (their import
    is most of a short scan's time), and the package's functions named as
    its modules stay functions."""
    (tmp_path / "g.toml").write_text('task = "heat"\nn0 = 2\nTm = 314.0\n'
                                     'T-sweep = [300.0, 302.0, 1.0]\n'
                                     '[scan]\nw = [-250.0, -240.0, -230.0, -220.0]\n')
    code = ("import runpy, sys\n"
            "sys.argv = ['chainmelt', 'scan', %r, '-o', %r, '--workers', '2', '--chunk', '1']\n"
            "try:\n"
            "    runpy.run_module('chainmelt', run_name='__main__', alter_sys=True)\n"
            "finally:\n"
            "    print(sorted({m.split('.')[0] for m in sys.modules} & {'numpy', 'pandas', "
            "'matplotlib', 'dask', 'distributed', 'lmfit', 'scipy', 'xarray'}))\n"
            "    import chainmelt, chainmelt.peak\n"
            "    print(chainmelt.scan.__module__, chainmelt.peak.__module__)\n"
            % (str(tmp_path / "g.toml"), str(tmp_path / "out")))
    p = subprocess.run(["/usr/bin/python3", "-c", code], env=ENV, capture_output=True,
                       text=True, timeout=120)
    assert p.returncode == 0, p.stderr
    assert p.stdout == "[]\nchainmelt.scan.driver chainmelt.peak\n"
    assert "4 runs, 0 done before, 4 run now, 4 ok" in p.stderr
    records, runs = chainmelt.read_scan(tmp_path / "out")
    assert len(records) == 12 and runs["worker"].str.contains(":chainmelt-scan-").all()


def test_messages_of_bad_input(tmp_path):
    with pytest.raises(ValueError) as e:
        chainmelt.Model(n0=2, w=10**400)
    assert e.value.field == "w" and "w: expected a number within the range" in str(e.value)
    with pytest.raises(chainmelt.ScanError, match="scan key 'w': expected numbers within the "
                                                  "range of a double, got an integer of 401"):
        scanmod.Plan(BASE, {"w": [10**400]})
    (tmp_path / "g.toml").write_bytes(b'task = "heat"\n# caf\xe9\n[scan]\nw = [1.0]\n')
    with pytest.raises(chainmelt.ScanError, match=r"g.toml, line 2: not UTF-8 text \(byte 0xe9"):
        scanmod.load(tmp_path / "g.toml")
    r = pycli("plot", tmp_path / "none.tsv", "-o", tmp_path / "x.png")
    assert r.returncode == 2 and "Errno" not in r.stderr
    assert r.stderr == "chainmelt: %s: No such file or directory\n" % (tmp_path / "none.tsv")


def test_a_directory_of_an_earlier_version_goes_on_with_checksums_added(tmp_path, whole):
    plan, layout = _fill(tmp_path, [(1, 2), (3, 4)])
    path = tmp_path / "runs.tsv"
    path.write_text("".join("\t".join(line.split("\t")[:-2]) + "\n"
                            for line in path.read_text().splitlines()))
    (tmp_path / "base.tsv").unlink()
    _, old = chainmelt.read_scan(tmp_path)
    assert len(old) == 4 and "chunk" not in old
    store = _open(tmp_path, plan, layout)
    assert len(store.done) == 4 and not store.notes
    _fill(tmp_path, [(5, 6)], plan)
    records, runs = chainmelt.read_scan(tmp_path)
    assert records.equals(whole[0]) and runs.equals(whole[1].assign(
        seconds=runs["seconds"], worker=runs["worker"]))


def test_any_cut_or_flipped_byte_leaves_each_counted_run_with_its_records_once(tmp_path, whole):
    import random
    rng = random.Random(20261207)
    records_whole, runs_whole = whole
    for trial in range(40):
        d = tmp_path / str(trial)
        plan, layout = _fill(d, together=trial % 2 == 1)
        name = rng.choice(["records.tsv.gz", "runs.tsv"])
        path = d / name
        data = bytearray(path.read_bytes())
        header = data.index(b"\n") + 1 if name == "runs.tsv" else 0
        at = rng.randrange(header, len(data))
        if rng.random() < 0.5:
            del data[at:]
        else:
            data[at] ^= 1 << rng.randrange(8)
        path.write_bytes(bytes(data))
        try:
            store = _open(d, plan, layout)
        except chainmelt.ScanError as e:
            # Only a records header beyond repair is refused, and it is named.
            assert "records of another kind" in str(e), (trial, name, at)
            continue
        records, runs = chainmelt.read_scan(d)
        assert set(runs["key"]) == store.done and runs["key"].is_unique
        counts = records.groupby("run").size()
        for _, r in runs.iterrows():
            assert counts.get(r["run"], 0) == r["records"], (trial, name, at)
            got = records[records["run"] == r["run"]].reset_index(drop=True)
            want = records_whole[records_whole["run"] == r["run"]].reset_index(drop=True)
            assert got.equals(want), (trial, name, at)
        left = [n for n in range(1, 7) if n not in set(runs["run"])]
        _fill(d, [left[i:i + 2] for i in range(0, len(left), 2)], plan)
        assert chainmelt.read_scan(d)[0].equals(records_whole), (trial, name, at)
