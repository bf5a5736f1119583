"""Compare the model with differential scanning calorimetry (DSC).

Read a scan (:func:`read`), take off the instrument baseline (:func:`subtract_baseline`,
or fit it together with the model), fit the model's equilibrium heat-capacity curve
(:func:`fit`) and show the result (``chainmelt.plot.dsc``).

How the model is compared with the data
---------------------------------------
The data are heat capacities at temperatures T_1 < ... < T_n.  The model is compared as
the mean excess heat capacity over the interval each data point stands for,

    Cp_i = [U(T_{i+1/2}) - U(T_{i-1/2})] / (T_{i+1/2} - T_{i-1/2}),

with U the equilibrium energy per site and T_{i+1/2} the mid-points between data
temperatures (the two outer edges half a step beyond the first and last point).  For a
smooth curve this is the heat capacity at T_i to within (step)^2 Cp''/24.  When the
transition is first order, the latent heat of the jump lands entirely in the interval
that contains it, as a calorimeter scanning through that interval would record it, and
the enthalpy integrated under the model curve is exactly U(end) - U(start).
"""

from __future__ import annotations

import argparse
import functools
import json
import math
import os
import sys
import tempfile
import textwrap
from collections.abc import Mapping, Sequence

import numpy as np
import pandas as pd

from ._dscio import CP_UNITS, R, Units, read, to_instrument, units_of  # noqa: F401

__all__ = ["read", "to_instrument", "Units", "subtract_baseline", "model_curve", "guess",
           "fit", "FitResult", "main_fit", "R"]

#: The model fields, named as on the command line.
MODEL_FIELDS = ("n0", "T", "w", "w2", "dH", "dS", "Tm", "dHcal", "e2", "w3", "dH2", "dS2",
                "zsave", "conc", "conc2", "z", "nu", "mode")
_NOT_FITTABLE = ("n0", "T", "zsave", "mode")
_ENERGY_FIELDS = ("w", "w2", "w3", "dH", "dH2", "e2", "dHcal")
_BASELINES = {"linear": ("b0", "b1"), "sigmoidal": ("pre0", "pre1", "post0", "post1")}


# --- the engine seam -----------------------------------------------------------------


def _equilibrium_energy(fields: dict, T: np.ndarray, search: str = "equilibrium"):
    """Equilibrium energy per site at each temperature, from the compiled engine."""
    import chainmelt  # imported here so that this module works without the engine

    model = chainmelt.Model(**fields)
    table = chainmelt.heat(model, T=np.asarray(T, dtype=float), search=search)
    got = np.asarray(table["T"], dtype=float)
    if got.shape != np.shape(T) or not np.allclose(got, T, rtol=1e-12, atol=0):
        raise RuntimeError("chainmelt.heat did not return one row per requested temperature")
    return np.asarray(table["U"], dtype=float)


def _engine(engine, search):
    if engine is None:
        return functools.partial(_equilibrium_energy, search=search)
    if not callable(engine):
        raise ValueError("engine: expected a callable engine(fields, T) -> U")
    return engine


def _fields_of(model) -> dict:
    if isinstance(model, Mapping):
        fields = dict(model)
    elif isinstance(getattr(model, "given", None), Mapping):
        # the fields as given: dH = 0 keeps dHcal and Tm in charge of the derivation
        fields = dict(model.given)
    elif isinstance(getattr(model, "fields", None), Mapping):
        fields = dict(model.fields)
    else:
        raise ValueError("model: expected a chainmelt.Model or a dict of model fields")
    unknown = sorted(set(fields) - set(MODEL_FIELDS))
    if unknown:
        raise ValueError(f"model: unknown field {unknown[0]!r}; the fields are "
                         f"{', '.join(MODEL_FIELDS)}")
    return fields


def _with_values(model, values: dict):
    if hasattr(model, "replace") and not isinstance(model, Mapping):
        return model.replace(**values)
    out = dict(model)
    out.update(values)
    return out


def _edges(T: np.ndarray) -> np.ndarray:
    mid = 0.5 * (T[1:] + T[:-1])
    return np.concatenate([[T[0] - (mid[0] - T[0])], mid, [T[-1] + (T[-1] - mid[-1])]])


def _check_T(T, what="data"):
    T = np.asarray(T, dtype=float)
    if T.ndim != 1 or T.size < 2:
        raise ValueError(f"{what}: need at least two temperatures")
    if not np.all(np.isfinite(T)) or np.any(np.diff(T) <= 0):
        raise ValueError(f"{what}: temperatures must be finite and strictly increasing")
    return T


