"""The engine's tables through the binding: record lines as the command line
writes them, leading columns, runs-table lines, and refusals that name their
field."""

import json
import math
import subprocess
import time

import numpy as np
import pytest

from conftest import BINARY, interrupted_child
from chainmelt import _core

HEAT = [("task", "heat"), ("n0", "2"), ("Tm", "314"), ("dHcal", "2200"), ("w", "-200"),
        ("T_min", "300"), ("T_max", "306"), ("dT", "0.5")]


@pytest.mark.parametrize("fmt", ["tsv", "csv", "jsonl"])
def test_rows_text_is_the_command_lines_text(tmp_path, fmt):
    out = tmp_path / ("r." + fmt)
    subprocess.run([str(BINARY), "run", *[w for k, v in HEAT for w in ("--" + k, v)],
                    "--threads", "1", "-o", str(out), "--format", fmt],
                   check=True, capture_output=True, timeout=60)
    skip = {"tsv": 3, "csv": 1, "jsonl": 1}[fmt]
    want = "".join(out.read_text().splitlines(keepends=True)[skip:])
    r = _core.run(HEAT)
    assert _core.rows_text(r["rows"], r["columns"], format=fmt) == want


def test_leading_cells_and_missing_fields():
    cols = [("a", "1", False), ("n", "1", True), ("b", "1", False)]
    rows = np.array([[1e-4, 3.0, math.nan], [2.5, -7.0, 1e300]])
    lead = [("run", 12), ("T_sweep", (300.0, 301.5, 0.5)), ("task", "he\tat"), ("w", -200.25)]
    tsv = _core.rows_text(rows, cols, lead)
    assert tsv.splitlines() == ["12\t300:301.5:0.5\the at\t-200.25\t1e-04\t3\t",
                                "12\t300:301.5:0.5\the at\t-200.25\t2.5\t-7\t1e+300"]
    first = json.loads(_core.rows_text(rows, cols, lead, "jsonl").splitlines()[0])
    assert first == {"run": 12, "T_sweep": "300:301.5:0.5", "task": "he\tat", "w": -200.25,
                     "a": 1e-4, "n": 3, "b": None}
    for line in _core.rows_text(rows, cols, lead, "tsv").splitlines():  # numbers read back
        assert [float(x) for x in line.split("\t")[4:] if x] in ([1e-4, 3.0], [2.5, -7.0, 1e300])
    with pytest.raises(ValueError, match="expected 3 columns"):
        _core.rows_text(rows[:, :2], cols)
    with pytest.raises(ValueError, match="format"):
        _core.rows_text(rows, cols, format="xls")


def test_runs_table_lines():
    assert _core.runs_header(["w", "Tm"], ["records_end"]) == (
        "run\tkey\tw\tTm\tstatus\trecords\tseconds\tworker\tmessage\trecords_end\n")
    line = _core.runs_line(3, "00ff", [-200.5, "a\tb"], "nonfinite", 7, 0.25, "tcp://h:1",
                           " two\n lines ", [1234])
    assert line == "3\t00ff\t-200.5\ta b\tnonfinite\t7\t0.250000\ttcp://h:1\ttwo lines\t1234\n"
    assert set(_core.RUN_STATUSES) >= {"ok", "fatal", "refused", "nonfinite", "lost", "output"}
    with pytest.raises(ValueError, match="status"):
        _core.runs_line(1, "k", [], "fine", 0, 0.0, "", "")


def test_numbers_cross_as_numbers_and_refusals_name_the_field():
    w = 0.1 + 0.2 - 200  # no short decimal text
    p = _core.parameters(HEAT[:-3] + [("w", w), ("T_min", 300), ("T_max", 301.0), ("dT", 1)])
    assert p["w"] == w and p["T_max"] == 301.0
    for bad, field in [(("w", 10 ** 400), "w"), (("Tm", math.inf), "Tm"),
                       (("n0", 3), "n0"), (("dT", "x"), "dT")]:
        with pytest.raises(ValueError) as e:
            _core.parameters(HEAT[:-3] + [("T_min", 300), ("T_max", 301), ("dT", 1), bad])
        assert e.value.args[1] == field and e.value.args[0].startswith(field + ": expected")


