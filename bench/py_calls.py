"""1000 one-point heat runs from Python (chainmelt.heat(model, T=t), one call
each) against the same 1000 runs as one `chainmelt batch` (--threads 1, one
combined table), side by side and alternated; prints the seconds per run of
each way and their ratio.  Also the same 1000 temperatures as one list
(chainmelt.heat(model, T=array)).

Usage: python3 bench/py_calls.py BUILD_DIR [search] [rounds] [package-dir]
(BUILD_DIR configured with -DCHAINMELT_PYTHON=ON and built; search default
"classic", "equilibrium" for the equilibrium search; package-dir: time that
copy of the package instead of BUILD_DIR/python, e.g. the previous
revision's, against the same batch)."""

import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

N = 1000


def main():
    build = os.path.abspath(sys.argv[1])
    search = sys.argv[2] if len(sys.argv) > 2 else "classic"
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    package = sys.argv[4] if len(sys.argv) > 4 else os.path.join(build, "python")
    sys.path.insert(0, package)
    import warnings
    warnings.simplefilter("ignore")
    import numpy as np
    import chainmelt as cm

    T = 300.0 + 0.03 * np.arange(N)
    model = cm.Model(n0=2, w=-240.0, dHcal=2200.0, Tm=314.0)
    work = tempfile.mkdtemp(prefix="chainmelt-bench-")
    with open(os.path.join(work, "base.toml"), "w") as f:
        f.write('task = "heat"\nn0 = 2\nw = -240.0\ndHcal = 2200.0\nTm = 314.0\n'
                'search = "%s"\n' % search)
    with open(os.path.join(work, "runs.txt"), "w") as f:
        for t in T:
            f.write("@base.toml T-sweep=%r:%r:1\n" % (t, t))

    cpu = {"batch": [], "calls": []}

    def children():
        r = resource.getrusage(resource.RUSAGE_CHILDREN)
        return r.ru_utime + r.ru_stime

    def batch():
        t0, c0 = time.perf_counter(), children()
        subprocess.run([os.path.join(build, "chainmelt"), "batch", os.path.join(work, "runs.txt"),
                        "--threads", "1", "-o", os.path.join(work, "batch.tsv")],
                       check=True, stderr=subprocess.DEVNULL)
        cpu["batch"].append(children() - c0)
        return time.perf_counter() - t0

    def calls():
        t0, c0 = time.perf_counter(), time.process_time()
        for t in T:
            cm.heat(model, T=float(t), search=search, threads=1)
        cpu["calls"].append(time.process_time() - c0)
        return time.perf_counter() - t0

    def one_list():
        t0 = time.perf_counter()
        cm.heat(model, T=T, search=search, threads=1)
        return time.perf_counter() - t0

    got = {"batch": [], "calls": [], "list": []}
    for k in range(rounds):
        for name, fn in (("batch", batch), ("calls", calls), ("list", one_list)):
            got[name].append(fn())
        print("round %d: batch %.3f s, python calls %.3f s, one list %.3f s"
              % (k + 1, got["batch"][-1], got["calls"][-1], got["list"][-1]), flush=True)
    b, c, li = (statistics.median(got[n]) for n in ("batch", "calls", "list"))
    print("search %s, per run (median of %d): batch %.0f us, python calls %.0f us (%.2fx the "
          "batch), one list %.0f us per point" % (search, rounds, 1e6 * b / N, 1e6 * c / N, c / b,
                                                 1e6 * li / N))
    # CPU time is what a loaded machine distorts least.
    b, c = (statistics.median(cpu[n]) for n in ("batch", "calls"))
    print("search %s, CPU per run (median of %d): batch %.0f us, python calls %.0f us (%.2fx)"
          % (search, rounds, 1e6 * b / N, 1e6 * c / N, c / b))


if __name__ == "__main__":
    main()