def model_curve(model, T, search="equilibrium", engine=None) -> pd.DataFrame:
    """The model's excess heat capacity at the temperatures ``T`` (kelvin), compared as
    the data are: the mean over each data interval (see the module's description).

    Returns a DataFrame with ``T``, ``Cp`` (k_B per site) and ``U`` (the equilibrium
    energy at T, the mean of the two edges)."""
    T = _check_T(T, "T")
    edges = _edges(T)
    U = np.asarray(_engine(engine, search)(_fields_of(model), edges), dtype=float)
    if U.shape != edges.shape or not np.all(np.isfinite(U)):
        raise RuntimeError("the engine returned no finite energy at every temperature")
    return pd.DataFrame({"T": T, "Cp": np.diff(U) / np.diff(edges),
                         "U": 0.5 * (U[1:] + U[:-1])})


# --- baselines -------------------------------------------------------------------------


def _window(w, name, T):
    try:
        lo, hi = (float(v) for v in w)
    except (TypeError, ValueError):
        raise ValueError(f"{name}: expected a window (T1, T2), got {w!r}") from None
    if not (math.isfinite(lo) and math.isfinite(hi) and lo < hi):
        raise ValueError(f"{name}: expected T1 < T2, got ({lo:g}, {hi:g})")
    n = int(np.count_nonzero((T >= lo) & (T <= hi)))
    if n < 2:
        raise ValueError(f"{name} window ({lo:g}, {hi:g}) K holds {n} data point(s), at least "
                         f"2 are needed; windows are in kelvin like the T column "
                         f"({T[0]:g} to {T[-1]:g} K)")
    return lo, hi


def _line(T, y, lo, hi):
    m = (T >= lo) & (T <= hi)
    slope, icept = np.polyfit(T[m], y[m], 1)
    return float(slope), float(icept)


def _progress(T, excess, lo, hi):
    """Fraction of the area above the baseline accumulated from ``lo`` to T (0 to 1)."""
    inside = (T > lo) & (T < hi)
    e = np.where(inside, excess, 0.0)
    cum = np.concatenate([[0.0], np.cumsum(0.5 * (e[1:] + e[:-1]) * np.diff(T))])
    total = cum[-1]
    if not total > 0:
        raise ValueError("sigmoidal baseline: no positive area above the baseline between "
                         "the windows")
    a = np.clip(cum / total, 0.0, 1.0)
    a[T <= lo] = 0.0
    a[T >= hi] = 1.0
    return a


def subtract_baseline(df, pre, post, kind="linear", max_iter=200, tol=1e-12) -> pd.DataFrame:
    """Subtract an instrument baseline and return the excess heat capacity.

    ``pre`` and ``post`` are temperature windows (T1, T2) before and after the transition,
    in the unit of ``df["T"]`` (kelvin for data from :func:`read`).

    - ``kind="linear"``: one straight line fitted to the points of both windows.
    - ``kind="sigmoidal"``: a line fitted to each window, joined by the progress of the
      transition, B(T) = (1 - a(T)) L_pre(T) + a(T) L_post(T), where a(T) is the fraction
      of the area above B accumulated from the end of ``pre`` to T; iterated until B is
      stationary.

    Returns a new DataFrame with ``T``, ``Cp`` (the excess), ``Cp_raw`` and ``baseline``;
    ``attrs["baseline"]`` records the kind, the windows and the line coefficients.
    """
    if kind not in _BASELINES:
        raise ValueError(f"kind: expected 'linear' or 'sigmoidal', got {kind!r}")
    T = _check_T(df["T"].to_numpy(dtype=float), "subtract_baseline")
    y = df["Cp"].to_numpy(dtype=float)
    pre = _window(pre, "pre", T)
    post = _window(post, "post", T)
    if pre[1] > post[0]:
        raise ValueError(f"pre window {pre} must end before the post window {post} starts")
    info = {"kind": kind, "pre": list(pre), "post": list(post)}
    if kind == "linear":
        m = ((T >= pre[0]) & (T <= pre[1])) | ((T >= post[0]) & (T <= post[1]))
        slope, icept = np.polyfit(T[m], y[m], 1)
        base = icept + slope * T
        info["line"] = [float(icept), float(slope)]
    else:
        s1, i1 = _line(T, y, *pre)
        s2, i2 = _line(T, y, *post)
        Lpre, Lpost = i1 + s1 * T, i2 + s2 * T
        a = np.clip((T - pre[1]) / (post[0] - pre[1]), 0.0, 1.0)
        scale = max(float(np.ptp(y)), 1e-300)
        for it in range(max_iter):
            base = (1 - a) * Lpre + a * Lpost
            a_new = _progress(T, y - base, pre[1], post[0])
            if np.max(np.abs(a_new - a)) * max(abs(np.ptp(Lpost - Lpre)), scale) <= tol * scale:
                a = a_new
                break
            a = a_new
        else:
            raise ValueError(f"sigmoidal baseline did not settle in {max_iter} iterations")
        base = (1 - a) * Lpre + a * Lpost
        info.update({"pre_line": [i1, s1], "post_line": [i2, s2], "iterations": it + 1})
    out = pd.DataFrame({"T": T, "Cp": y - base, "Cp_raw": y, "baseline": base})
    out.attrs = dict(df.attrs)
    out.attrs["baseline"] = info
    return out


