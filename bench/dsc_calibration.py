"""Coverage of the 95 % intervals of each uncertainty method on noise replicates of two
synthetic scans: a continuous transition (n0 = 2, w = -240, dHcal = 2200, Tm = 314 K)
and a first-order one (w = -300, dHcal = 2600, Tm = 301 K).

The scans are made outside the fit's code path: the equilibrium energy U from the
engine (chainmelt.heat) at the edges of the intervals the points stand for, the mean
heat capacity [U(right) - U(left)] / width worked out here, plus normal noise of 2 % of
the height of the smooth peak (the highest point whose interval holds no latent heat;
excess heat capacity, k_B per chain; no baseline).  Each replicate is
fitted (w, dHcal, Tm; the fit started at the truth with one start, so that the
uncertainty methods are judged and not the search for the minimum), then every method
asked for gives its 95 % interval, and the script counts how often the truth lies
inside.  One JSON line per replicate goes to --out (a run that is stopped can be
resumed: replicates already there are skipped); the table is printed at the end.

Usage: python3 bench/dsc_calibration.py [--replicates 40] [--methods
covariance,profile,bootstrap,mcmc] [--boot 200] [--walkers 16 --steps 600]
[--threads 1] [--out calibration.jsonl] [--sets continuous,first-order]
(with the chainmelt package importable)."""

import argparse
import json
import os
import time
import warnings

import numpy as np
import pandas as pd

import chainmelt as cm
from chainmelt import dsc
from chainmelt.dsc import uncertainty as unc

SETS = {
    "continuous": ({"n0": 2, "dH": 0.0, "w": -240.0, "dHcal": 2200.0, "Tm": 314.0},
                   np.linspace(302.0, 326.0, 100)),
    "first-order": ({"n0": 2, "dH": 0.0, "w": -300.0, "dHcal": 2600.0, "Tm": 301.0},
                    np.linspace(290.0, 312.0, 100)),
}
NAMES = ("w", "dHcal", "Tm")


def clean_curve(true, T):
    """The mean heat capacity over each point's interval, and the height of its smooth
    part (the highest point whose interval holds no latent heat)."""
    mid = 0.5 * (T[1:] + T[:-1])
    edges = np.concatenate([[T[0] - (mid[0] - T[0])], mid, [T[-1] + (T[-1] - mid[-1])]])
    table = cm.heat(cm.Model(**true), T=edges, search="equilibrium")
    U = table["U"].to_numpy()
    cp = np.diff(U) / np.diff(edges)
    jump = np.nan_to_num(table["T_jump"].to_numpy(dtype=float)) != 0
    smooth = np.ones(cp.size, dtype=bool)
    smooth[np.flatnonzero(jump[1:])] = False  # the jump lies in the interval before its row
    return cp, float(np.max(cp[smooth]))


def scan(T, cp, noise, seed):
    df = pd.DataFrame({"T": T, "Cp": cp + np.random.default_rng(seed).normal(0, noise, T.size)})
    df.attrs.update(dsc.Units("K", "J/(mol K)", 2).to_attrs())
    return df


def one(name, k, args):
    true, T = SETS[name]
    cp, height = clean_curve(true, T)
    data = scan(T, cp, 0.02 * height, 1000 * (1 + list(SETS).index(name)) + k)
    t0 = time.perf_counter()
    r = dsc.fit(data, cm.Model(**true), starts=1)
    row = {"set": name, "replicate": k, "fit_seconds": time.perf_counter() - t0,
           "values": {n: r.value(n) for n in NAMES}, "redchi": r.redchi,
           "success": r.success, "methods": {}}
    for method in args.methods:
        opts = {}
        if method == "bootstrap":
            opts = {"n": args.boot, "threads": args.threads, "seed": k, "derived": False}
        elif method == "mcmc":
            opts = {"walkers": args.walkers, "steps": args.steps, "seed": k, "derived": False}
        t0 = time.perf_counter()
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                u = unc.estimate(r, method, **opts)
            iv = {n: list(u.interval(n)) for n in NAMES}
            err = None
        except Exception as e:  # noqa: BLE001 - recorded as a miss with its reason
            iv, err = {n: [float("nan")] * 2 for n in NAMES}, str(e)
        row["methods"][method] = {
            "intervals": iv, "seconds": time.perf_counter() - t0, "error": err,
            "hit": {n: bool(iv[n][0] <= true[n] <= iv[n][1]) for n in NAMES}}
    return row


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--replicates", type=int, default=40)
    p.add_argument("--methods", default="covariance,profile,bootstrap,mcmc")
    p.add_argument("--sets", default="continuous,first-order")
    p.add_argument("--boot", type=int, default=200)
    p.add_argument("--walkers", type=int, default=16)
    p.add_argument("--steps", type=int, default=600)
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--out", default="calibration.jsonl")
    args = p.parse_args()
    args.methods = args.methods.split(",")
    done = set()
    if os.path.exists(args.out):
        with open(args.out) as fh:
            done = {(r["set"], r["replicate"]) for r in map(json.loads, fh)}
    t_start = time.perf_counter()
    for k in range(args.replicates):          # the sets interleaved: a partial run has both
        for name in args.sets.split(","):
            if (name, k) in done:
                continue
            row = one(name, k, args)
            with open(args.out, "a") as fh:
                fh.write(json.dumps(row) + "\n")
            took = " ".join(f"{m} {v['seconds']:.1f}s" for m, v in row["methods"].items())
            print(f"{name} {k}: fit {row['fit_seconds']:.1f}s {took}", flush=True)
    print(f"wall {time.perf_counter() - t_start:.0f} s")
    table(args.out)


def table(path):
    with open(path) as fh:
        rows = [json.loads(line) for line in fh]
    print("| set | method | replicates | w | dHcal | Tm | mean seconds |")
    print("|---|---|---|---|---|---|---|")
    for name in SETS:
        rs = [r for r in rows if r["set"] == name]
        methods = sorted({m for r in rs for m in r["methods"]}, key=unc.METHODS.index)
        for m in methods:
            got = [r["methods"][m] for r in rs if m in r["methods"]]
            cov = {n: 100 * np.mean([g["hit"][n] for g in got]) for n in NAMES}
            sec = np.mean([g["seconds"] for g in got])
            cells = " | ".join(f"{cov[n]:.0f} %" for n in NAMES)
            print(f"| {name} | {m} | {len(got)} | {cells} | {sec:.1f} |")


if __name__ == "__main__":
    main()
