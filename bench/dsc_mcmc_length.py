"""How long the MCMC of the shipped scan must run: one chain of 32 walkers (default
6000 steps, nothing discarded) of the default fit of examples/dsc/scan-celsius.csv with
a linear baseline, cut to the lengths a run of 2000, 3000, 4000 ... steps would have
(emcee's chain of a shorter run with the same seed is the start of this one), each with
its first quarter discarded as the default burn-in does.  For each length: the
integrated autocorrelation time of each parameter over the kept steps, the kept steps in
autocorrelation times (the sampling warns under 50), the effective number of samples,
and the 95 % intervals against the longest chain's.

Usage: python3 bench/dsc_mcmc_length.py [steps] [seed]   (chainmelt importable)."""

import pathlib
import sys
import time

import numpy as np
from emcee.autocorr import integrated_time

import chainmelt as cm
from chainmelt import dsc
from chainmelt.dsc import uncertainty as unc

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples" / "dsc"


def main():
    steps = int(sys.argv[1]) if len(sys.argv) > 1 else 6000
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    walkers = 32
    data = dsc.read(EXAMPLES / "scan-celsius.csv")
    r = dsc.fit(data, cm.Model(n0=2, dH=0, w=-200.0, dHcal=2000.0, Tm=313.0),
                fit_baseline="linear")
    t = time.perf_counter()
    u = unc.mcmc(r, walkers=walkers, steps=steps, burn=0, seed=seed, derived=False)
    print(f"{walkers} walkers x {steps} steps, seed {seed}: {time.perf_counter() - t:.0f} s, "
          f"acceptance {u.diagnostics['acceptance_fraction']:.2f}")
    names = list(u.draws.columns)
    chain = u.draws.to_numpy().reshape(steps, walkers, len(names))  # step-major
    model = [n for n in names if n in u.intervals]

    def intervals(kept):
        x = kept.reshape(-1, len(names))
        return {n: np.percentile(x[:, names.index(n)], [2.5, 97.5]) for n in model}

    full = intervals(chain[steps // 4:])
    print("| steps | kept | longest tau | kept / tau | effective samples | "
          "largest shift of an interval end (of its width, against the longest chain) |")
    print("|---:|---:|---:|---:|---:|---:|")
    for n in sorted({2000, 3000, 4000, 5000, steps} & set(range(1, steps + 1))):
        kept = chain[n // 4:n]
        tau = integrated_time(kept, quiet=True, tol=0)
        tmax = float(np.max(tau))
        got = intervals(kept)
        shift = max(float(np.max(np.abs(got[k] - full[k]))) / float(full[k][1] - full[k][0])
                    for k in model)
        each = ", ".join(f"{k} {v:.0f}" for k, v in zip(names, tau))
        print(f"| {n} | {len(kept)} | {tmax:.0f} ({each}) | {len(kept) / tmax:.0f} | "
              f"{walkers * len(kept) / tmax:.0f} | {shift:.3f} |", flush=True)


if __name__ == "__main__":
    main()