class _JointBaseline:
    """A baseline fitted together with the model; coefficients in k_B per site, per K."""

    def __init__(self, kind, T, y):
        if kind not in _BASELINES:
            raise ValueError(f"baseline: expected None, 'linear' or 'sigmoidal', got {kind!r}")
        self.kind, self.names = kind, _BASELINES[kind]
        self.Tref = float(0.5 * (T[0] + T[-1]))
        k = max(3, len(T) // 10)
        lo = np.polyfit(T[:k] - self.Tref, y[:k], 1)
        hi = np.polyfit(T[-k:] - self.Tref, y[-k:], 1)
        if kind == "linear":
            slope = (np.mean(y[-k:]) - np.mean(y[:k])) / (np.mean(T[-k:]) - np.mean(T[:k]))
            self.start = {"b0": float(np.mean(y[:k]) + slope * (self.Tref - np.mean(T[:k]))),
                          "b1": float(slope)}
        else:
            self.start = {"pre0": lo[1], "pre1": lo[0], "post0": hi[1], "post1": hi[0]}

    def __call__(self, v, T, progress):
        x = T - self.Tref
        if self.kind == "linear":
            return v["b0"] + v["b1"] * x
        return (1 - progress) * (v["pre0"] + v["pre1"] * x) + progress * (v["post0"] + v["post1"] * x)


# --- transition figures ----------------------------------------------------------------


def _transition(T, cp, widths, chains_per_lipid) -> dict:
    """Enthalpy, peak, half-width and van 't Hoff figures of an excess heat-capacity curve."""
    H = float(np.sum(cp * widths))
    i = int(np.argmax(cp))
    Tp, cmax = float(T[i]), float(cp[i])
    if 0 < i < len(T) - 1:
        x, y = T[i - 1:i + 2], cp[i - 1:i + 2]
        c2, c1, c0 = np.polyfit(x - T[i], y, 2)
        if c2 < 0:
            dx = -c1 / (2 * c2)
            if x[0] - T[i] <= dx <= x[2] - T[i]:
                Tp, cmax = float(T[i] + dx), float(c0 - c1 * c1 / (4 * c2))
    half = cmax / 2
    fwhm = math.nan
    left = np.flatnonzero(cp[:i + 1] < half)
    right = np.flatnonzero(cp[i:] < half)
    if cmax > 0 and left.size and right.size:
        a, b = left[-1], i + right[0]
        Tl = T[a] + (half - cp[a]) * (T[a + 1] - T[a]) / (cp[a + 1] - cp[a])
        Tr = T[b - 1] + (half - cp[b - 1]) * (T[b] - T[b - 1]) / (cp[b] - cp[b - 1])
        fwhm = float(Tr - Tl)
    vH = 4 * Tp * Tp * cmax / H if H > 0 and cmax > 0 else math.nan
    return {"H": H, "Tm": Tp, "Cp_max": cmax, "fwhm": fwhm, "vH": vH,
            "cu_chains": vH / H if H > 0 else math.nan,
            "cu_lipids": vH / H / chains_per_lipid if H > 0 else math.nan}


def guess(data, baseline=None) -> dict:
    """Starting values from the data: Tm at the peak, dHcal the area per site and w a
    tenth of it with the sign of an attraction (the fit's grid over w refines it).
    With ``baseline``, a line through the outer tenths of the scan is taken off first."""
    T = _check_T(data["T"].to_numpy(dtype=float))
    y = data["Cp"].to_numpy(dtype=float)
    if baseline is not None:
        b = _JointBaseline("linear", T, y)
        y = y - b(b.start, T, None)
    t = _transition(T, y, np.diff(_edges(T)), 1.0)
    if not t["H"] > 0:
        raise ValueError("guess: no positive excess enthalpy in the data")
    return {"Tm": t["Tm"], "dHcal": t["H"], "w": -0.1 * t["H"]}


# --- fitting ---------------------------------------------------------------------------


def _names(vary):
    if isinstance(vary, str):
        vary = [v for v in vary.split(",") if v.strip()]
    return [v.strip() for v in vary]


def _starts(starts, fields, vary, bounds):
    if isinstance(starts, (int, np.integer)) and not isinstance(starts, bool):
        if starts < 1:
            raise ValueError(f"starts: expected at least 1, got {starts}")
        if "w" not in vary or starts == 1:
            return [{}]
        w0 = float(fields["w"])
        lo, hi = bounds.get("w", (-math.inf, math.inf))
        if math.isfinite(lo) and math.isfinite(hi):
            grid = np.linspace(lo, hi, starts + 2)[1:-1]
        elif w0 != 0:
            grid = w0 * np.linspace(0.5, 1.5, starts)
        else:
            return [{}]
        grid = [g for g in grid if lo < g < hi and not np.isclose(g, w0)]
        return [{}] + [{"w": float(g)} for g in grid[:starts - 1]]
    if isinstance(starts, Sequence) and not isinstance(starts, str) and len(starts) > 0:
        out = []
        for s in starts:
            if isinstance(s, Mapping):
                bad = [k for k in s if k not in vary]
                if bad:
                    raise ValueError(f"starts: {bad[0]!r} is not a varied parameter")
                out.append({k: float(v) for k, v in s.items()})
            elif "w" in vary:
                out.append({"w": float(s)})
            else:
                raise ValueError("starts: a list of numbers is a grid over w, which is not varied")
        return out
    raise ValueError(f"starts: expected a number of grid points over w, or a list of "
                     f"starting values, got {starts!r}")


def fit(data, model, vary=("w", "dHcal", "Tm"), bounds=None, search="equilibrium", starts=5,
        engine=None, baseline=None, sigma=None, units=None, epsfcn=1e-10) -> "FitResult":
    """Fit the model's equilibrium heat capacity to a DSC curve by least squares (lmfit).

    ``data``: DataFrame with ``T`` (kelvin) and ``Cp`` (k_B per site), as from :func:`read`
    or :func:`subtract_baseline`; without ``baseline`` it must be the excess heat capacity.
    ``model``: a ``chainmelt.Model`` (or a dict of its fields) holding the starting values
    and the fixed parameters.  ``vary``: the free parameters (model fields, and the
    baseline's when one is fitted).  ``dHcal`` and ``Tm`` act only through ``dH = 0``.
    ``bounds``: ``{name: (lo, hi)}``; by default Tm is held inside the scan and dHcal > 0.
    ``starts``: a number of grid points over w (spread between its bounds, or from 0.5 to
    1.5 times its start value), or a list of w values or of dicts of starting values; the
    fit with the lowest chi-square is kept.  ``baseline``: None (data are the excess),
    ``"linear"`` (b0 + b1 (T - Tref)) or ``"sigmoidal"`` (pre and post lines joined by the
    model's own progress (U - U_start)/(U_end - U_start)), fitted together with the model.
    ``sigma``: uncertainty of each point in the units of ``data["Cp"]``; without it the
    standard errors are scaled by the reduced chi-square.  ``engine``: a callable
    ``engine(fields, T) -> U`` replacing the compiled engine (``search`` is then unused).
    ``epsfcn``: squared relative step of the finite-difference Jacobian.
    """
    import lmfit

    if not isinstance(data, pd.DataFrame) or not {"T", "Cp"} <= set(data.columns):
        raise ValueError("data: expected a DataFrame with columns 'T' and 'Cp'")
    units = units if units is not None else units_of(data)
    T = _check_T(data["T"].to_numpy(dtype=float))
    y = data["Cp"].to_numpy(dtype=float)
    if not np.all(np.isfinite(y)):
        raise ValueError("data: Cp has values that are not finite")
    fields = _fields_of(model)
    vary = _names(vary)
    base = _JointBaseline(baseline, T, y) if baseline is not None else None
    base_names = base.names if base else ()
    vary += [n for n in base_names if n not in vary]
    for name in vary:
        if name in base_names:
            continue
        if name in _NOT_FITTABLE or name not in MODEL_FIELDS:
            allowed = [f for f in MODEL_FIELDS if f not in _NOT_FITTABLE]
            raise ValueError(f"vary: {name!r} cannot be fitted; choose from "
                             f"{', '.join(allowed + list(base_names))}")
        if name not in fields:
            raise ValueError(f"vary: the model has no start value for {name!r}")
    if len(set(vary)) != len(vary):
        raise ValueError("vary: a parameter is named twice")
    if {"dHcal", "Tm"} & set(vary) and float(fields.get("dH", 0)) != 0:
        raise ValueError("vary: dHcal and Tm take effect only when dH is 0 "
                         f"(the model has dH = {fields['dH']:g})")
    if len(T) <= len(vary):
        raise ValueError(f"data: {len(T)} points cannot determine {len(vary)} parameters")
    if sigma is None:
        weight = None
    else:
        weight = np.broadcast_to(np.asarray(sigma, dtype=float), T.shape)
        if not np.all(np.isfinite(weight)) or np.any(weight <= 0):
            raise ValueError("sigma: expected positive finite uncertainties")

    start_values = {n: float(fields[n]) for n in vary if n not in base_names}
    if base:
        start_values.update(base.start)
    lim = {}
    if "Tm" in vary:
        lim["Tm"] = (float(T[0]), float(T[-1]))
    if "dHcal" in vary:
        lim["dHcal"] = (0.0, math.inf)
    for name, b in (bounds or {}).items():
        if name not in vary:
            raise ValueError(f"bounds: {name!r} is not a varied parameter")
        try:
            lo, hi = (float(v) for v in b)
        except (TypeError, ValueError):
            raise ValueError(f"bounds: {name}: expected (lo, hi), got {b!r}") from None
        if not lo < hi:
            raise ValueError(f"bounds: {name}: expected lo < hi, got ({lo:g}, {hi:g})")
        lim[name] = (lo, hi)
    for name, (lo, hi) in lim.items():
        if not lo <= start_values[name] <= hi:
            raise ValueError(f"start value {name} = {start_values[name]:g} lies outside its "
                             f"bounds ({lo:g}, {hi:g})")
    start_list = _starts(starts, fields, vary, lim)

    energy = _engine(engine, search)
    edges = _edges(T)
    widths = np.diff(edges)
    cache = {}

    def evaluate(values):
        key = tuple(values[n] for n in vary)
        if key not in cache:
            f = dict(fields)
            f.update({n: values[n] for n in vary if n not in base_names})
            U = np.asarray(energy(f, edges), dtype=float)
            if U.shape != edges.shape or not np.all(np.isfinite(U)):
                raise RuntimeError("the engine returned no finite energy at every temperature "
                                   f"for {', '.join(f'{n} = {values[n]:g}' for n in vary)}")
            cp = np.diff(U) / widths
            span = U[-1] - U[0]
            prog = (0.5 * (U[1:] + U[:-1]) - U[0]) / span if span != 0 else np.zeros_like(T)
            b = base(values, T, prog) if base else np.zeros_like(T)
            cache.clear()
            cache[key] = (cp, b)
        return cache[key]

    def residual(p):
        cp, b = evaluate(p.valuesdict())
        r = cp + b - y
        return r if weight is None else r / weight

    tried, best = [], None
    for s in start_list:
        params = lmfit.Parameters()
        for name in vary:
            lo, hi = lim.get(name, (-math.inf, math.inf))
            params.add(name, value=s.get(name, start_values[name]), min=lo, max=hi)
        out = lmfit.minimize(residual, params, method="leastsq", epsfcn=epsfcn,
                             nan_policy="raise")
        tried.append({"start": {n: params[n].value for n in vary}, "chisqr": float(out.chisqr),
                      "success": bool(out.success)})
        if best is None or out.chisqr < best.chisqr:
            best = out
    values = {n: float(best.params[n].value) for n in vary}
    cp, b = evaluate(values)
    model_values = {n: values[n] for n in vary if n not in base_names}
    return FitResult(data=data, units=units, T=T, y=y, widths=widths, cp=cp, baseline=b,
                     out=best, vary=vary, fields=fields, model=_with_values(model, model_values),
                     base=base, starts=tried, search=search if engine is None else "custom",
                     weighted=weight is not None)


def _fmt(v, err=None):
    if v is None or not math.isfinite(v):
        return "-"
    if err is not None and math.isfinite(err) and err > 0:
        d = min(max(0, 1 - math.floor(math.log10(err))), 10)
        return f"{v:.{d}f}"
    return f"{v:.6g}"


def _json_safe(x):
    if isinstance(x, dict):
        return {str(k): _json_safe(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [_json_safe(v) for v in x]
    if isinstance(x, (np.floating, float)):
        return float(x) if math.isfinite(x) else None
    if isinstance(x, np.integer):
        return int(x)
    return x


class FitResult:
    """The best fit of :func:`fit`.

    Attributes: ``model`` (the fitted model, a ``chainmelt.Model`` when one was given),
    ``params`` ({name: {"value", "stderr", "min", "max"}} of the free parameters),
    ``fixed`` (the other model fields), ``correlation`` (DataFrame), ``chisqr``,
    ``redchi``, ``ndata``, ``nfree``, ``success``, ``message``, ``starts`` (every start
    and its chi-square), ``curve`` (DataFrame in model units: ``T``, ``Cp`` data,
    ``fit`` model plus baseline, ``excess`` the model alone, ``baseline``, ``residual``,
    ``data_excess``), ``transition`` ({"data": ..., "model": ...} with the calorimetric
    enthalpy ``H``, the peak ``Tm`` and ``Cp_max``, the half-width ``fwhm``, the
    van 't Hoff enthalpy ``vH`` and the cooperative unit ``cu_chains``/``cu_lipids``, all
    per site in model units) and ``units`` (the instrument's).
    """

    def __init__(self, *, data, units, T, y, widths, cp, baseline, out, vary, fields, model,
                 base, starts, search, weighted):
        self.units, self.model, self.search, self.starts = units, model, search, starts
        self.source = data.attrs.get("source")
        self.baseline_kind = base.kind if base else None
        self.baseline_ref = base.Tref if base else None
        self.data_baseline = data.attrs.get("baseline")
        self.weighted = weighted
        self.vary = list(vary)
        self.fields = {**fields, **{n: out.params[n].value for n in vary if n in fields}}
        self.fixed = {k: v for k, v in fields.items() if k not in vary}
        self.params = {}
        for n in vary:
            p = out.params[n]
            err = p.stderr if p.stderr is not None else math.nan
            self.params[n] = {"value": float(p.value), "stderr": float(err),
                              "min": float(p.min), "max": float(p.max)}
        names = list(out.var_names)
        if out.covar is not None and out.covar.shape == (len(names), len(names)):
            sd = np.sqrt(np.diag(out.covar))
            with np.errstate(invalid="ignore", divide="ignore"):
                corr = out.covar / np.outer(sd, sd)
        else:
            corr = np.full((len(names), len(names)), math.nan)
        self.correlation = pd.DataFrame(corr, index=names, columns=names)
        self.chisqr, self.redchi = float(out.chisqr), float(out.redchi)
        self.ndata, self.nfree, self.nfev = int(out.ndata), int(out.nfree), int(out.nfev)
        self.success, self.message = bool(out.success), str(out.message)
        self.errorbars = bool(out.errorbars)
        self.curve = pd.DataFrame({"T": T, "Cp": y, "fit": cp + baseline, "excess": cp,
                                   "baseline": baseline, "residual": y - cp - baseline,
                                   "data_excess": y - baseline})
        self.curve.attrs.update(units.to_attrs())
        c = units.chains_per_lipid
        self.transition = {"data": _transition(T, y - baseline, widths, c),
                           "model": _transition(T, cp, widths, c)}

    def stderr(self, name):
        return self.params[name]["stderr"]

    def value(self, name):
        return self.params[name]["value"]

    def __repr__(self):
        vals = ", ".join(f"{n}={p['value']:.6g}±{p['stderr']:.2g}" for n, p in self.params.items())
        return f"<FitResult {vals}, redchi={self.redchi:.4g}>"

    def __str__(self):
        return self.report()

    def _param_row(self, name, p):
        u = self.units
        v, e = p["value"], p["stderr"]
        unit, alt = "", ""
        if name in _ENERGY_FIELDS:
            unit = "K (energy/R)"
            alt = f"{_fmt(float(u.molar_energy(v)), float(u.molar_energy(e)))} {u.energy_unit} chain"
        elif name == "Tm":
            unit = "K"
            if u.T_unit == "C":
                alt = f"{_fmt(v - u.T_offset, e)} °C"
        elif name in ("dS", "dS2"):
            unit = "k_B"
        elif name in ("b0", "pre0", "post0"):
            unit = "k_B per chain"
            alt = f"{_fmt(float(u.Cp_from_model(v)), float(u.Cp_from_model(e)))} {u.Cp_unit}"
        elif name in ("b1", "pre1", "post1"):
            unit = "k_B per chain per K"
            alt = f"{_fmt(float(u.Cp_from_model(v)), float(u.Cp_from_model(e)))} {u.Cp_unit}/K"
        err = _fmt(e, e) if math.isfinite(e) else "-"
        return f"{name:<10}{_fmt(v, e):>14}{err:>12}   {unit:<20}{alt}"

    def report(self) -> str:
        u = self.units
        T = self.curve["T"].to_numpy()
        lines = []
        src = f" of {os.path.basename(self.source)}" if self.source else ""
        lines.append(f"DSC fit{src}: {self.ndata} points, {_fmt(T[0] - u.T_offset)} to "
                     f"{_fmt(T[-1] - u.T_offset)} {u.T_label}")
        n0 = self.fields.get("n0")
        lines.append(f"Model{'' if n0 is None else f' n0 = {n0:g}'}, {self.search} curve; one "
                     f"site is one chain, {u.chains_per_lipid:g} chains per lipid")
        if self.data_baseline:
            b = self.data_baseline
            lines.append(f"Baseline subtracted before the fit: {b['kind']}, windows "
                         f"{_fmt(b['pre'][0] - u.T_offset)}-{_fmt(b['pre'][1] - u.T_offset)} and "
                         f"{_fmt(b['post'][0] - u.T_offset)}-{_fmt(b['post'][1] - u.T_offset)} "
                         f"{u.T_label}")
        if self.baseline_kind:
            lines.append(f"Baseline fitted with the model: {self.baseline_kind}, in T - "
                         f"{_fmt(self.baseline_ref)} K")
        lines.append("Model heat capacity: mean over each data interval (a latent heat is "
                     "spread over its interval)")
        ok = "" if self.success else f" (NOT CONVERGED: {self.message})"
        lines.append(f"Best of {len(self.starts)} start(s); reduced chi-square "
                     f"{self.redchi:.4g} with {self.nfree} degrees of freedom"
                     f"{'' if self.weighted else ' (unweighted, in k_B^2 per chain)'}{ok}")
        rms = float(np.sqrt(np.mean(self.curve["residual"].to_numpy() ** 2)))
        lines.append(f"Residuals: rms {float(u.Cp_from_model(rms)):.3g} {u.Cp_unit}")
        if not self.errorbars:
            lines.append("Standard errors unavailable: the covariance could not be estimated "
                         "(a parameter has no effect on the curve or sits at a bound)")
        lines.append("")
        lines.append(f"{'Parameter':<10}{'Value':>14}{'Std. error':>12}   {'Unit':<20}"
                     f"In calorimetry units")
        for n, p in self.params.items():
            lines.append(self._param_row(n, p))
        if self.fixed:
            fixed = ", ".join(f"{k} = {v:g}" for k, v in self.fixed.items())
            lines.extend(textwrap.wrap(f"Fixed: {fixed}", 88, subsequent_indent="  "))
        names = list(self.correlation.columns)
        if len(names) > 1:
            lines.append("")
            lines.append("Correlations")
            lines.append(" " * 10 + "".join(f"{n:>9}" for n in names))
            for a in names:
                lines.append(f"{a:<10}" + "".join(
                    f"{self.correlation.loc[a, b]:>9.3f}" for b in names))
        d, m = self.transition["data"], self.transition["model"]
        rows = [
            ("Calorimetric enthalpy", "H", lambda x: float(u.enthalpy_from_model(x)),
             f"{u.energy_unit} lipid", 3),
            ("  per chain", "H", lambda x: x, "K (energy/R)", 1),
            ("Tm at the peak", "Tm", lambda x: x - u.T_offset, u.T_label, 3),
            ("Half-width (FWHM)", "fwhm", lambda x: x, "K", 3),
            ("Peak excess Cp", "Cp_max", lambda x: float(u.Cp_from_model(x)), u.Cp_unit, 3),
            ("van 't Hoff enthalpy", "vH", lambda x: float(u.molar_energy(x)), u.energy_unit, 1),
            ("Cooperative unit", "cu_lipids", lambda x: x, "lipids (vH / cal)", 1),
            ("  in chains", "cu_chains", lambda x: x, "chains", 1),
        ]
        lines.append("")
        lines.append(f"{'Transition':<24}{'Data':>12}{'Model':>12}   Unit")
        for label, key, conv, unit, dec in rows:
            cells = []
            for t in (d, m):
                x = t[key]
                cells.append(f"{conv(x):.{dec}f}" if math.isfinite(x) else "-")
            lines.append(f"{label:<24}{cells[0]:>12}{cells[1]:>12}   {unit}")
        return "\n".join(lines) + "\n"

    def to_dict(self) -> dict:
        """Everything the report shows, as plain data for JSON (NaN becomes None)."""
        u = self.units
        fields = {k: (float(v) if not isinstance(v, str) else v) for k, v in self.fields.items()}
        molar = {}
        for side, t in self.transition.items():
            molar[side] = {"H_per_lipid": float(u.enthalpy_from_model(t["H"])),
                           "Tm": t["Tm"] - u.T_offset, "fwhm": t["fwhm"],
                           "Cp_max": float(u.Cp_from_model(t["Cp_max"])),
                           "vH": float(u.molar_energy(t["vH"])),
                           "cu_lipids": t["cu_lipids"], "cu_chains": t["cu_chains"]}
        return _json_safe({
            "source": self.source, "search": self.search,
            "units": {"T_unit": u.T_unit, "Cp_unit": u.Cp_unit,
                      "energy_unit": u.energy_unit, "chains_per_lipid": u.chains_per_lipid,
                      "conversion": u.describe()},
            "model": fields, "vary": self.vary, "parameters": self.params,
            "baseline": {"fitted": self.baseline_kind, "reference_T": self.baseline_ref,
                         "subtracted": self.data_baseline},
            "chisqr": self.chisqr, "redchi": self.redchi, "ndata": self.ndata,
            "nfree": self.nfree, "nfev": self.nfev, "success": self.success,
            "message": self.message, "weighted": self.weighted,
            "correlation": {a: {b: self.correlation.loc[a, b] for b in self.correlation.columns}
                            for a in self.correlation.index},
            "transition_model_units": self.transition,
            "transition": molar, "starts": self.starts,
        })


# --- command line ----------------------------------------------------------------------


class _UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise _UsageError(message)


def _pair(text):
    try:
        a, b = (float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected T1,T2, got {text!r}") from None
    return a, b


def _bound(text):
    try:
        name, rng = text.split("=", 1)
        lo, hi = (float(v) if v.strip() else math.inf * s
                  for v, s in zip(rng.split(":"), (-1, 1)))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected NAME=LO:HI, got {text!r}") from None
    return name.strip(), (lo, hi)


def _column_arg(text):
    return int(text) if text.lstrip("-").isdigit() else text


def _parser():
    p = _Parser(prog="chainmelt fit",
                description="Fit the model's equilibrium heat capacity to a DSC scan.")
    p.add_argument("data", help="the scan as exported text (columns T and Cp)")
    p.add_argument("--vary", default="w,dHcal,Tm", help="free parameters (default w,dHcal,Tm)")
    p.add_argument("--T-unit", default="C", choices=["C", "K"])
    p.add_argument("--Cp-unit", default="kJ/(mol K)", choices=list(CP_UNITS))
    p.add_argument("--chains-per-lipid", type=float, default=2.0)
    p.add_argument("--T-col", type=_column_arg, help="temperature column: index or name")
    p.add_argument("--Cp-col", type=_column_arg, help="heat-capacity column: index or name")
    p.add_argument("--sep", help="column separator: , ; tab blank (detected by default)")
    p.add_argument("--decimal", choices=[".", ","], help="decimal mark (detected by default)")
    p.add_argument("--baseline", choices=["linear", "sigmoidal"],
                   help="subtract a baseline through --pre and --post before the fit")
    p.add_argument("--pre", type=_pair, help="pre-transition window T1,T2 (instrument unit)")
    p.add_argument("--post", type=_pair, help="post-transition window T3,T4 (instrument unit)")
    p.add_argument("--fit-baseline", choices=["linear", "sigmoidal"],
                   help="fit a baseline together with the model")
    p.add_argument("--bound", type=_bound, action="append", default=[],
                   metavar="NAME=LO:HI", help="bounds of a free parameter (repeatable)")
    p.add_argument("--starts", type=int, default=5, help="grid points over w (default 5)")
    p.add_argument("--search", default="equilibrium")
    p.add_argument("-o", "--output", help="write the figure to this file (e.g. fit.png)")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    g = p.add_argument_group("model fields (starting values; Tm, dHcal, w from the data "
                             "when not given)")
    g.add_argument("--n0", type=int, default=2)
    for name in MODEL_FIELDS:
        if name not in ("n0", "T"):
            g.add_argument(f"--{name}", type=float)
    return p


def main_fit(argv=None, *, engine=None, stdout=None, stderr=None) -> int:
    """``chainmelt fit``: read, fit, print the report (or JSON), optionally draw the figure.

    Exit status 0 on success, 2 for bad input (one line on stderr), 1 when the fit or the
    engine fails."""
    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr
    try:
        a = _parser().parse_args(argv)
    except _UsageError as e:
        print(f"chainmelt fit: {e}", file=stderr)
        return 2
    except SystemExit as e:  # --help
        return int(e.code or 0)
    try:
        if (a.baseline is None) != (a.pre is None or a.post is None) or \
                (a.baseline is None and (a.pre or a.post)):
            raise ValueError("--baseline needs both --pre and --post, and they need --baseline")
        if a.baseline and a.fit_baseline:
            raise ValueError("give --baseline (subtract first) or --fit-baseline, not both")
        if a.output:
            from matplotlib.figure import Figure
            ext = os.path.splitext(a.output)[1].lstrip(".").lower()
            if ext not in Figure().canvas.get_supported_filetypes():
                raise ValueError(f"-o {a.output}: unknown figure format {ext!r}")
            if not os.path.isdir(os.path.dirname(os.path.abspath(a.output))):
                raise ValueError(f"-o {a.output}: no such directory")
        data = read(a.data, T_unit=a.T_unit, Cp_unit=a.Cp_unit,
                    chains_per_lipid=a.chains_per_lipid, T_col=a.T_col, Cp_col=a.Cp_col,
                    sep=a.sep, decimal=a.decimal)
        units = Units.from_attrs(data.attrs)
        if a.baseline:
            data = subtract_baseline(data, units.T_to_model(a.pre), units.T_to_model(a.post),
                                     kind=a.baseline)
        fields = {"n0": a.n0}
        fields.update({n: getattr(a, n) for n in MODEL_FIELDS
                       if n not in ("n0", "T") and getattr(a, n) is not None})
        fields.setdefault("dH", 0.0)
        missing = [n for n in ("Tm", "dHcal", "w") if n not in fields]
        if missing:
            g = guess(data, baseline=a.fit_baseline)
            fields.update({n: g[n] for n in missing})
        bounds = dict(a.bound)
        if engine is None:
            import chainmelt
            model = chainmelt.Model(**fields)
        else:
            model = fields
    except ValueError as e:
        print(f"chainmelt fit: {e}", file=stderr)
        return 2
    try:
        result = fit(data, model, vary=a.vary, bounds=bounds, search=a.search,
                     starts=a.starts, engine=engine, baseline=a.fit_baseline)
    except ValueError as e:
        print(f"chainmelt fit: {e}", file=stderr)
        return 2
    except (RuntimeError, ArithmeticError) as e:
        print(f"chainmelt fit: the fit failed: {e}", file=stderr)
        return 1
    if a.output:
        try:
            _save_figure(result, a.output)
        except (OSError, ValueError) as e:
            print(f"chainmelt fit: -o {a.output}: {e}", file=stderr)
            return 1
    if a.json:
        print(json.dumps(result.to_dict(), indent=2), file=stdout)
    else:
        print(result.report(), end="", file=stdout)
    return 0


def _save_figure(result, path):
    """Draw the fit and write it next to ``path`` first, so a failure leaves ``path`` alone."""
    from matplotlib.figure import Figure

    from .plot_dsc import dsc as plot

    fig = Figure(figsize=(7, 5.5), layout="constrained")
    top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    plot(result, ax=(top, bottom))
    ext = os.path.splitext(path)[1]
    fd, tmp = tempfile.mkstemp(suffix=ext, prefix=".fit-", dir=os.path.dirname(os.path.abspath(path)))
    os.close(fd)
    try:
        fig.savefig(tmp, dpi=150)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise
