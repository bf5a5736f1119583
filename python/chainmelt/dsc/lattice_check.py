"""The exact lattice at a fit's parameters: how far the pair approximation the fit used
is from the lattice it approximates, measured against the data themselves."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from ..peak import analyse

#: Temperature steps (K) the lattice curve is simulated on: the first that gives at
#: least MIN_POINTS temperatures over the scan.
_STEPS = (0.25, 0.5, 1.0, 2.0, 5.0)
MIN_POINTS = 25


def _grid(T: np.ndarray, points: int) -> tuple[float, float, float]:
    """A sweep (lo, hi, step) over the scan whose step divides it exactly: lo and hi
    are multiples of the step just outside the data's range."""
    span = float(T[-1] - T[0])
    step = _STEPS[0]
    for s in reversed(_STEPS):
        if span / s >= points:
            step = s
            break
    lo = math.floor(T[0] / step) * step
    hi = math.ceil(T[-1] / step) * step
    return lo, hi, step


def check_lattice(result: Any, L: int = 48, sweeps: int = 20000, equilibration: int = 2000,
                  seed: int = 1, threads: int | None = None,
                  points: int = MIN_POINTS) -> dict:
    """The Monte Carlo heat capacity of the exact triangular lattice (``L`` x ``L``, n0 = 2)
    at the fitted parameters of ``result`` (a :class:`FitResult`), compared with the data
    as the pair-approximation fit was.

    The lattice is simulated by parallel tempering on an evenly spaced sweep over the
    scan (at least ``points`` temperatures), its curve interpolated to the data
    temperatures.  Both curves are compared with the data minus the fitted baseline, on
    the scale of the pair fit's residual scatter (the pair model's reduced chi-square is
    1 on it).

    Returns a dict: ``L``, ``T`` and ``Cp`` with ``Cp_err`` (the simulated curve, k_B per
    site), ``chisqr_pair`` and ``chisqr_lattice`` (on the data), ``ratio`` (lattice over
    pair), ``peak`` ({"pair", "lattice"}: T at the peak and FWHM in K), ``reliable``
    (every simulated point's error analysis sound) and ``text``, the comparison in
    words with the shift of the parameters it implies.  Raises ValueError for a model
    the lattice cannot simulate (n0 other than 2) or a refused setting.
    """
    import chainmelt

    model = result.model
    if not isinstance(model, chainmelt.Model):
        model = chainmelt.Model(**dict(model))
    if model.n0 != 2:
        raise ValueError("check_lattice: the exact lattice is that of the one-lipid model "
                         "(n0 = 2); this fit has n0 = %d" % model.n0)
    curve = result.curve
    T = curve["T"].to_numpy(dtype=float)
    data = (curve["Cp"] - curve["baseline"]).to_numpy(dtype=float)
    pair = curve["excess"].to_numpy(dtype=float)
    lo, hi, step = _grid(T, points)
    sim = chainmelt.heat(model, T=chainmelt.sweep(lo, hi, step), method="montecarlo", L=L,
                         sweeps=sweeps, equilibration=equilibration, seed=seed,
                         threads=threads)
    Ts = sim["T"].to_numpy(dtype=float)
    cp = sim["Cp"].to_numpy(dtype=float)
    lattice = np.interp(T, Ts, cp)
    r_pair = pair - data
    r_lat = lattice - data
    # The noise is the pair fit's own residual scatter (its reduced chi-square is 1 on
    # this scale): the two chi-squares are then directly comparable.
    scale = float(np.sum(r_pair ** 2)) / max(int(result.nfree), 1)
    chi_pair = float(np.sum(r_pair ** 2) / scale) if scale > 0 else math.nan
    chi_lat = float(np.sum(r_lat ** 2) / scale) if scale > 0 else math.nan
    chains = 2.0
    p_pair = analyse(T, pair, chains)
    p_lat = analyse(Ts, cp, chains)
    peak = {"pair": {"T": float(p_pair.T_peak), "fwhm": float(p_pair.fwhm)},
            "lattice": {"T": float(p_lat.T_peak), "fwhm": float(p_lat.fwhm)}}
    reliable = bool(sim["reliable"].astype(bool).all()) if "reliable" in sim else False
    out = {"L": int(L), "T": Ts, "Cp": cp,
           "Cp_err": sim["Cp_err"].to_numpy(dtype=float) if "Cp_err" in sim else None,
           "chisqr_pair": chi_pair, "chisqr_lattice": chi_lat,
           "ratio": chi_lat / chi_pair if chi_pair > 0 else math.nan,
           "peak": peak, "reliable": reliable}
    out["text"] = _words(out)
    return out


def _words(c: dict) -> str:
    pair, lat = c["peak"]["pair"], c["peak"]["lattice"]
    dT = lat["T"] - pair["T"]
    parts = ["Exact lattice (L = %d) at the fitted parameters: chi-square %.4g against the "
             "pair approximation's %.4g (%.2fx)."
             % (c["L"], c["chisqr_lattice"], c["chisqr_pair"], c["ratio"])]
    if math.isfinite(dT):
        parts.append("Its peak lies %.2f K %s" % (abs(dT), "higher" if dT > 0 else "lower"))
        if math.isfinite(lat["fwhm"]) and math.isfinite(pair["fwhm"]) and pair["fwhm"] > 0:
            ratio = lat["fwhm"] / pair["fwhm"]
            parts[-1] += " and is %.2fx as wide" % ratio
            if ratio > 1.05:
                shift = ("a stronger coupling (w more negative) and Tm about %.2f K %s than "
                         "the pair fit's" % (abs(dT), "lower" if dT > 0 else "higher"))
            elif ratio < 0.95:
                shift = ("a weaker coupling (w less negative) and Tm about %.2f K %s than "
                         "the pair fit's" % (abs(dT), "lower" if dT > 0 else "higher"))
            else:
                shift = "Tm about %.2f K %s than the pair fit's" % (
                    abs(dT), "lower" if dT > 0 else "higher")
            parts[-1] += "; a fit with the exact lattice would need %s." % shift
        else:
            parts[-1] += "."
    if c["ratio"] < 1.5:
        parts.append("The pair approximation is adequate for these data.")
    if not c["reliable"]:
        parts.append("Warning: some simulated points are not reliable (give more sweeps).")
    return " ".join(parts)


__all__ = ["check_lattice"]