_CHILD = r"""
import signal, sys, time
import numpy  # the records' array needs it: imported before the signal can come
from chainmelt import _core

def alarm(signum, frame):
    raise TimeoutError("alarm")

signal.signal(signal.SIGALRM, alarm)
settings = [("task", sys.argv[1]), ("n0", "2"), ("Tm", "314"), ("dHcal", "2200"),
            ("w", "-250"), ("conc", "0.21"), ("T_min", "300"), ("T_max", "330"),
            ("dT", "0.00001"), ("threads", sys.argv[2]), ("search", "classic")]
if sys.argv[1] == "curve":
    # Equilibrium curves of 200 001 points (half a second each on two free
    # cores; up to ten of them, so that the signal finds one running): the
    # engine's blocks hand over nothing until the curve is done, so the poll
    # between them answers.
    settings = [("task", "heat"), ("n0", "8"), ("w", "-3"), ("conc2", "0.4"), ("dH2", "-3"),
                ("dS2", "-1"), ("dH", "35"), ("dS", "11"), ("T_min", "2.5"), ("T_max", "3.5"),
                ("dT", "0.000005"), ("threads", sys.argv[2]), ("search", "equilibrium")]
if sys.argv[3] == "alarm":
    signal.setitimer(signal.ITIMER_REAL, 0.5)
print("go", flush=True)
try:
    for _ in range(10 if sys.argv[1] == "curve" else 1):
        _core.run(settings, lambda kind, line: None)
except (KeyboardInterrupt, TimeoutError) as e:
    # A curve may be done in less than the wait: the signal can then find the
    # loop between two runs, where there is no result (and no record either).
    r = getattr(e, "result", None) or {"rows": [], "records": 0}
    print(type(e).__name__, len(r["rows"]), r["records"], time.monotonic(), flush=True)
    sys.exit(3)
print("finished", flush=True)
"""


@pytest.mark.parametrize("task,threads,how", [("heat", "1", "sigint"), ("heat", "2", "sigint"),
                                              ("phase", "2", "sigint"), ("phase", "1", "alarm"),
                                              ("curve", "1", "sigint"), ("curve", "2", "sigint")])
def test_a_signal_ends_a_run_promptly_with_its_records(task, threads, how):
    """Runs of minutes in a child interpreter: SIGINT (or an alarm whose
    handler raises) ends them within half a second, and the exception holds
    the records completed before it.  Every wait is bounded; the child is
    killed by its pid if anything goes wrong."""
    status, out, err, sent = interrupted_child(_CHILD, task, threads, how,
                                               wait=(0.5 if task == "curve" else 1.0)
                                               if how == "sigint" else 0.0,
                                               send=how == "sigint")
    assert status == 3, err
    line = out.split()
    name = "KeyboardInterrupt" if how == "sigint" else "TimeoutError"
    # A curve's records come when it is done: none before the interrupt.
    assert line[0] == name and (int(line[1]) > 0 or task == "curve") and line[1] == line[2]
    if how == "sigint":
        assert float(line[3]) - sent < 0.5


@pytest.mark.parametrize("point_lines", [False, True])
def test_a_flag_set_by_another_thread_stops_a_run_at_its_next_point(point_lines):
    """A run of 3 000 001 points (seconds) told to stop by a Flag from a timer
    thread ends promptly raising Stopped, holding the records made before;
    a cleared flag lets a run finish."""
    import threading
    settings = [("task", "heat"), ("n0", "2"), ("Tm", "314"), ("dHcal", "2200"), ("w", "-250"),
                ("T_min", "300"), ("T_max", "330"), ("dT", "0.00001"), ("threads", "1"),
                ("search", "classic")]
    flag = _core.Flag()
    timer = threading.Timer(0.2, flag.set)
    timer.start()
    t0 = time.monotonic()
    try:
        with pytest.raises(_core.Stopped) as e:
            _core.run(settings, lambda kind, line: None, leading=(), point_lines=point_lines,
                      stop=flag)
    finally:
        timer.cancel()
    assert flag.is_set() and time.monotonic() - t0 < 5
    r = e.value.result
    assert 0 < r["lines"] == r["records"] < 3_000_001 and r["text"].count("\n") == r["lines"]
    flag.clear()
    done = _core.run(settings[:5] + [("T_min", "300"), ("T_max", "301"), ("dT", "0.5")],
                     leading=(), point_lines=point_lines, stop=flag)
    assert done["lines"] == 3


def test_a_scan_table_converts_with_every_cell_kept():
    tsv = ("# chainmelt 0.1.0 scan kind=heat\n# units\t\t\ttemperature\n"
           "run\ttask\tw\tT\n"
           "1\theat\t-200\t1e-04\n"
           "2\ta,\"b\"\t\tinf\n"
           "3\tété\t1_000\t0.0001\n")  # 1_000: a text, as JSON has no such number
    assert _core.scan_table_as(tsv, "csv", ["task", "w"]).splitlines() == [
        "run,task,w,T", "1,heat,-200,1e-04", '2,"a,""b""",,inf', "3,été,1_000,0.0001"]
    jsonl = _core.scan_table_as(tsv, "jsonl", ["task", "w"]).splitlines()
    assert json.loads(jsonl[0]) == {
        "chainmelt": _core.version, "kind": "heat", "scan": ["task", "w"],
        "columns": [{"name": "run", "unit": ""}, {"name": "task", "unit": ""},
                    {"name": "w", "unit": ""}, {"name": "T", "unit": "temperature"}]}
    assert jsonl[1:] == ['{"run": 1, "task": "heat", "w": -200, "T": 1e-04}',
                         '{"run": 2, "task": "a,\\"b\\"", "w": null, "T": "inf"}',
                         '{"run": 3, "task": "\\u00e9t\\u00e9", "w": "1_000", "T": 0.0001}']
    assert _core.scan_table_as(tsv, "tsv", []) == tsv
