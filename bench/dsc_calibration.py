"""Coverage of the 95 % intervals of each uncertainty method on noise replicates of
synthetic scans: a continuous transition (n0 = 2, w = -240, dHcal = 2200, Tm = 314 K),
a first-order one on the infinite lattice (w = -300, dHcal = 2600, Tm = 301 K), and the
same first-order lattice in a finite cooperative domain of 200 sites (100 lipids), whose
peak is about 0.8 K (four data intervals) wide.

The scans are made outside the fit's code path: the equilibrium energy U from the
engine (chainmelt.heat) at the edges of the intervals the points stand for, the mean
heat capacity [U(right) - U(left)] / width worked out here, plus normal noise of 2 % of
the height of the smooth peak (the highest point whose interval holds no latent heat;
excess heat capacity, k_B per chain; no baseline).  The domain's scan is made from the
engine's two minima at the interval edges (``chainmelt._branches.branches``): the
energy of a domain of N sites, U = (1 - p) U_a + p U_b with p = 1 / (1 + exp(N (F_b -
F_a) / T)), is worked out here, and its noise is 2 % of the peak's height (the peak is
smooth).  Each replicate is fitted (w, dHcal, Tm, and the domain's size for the domain's
set; the fit started at the truth with one start, so that the uncertainty methods are
judged and not the search for the minimum), then every method
asked for gives its 95 % interval, and the script counts how often the truth lies
inside.  One JSON line per replicate goes to --out (a run that is stopped can be
resumed: replicates already there are skipped); the table is printed at the end.

Usage: python3 bench/dsc_calibration.py [--replicates 40] [--methods
covariance,profile,bootstrap,mcmc] [--boot 200] [--walkers 16 --steps 600]
[--threads 1] [--out calibration.jsonl]
[--sets continuous,first-order,first-order-domain]
(with the chainmelt package importable)."""

import argparse
import functools
import json
import os
import time
import warnings

import numpy as np
import pandas as pd

import chainmelt as cm
from chainmelt import dsc
from chainmelt._branches import branches
from chainmelt.dsc import uncertainty as unc

SETS = {
    "continuous": ({"n0": 2, "dH": 0.0, "w": -240.0, "dHcal": 2200.0, "Tm": 314.0},
                   np.linspace(302.0, 326.0, 100)),
    "first-order": ({"n0": 2, "dH": 0.0, "w": -300.0, "dHcal": 2600.0, "Tm": 301.0},
                    np.linspace(290.0, 312.0, 100)),
    "first-order-domain": ({"n0": 2, "dH": 0.0, "w": -300.0, "dHcal": 2600.0, "Tm": 301.0},
                           np.linspace(290.0, 312.0, 100)),
}
#: The sets fitted with a finite cooperative domain, and its true size in sites.
DOMAIN = {"first-order-domain": 200.0}
NAMES = ("w", "dHcal", "Tm")
ALL_NAMES = NAMES + ("domain",)


def names_of(name):
    return NAMES + ("domain",) if name in DOMAIN else NAMES


def truth(name):
    true = dict(SETS[name][0])
    if name in DOMAIN:
        true["domain"] = DOMAIN[name]
    return true


def edges_of(T):
    mid = 0.5 * (T[1:] + T[:-1])
    return np.concatenate([[T[0] - (mid[0] - T[0])], mid, [T[-1] + (T[-1] - mid[-1])]])


def domain_energy_here(true, edges, sites):
    """The energy per site of a domain of ``sites`` sites at the temperatures ``edges``,
    and where the domain is all in one minimum (p below 1e-17 or above 1 - 1e-17).
    Where both minima exist the domain is in b with the probability p = 1 / (1 +
    exp(sites (F_b - F_a) / T)) and its energy is (1 - p) U_a + p U_b; elsewhere it is
    the equilibrium's."""
    b = branches(true, edges)
    U = np.array(b["U"], dtype=float)
    settled = np.ones(edges.size, dtype=bool)
    for jump in b["jumps"]:
        F_a, U_a, F_b, U_b = (np.asarray(jump[k], dtype=float)
                              for k in ("F_a", "U_a", "F_b", "U_b"))
        both = np.isfinite(F_a) & np.isfinite(F_b)
        x = sites * (F_b[both] - F_a[both]) / edges[both]
        with np.errstate(over="ignore"):
            p = 1.0 / (1.0 + np.exp(x))
        U[both] = (1.0 - p) * U_a[both] + p * U_b[both]
        settled[np.flatnonzero(both)[np.abs(x) < 40]] = False
    return U, settled


def domain_curve(true, T, sites):
    """The mean heat capacity over each point's interval of a domain of ``sites`` sites,
    and the peak's height."""
    edges = edges_of(T)
    U, _ = domain_energy_here(true, edges, sites)
    cp = np.diff(U) / np.diff(edges)
    return cp, float(np.max(cp))


def check_domain_curve(true, T, sites, cp):
    """The truth is right: the package's domain curve (the fit's model) agrees with the
    one made here, and where the domain is all in one minimum its energy is the
    engine's equilibrium energy (chainmelt.heat, a call of its own)."""
    from chainmelt.dsc.domain import domain_energy
    edges = edges_of(T)
    U = domain_energy(branches(true, edges), edges, sites)
    theirs = np.diff(U) / np.diff(edges)
    worst = float(np.max(np.abs(theirs - cp)) / np.max(np.abs(cp)))
    mine, settled = domain_energy_here(true, edges, sites)
    U_eq = cm.heat(cm.Model(**true), T=edges, search="equilibrium")["U"].to_numpy()
    off = float(np.max(np.abs(mine[settled] - U_eq[settled]) / np.abs(U_eq[settled])))
    if not (worst < 1e-9 and off < 1e-9 and np.sum(settled) > edges.size // 2):
        raise SystemExit(f"the truth of the domain's set is wrong: the package's domain "
                         f"curve differs from this script's by {worst:.3g} of the peak, "
                         f"the settled energies from the equilibrium's by {off:.3g}")
    return worst, off


@functools.lru_cache(maxsize=None)
def truth_curve(name):
    """(clean curve, height for the noise) of a set, worked out once."""
    true, T = SETS[name]
    if name in DOMAIN:
        cp, height = domain_curve(true, T, DOMAIN[name])
        worst, off = check_domain_curve(true, T, DOMAIN[name], cp)
        print(f"{name}: the package's domain curve agrees with this one to {worst:.1e} of "
              f"the peak; away from the peak the energy is the equilibrium's to {off:.1e}",
              flush=True)
        return cp, height
    return clean_curve(true, T)


def clean_curve(true, T):
    """The mean heat capacity over each point's interval, and the height of its smooth
    part (the highest point whose interval holds no latent heat)."""
    edges = edges_of(T)
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
    fields, T = SETS[name]
    true, names = truth(name), names_of(name)
    cp, height = truth_curve(name)
    data = scan(T, cp, 0.02 * height, 1000 * (1 + list(SETS).index(name)) + k)
    t0 = time.perf_counter()
    if name in DOMAIN:
        r = dsc.fit(data, cm.Model(**fields), vary=names, domain=DOMAIN[name], starts=1)
    else:
        r = dsc.fit(data, cm.Model(**fields), starts=1)
    row = {"set": name, "replicate": k, "fit_seconds": time.perf_counter() - t0,
           "values": {n: r.value(n) if n in r.params else float("nan") for n in names},
           "redchi": r.redchi, "success": r.success, "succeeded": r.succeeded,
           "w_held": (getattr(r, "domain", None) or {}).get("w_held"), "methods": {}}
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
            # a parameter the fit held (w of a peak it found two-state) has no
            # interval: a miss
            iv = {n: list(u.interval(n)) if n in u.intervals else [float("nan")] * 2
                  for n in names}
            err = None
        except Exception as e:  # noqa: BLE001 - recorded as a miss with its reason
            iv, err = {n: [float("nan")] * 2 for n in names}, str(e)
        row["methods"][method] = {
            "intervals": iv, "seconds": time.perf_counter() - t0, "error": err,
            "hit": {n: bool(iv[n][0] <= true[n] <= iv[n][1]) for n in names}}
    return row


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--replicates", type=int, default=40)
    p.add_argument("--methods", default="covariance,profile,bootstrap,mcmc")
    p.add_argument("--sets", default="continuous,first-order,first-order-domain")
    p.add_argument("--boot", type=int, default=200)
    p.add_argument("--walkers", type=int, default=16)
    p.add_argument("--steps", type=int, default=600)
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--out", default="calibration.jsonl")
    args = p.parse_args()
    args.methods = args.methods.split(",")
    unknown = [s for s in args.sets.split(",") if s not in SETS]
    if unknown:
        p.error(f"--sets: unknown set {unknown[0]!r}; the sets are {', '.join(SETS)}")
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
    print("| set | method | replicates | w | dHcal | Tm | domain | mean seconds |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for name in SETS:
        rs = [r for r in rows if r["set"] == name]
        methods = sorted({m for r in rs for m in r["methods"]}, key=unc.METHODS.index)
        for m in methods:
            got = [r["methods"][m] for r in rs if m in r["methods"]]
            cov = {n: 100 * np.mean([g["hit"][n] for g in got]) for n in names_of(name)}
            sec = np.mean([g["seconds"] for g in got])
            cells = " | ".join(f"{cov[n]:.0f} %" if n in cov else "-" for n in ALL_NAMES)
            print(f"| {name} | {m} | {len(got)} | {cells} | {sec:.1f} |")


if __name__ == "__main__":
    main()
