"""The two-state (van 't Hoff) model fitted beside the lattice, for comparison.

Gel and fluid in equilibrium with K(T) = exp(-dHvH (1/T - 1/Tm)) (energies as
energy/k_B in kelvin, per site): the fluid fraction is f = K / (1 + K) and the excess
energy per site U = dHcal f.  The model is compared with the data as the lattice is,
the mean heat capacity over each data interval, [U(edge) - U(edge)] / width, with the
same kind of baseline (a sigmoidal baseline follows f).  Its three parameters are the
calorimetric enthalpy ``dHcal``, the midpoint ``Tm`` and the van 't Hoff enthalpy
``dHvH``; the cooperative unit is dHvH / dHcal sites.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from scipy.special import expit

from ..peak import interval_edges
from .baseline import JointBaseline

NAMES = ("dHcal", "Tm", "dHvH")


def energy(dHcal: float, Tm: float, dHvH: float, T: Any) -> np.ndarray:
    """Excess energy per site of the two-state model at the temperatures T (kelvin)."""
    T = np.asarray(T, dtype=float)
    return dHcal * expit(dHvH * (1.0 / Tm - 1.0 / T))


def _starts(T, excess):
    """dHcal from the area, Tm at the highest point, dHvH from the half-width
    (a two-state peak is 3.53 Tm^2 / dHvH wide, per site with k_B = 1)."""
    w = np.diff(interval_edges(T))
    area = float(np.sum(excess * w))
    i = int(np.argmax(excess))
    tm = float(T[i])
    half = excess[i] / 2
    above = np.flatnonzero(excess >= half)
    width = float(T[above[-1]] - T[above[0]]) if above.size > 1 else float(w[i])
    width = max(width, float(w[i]))
    return {"dHcal": max(area, 1e-9 * float(np.ptp(T))), "Tm": tm,
            "dHvH": 3.53 * tm * tm / width}


def fit_two_state(T: np.ndarray, y: np.ndarray, baseline_kind: str | None = None,
                  weight: np.ndarray | None = None) -> dict:
    """Least-squares two-state fit of ``y`` (k_B per site) at ``T`` (kelvin), with a
    baseline of ``baseline_kind`` (None, "linear", "sigmoidal") fitted jointly.

    Returns {"params": {name: {"value", "stderr"}}, "chisqr", "nvarys", "ndata", "aic",
    "bic", "success", "curve" (model plus baseline), "excess", "cu_sites"}."""
    import lmfit

    T = np.asarray(T, dtype=float)
    y = np.asarray(y, dtype=float)
    edges = interval_edges(T)
    widths = np.diff(edges)
    base = JointBaseline(baseline_kind, T, y) if baseline_kind else None
    y0 = y - base(base.start, T, np.clip((T - T[0]) / (T[-1] - T[0]), 0, 1)) if base else y
    s = _starts(T, y0)
    params = lmfit.Parameters()
    params.add("dHcal", value=s["dHcal"], min=0.0)
    params.add("Tm", value=s["Tm"], min=float(T[0]), max=float(T[-1]))
    params.add("dHvH", value=s["dHvH"], min=0.0)
    if base:
        for n, start in base.start.items():
            params.add(n, value=float(start))

    def parts(v):
        U = energy(v["dHcal"], v["Tm"], v["dHvH"], edges)
        cp = np.diff(U) / widths
        if base is None:
            return cp, np.zeros_like(T)
        prog = expit(v["dHvH"] * (1.0 / v["Tm"] - 1.0 / T))
        return cp, base(v, T, prog)

    def residual(p):
        cp, b = parts(p.valuesdict())
        r = cp + b - y
        return r if weight is None else r / weight

    out = lmfit.minimize(residual, params, method="leastsq")
    v = out.params.valuesdict()
    cp, b = parts(v)
    result = {"params": {n: {"value": float(out.params[n].value),
                             "stderr": float(out.params[n].stderr)
                             if out.params[n].stderr is not None else math.nan}
                         for n in out.params},
              "chisqr": float(out.chisqr), "nvarys": int(out.nvarys),
              "ndata": int(out.ndata), "success": bool(out.success),
              "curve": cp + b, "excess": cp}
    result.update(information(out.chisqr, out.ndata, out.nvarys))
    dhcal, dhvh = float(v["dHcal"]), float(v["dHvH"])
    result["cu_sites"] = dhvh / dhcal if dhcal > 0 else math.nan
    return result


def information(chisqr: float, ndata: int, nvarys: int) -> dict:
    """Akaike's and the Bayesian information criterion of a least-squares fit, as lmfit
    counts them: n ln(chi2/n) + 2k and n ln(chi2/n) + k ln n."""
    n = float(ndata)
    chi = max(float(chisqr), 1e-300 * n)
    like = n * math.log(chi / n)
    return {"aic": like + 2 * nvarys, "bic": like + math.log(n) * nvarys}


def preference(aic_lattice: float, aic_two: float, bic_lattice: float, bic_two: float) -> dict:
    """Which model the data prefer by AIC (BIC beside it) and how strongly:
    ``preferred`` ("lattice" or "two-state"), ``delta_aic`` and ``delta_bic`` (the other
    model's minus the preferred one's, by AIC), ``ratio`` (exp(delta_aic / 2): how many
    times likelier the preferred model is) and a sentence ``text``."""
    if not (math.isfinite(aic_lattice) and math.isfinite(aic_two)):
        return {"preferred": None, "delta_aic": math.nan, "delta_bic": math.nan,
                "ratio": math.nan, "text": "the models cannot be compared"}
    lattice_wins = aic_lattice <= aic_two
    d_aic = abs(aic_two - aic_lattice)
    d_bic = (bic_two - bic_lattice) if lattice_wins else (bic_lattice - bic_two)
    pref, other = ("lattice", "two-state") if lattice_wins else ("two-state", "lattice")
    ratio = math.exp(min(d_aic / 2, 700.0))
    if d_aic < 2:
        strength = "hardly"
    elif d_aic < 10:
        strength = "somewhat"
    else:
        strength = "clearly"
    bic = (f"BIC lower by {d_bic:.1f}" if d_bic >= 0
           else f"BIC, though, prefers the {other} model by {-d_bic:.1f}")
    return {"preferred": pref, "delta_aic": d_aic, "delta_bic": d_bic, "ratio": ratio,
            "text": f"the data {strength} prefer the {pref} model: AIC lower by {d_aic:.1f} "
                    f"(the {other} model {ratio:.3g} times less likely), {bic}"}
