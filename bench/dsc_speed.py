"""Wall-clock times of global fits and of the uncertainty methods.

1. The global fit of the shipped three-scan series (examples/dsc/series, 150 points
   each, n0 = 4, w, dHcal, Tm, w3 shared, a linear baseline per scan, default starts
   from the scans), the scans of an evaluation one after another (threads=1) and on two
   threads (threads=2), alternated in each round so that both see the same load.
2. A 200-replicate residual bootstrap of the shipped single scan
   (examples/dsc/scan-celsius.csv, linear baseline) on two threads.
3. MCMC of that scan: 32 walkers x 2000 steps.

Usage: python3 bench/dsc_speed.py [rounds] [--skip-mcmc]   (chainmelt importable)."""

import statistics
import sys
import time
import warnings
from pathlib import Path

import chainmelt as cm
from chainmelt import dsc
from chainmelt.dsc import uncertainty as unc
from chainmelt.dsc.global_fit import starting_values

EXAMPLES = Path(__file__).resolve().parents[1] / "examples" / "dsc"


def global_fit(threads):
    data = [dsc.read(f) for f in sorted((EXAMPLES / "series").glob("series-conc*.csv"))]
    sv = starting_values(data, fit_baseline="linear")["shared"]
    model = cm.Model(n0=4, dH=0, w3=0.0, **sv)
    t = time.perf_counter()
    r = dsc.fit_global(data, model, vary="w,dHcal,Tm,w3", fit_baseline="linear",
                       threads=threads)
    return time.perf_counter() - t, r


def main():
    warnings.simplefilter("ignore")
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 and sys.argv[1].isdigit() else 3
    times = {1: [], 2: []}
    for k in range(rounds):
        for th in (1, 2):
            s, r = global_fit(th)
            times[th].append(s)
            print(f"round {k + 1} global fit threads={th}: {s:.2f} s, {r.nfev} evaluations "
                  f"in the best start, redchi {r.redchi:.4g}", flush=True)
    m1, m2 = statistics.median(times[1]), statistics.median(times[2])
    print(f"global fit median: threads=1 {m1:.2f} s, threads=2 {m2:.2f} s, ratio {m1 / m2:.2f}")

    data = dsc.read(EXAMPLES / "scan-celsius.csv")
    r = dsc.fit(data, cm.Model(n0=2, dH=0, w=-200.0, dHcal=2000.0, Tm=313.0),
                fit_baseline="linear")
    for th in (2,):
        t = time.perf_counter()
        u = unc.bootstrap(r, n=200, threads=th, seed=0)
        print(f"bootstrap 200 replicates, threads={th}: {time.perf_counter() - t:.1f} s "
              f"(derived figures included), {u.diagnostics['converged']} converged",
              flush=True)
    if "--skip-mcmc" not in sys.argv:
        t = time.perf_counter()
        u = unc.mcmc(r, walkers=32, steps=2000, seed=0)
        print(f"mcmc 32 walkers x 2000 steps: {time.perf_counter() - t:.1f} s, acceptance "
              f"{u.diagnostics['acceptance_fraction']:.2f}, tau "
              + ", ".join(f"{k} {v:.0f}" for k, v in
                          u.diagnostics["autocorrelation_time"].items())
              + ("; " + "; ".join(u.warnings) if u.warnings else ""), flush=True)


if __name__ == "__main__":
    main()
