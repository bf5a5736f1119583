"""Wall-clock time of the shipped DSC fit (examples/dsc/scan-celsius.csv,
five starts, linear baseline, the equilibrium search) with two copies of the
Python package, alternated so that both see the same load; prints each
round's seconds (wall clock and the process's CPU time; lmfit's import,
which a process's first fit pays, timed apart just before the fit), the
fitted values and the ratios of the medians.

Usage: python3 bench/dsc_fit.py BEFORE_DIR AFTER_DIR [rounds] [default]
(each DIR holds a package chainmelt with its compiled _core, e.g.
<build>/python; "default": the fit as dsc.fit(data, model, fit_baseline="linear")
gives it, its starts taken from the data, instead of five fixed starts)."""

import json
import statistics
import subprocess
import sys
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "dsc" / "scan-celsius.csv"
MODE = "starts"

ONE = r"""
import json, sys, time, warnings
warnings.simplefilter("ignore")
import chainmelt as cm
from chainmelt import dsc
calls = 0
inside = 0.0
real = cm._core.run
def counted(*a, **k):
    global calls, inside
    calls += 1
    t0 = time.perf_counter()
    try:
        return real(*a, **k)
    finally:
        inside += time.perf_counter() - t0
cm._core.run = counted
data = dsc.read(sys.argv[1])
model = cm.Model(n0=2, dH=0, w=-200.0, dHcal=2000.0, Tm=313.0)
# lmfit (which imports matplotlib and emcee) is imported by the first fit of a
# process: timed apart, so that the fit's own time is seen beside it.
t, c = time.perf_counter(), time.process_time()
import lmfit
imported, imported_cpu = time.perf_counter() - t, time.process_time() - c
t, c = time.perf_counter(), time.process_time()
r = dsc.fit(data, model, fit_baseline="linear",
            **({} if sys.argv[2] == "default" else {"starts": 5}))
s, c = time.perf_counter() - t, time.process_time() - c
print(json.dumps({"seconds": s, "cpu": c, "import": imported, "import_cpu": imported_cpu,
                  "calls": calls, "engine_seconds": inside,
                  "values": {k: [r.params[k]["value"], r.params[k]["stderr"]]
                             for k in ("w", "dHcal", "Tm")}}))
"""


def once(package_dir):
    p = subprocess.run([sys.executable, "-c", ONE, str(EXAMPLE), MODE], capture_output=True,
                       text=True, env={"PYTHONPATH": package_dir, "MPLBACKEND": "Agg",
                                       "PATH": "/usr/bin:/bin"}, check=True)
    return json.loads(p.stdout.strip().splitlines()[-1])


def main():
    global MODE
    before, after = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    MODE = sys.argv[4] if len(sys.argv) > 4 else "starts"
    times = {"before": [], "after": []}
    cpu = {"before": [], "after": []}
    whole = {"before": [], "after": []}
    last = {}
    for k in range(rounds):
        for name, d in (("before", before), ("after", after)):
            r = once(d)
            times[name].append(r["seconds"])
            cpu[name].append(r["cpu"])
            whole[name].append(r["seconds"] + r["import"])
            last[name] = r
            print("round %d %-6s %8.2f s (CPU %.2f s), lmfit's import before it %.2f s "
                  "(CPU %.2f s), %6d engine calls taking %.2f s"
                  % (k + 1, name, r["seconds"], r["cpu"], r["import"], r["import_cpu"],
                     r["calls"], r["engine_seconds"]), flush=True)
    for name in ("before", "after"):
        print(name, json.dumps(last[name]["values"]))
    mb, ma = statistics.median(times["before"]), statistics.median(times["after"])
    print("median before %.2f s, after %.2f s, ratio %.1fx" % (mb, ma, mb / ma))
    mb, ma = statistics.median(whole["before"]), statistics.median(whole["after"])
    print("with lmfit's import (a process's first fit), median before %.2f s, after %.2f s, "
          "ratio %.1fx" % (mb, ma, mb / ma))
    # CPU time (every thread of the process) is what a loaded machine distorts least.
    mb, ma = statistics.median(cpu["before"]), statistics.median(cpu["after"])
    print("CPU, median before %.2f s, after %.2f s, ratio %.1fx" % (mb, ma, mb / ma))


if __name__ == "__main__":
    main()
