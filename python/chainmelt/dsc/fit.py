"""The model's heat-capacity curve compared with DSC data, and the least-squares fit."""

from __future__ import annotations

import functools
import math
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from .._fields import MODEL_FIELDS
from ..peak import interval_edges
from .baseline import BASELINES, JointBaseline
from .io import Units, check_T, units_of
from .result import FitResult, transition

_NOT_FITTABLE = ("n0", "T", "zsave", "mode")

# --- the engine seam -----------------------------------------------------------------


def _equilibrium_energy(fields: dict, T: np.ndarray, search: str = "equilibrium"):
    """Equilibrium energy per site at each temperature, from the compiled engine in one
    call (under the equilibrium search one curve along the sorted temperatures)."""
    from ..runs import Model, heat  # here, so that a fit with its own engine needs none

    model = Model(**fields)
    table = heat(model, T=np.asarray(T, dtype=float), search=search)
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


def model_curve(model: Any, T: Any, search: str = "equilibrium",
                engine: Callable | None = None) -> pd.DataFrame:
    """The model's excess heat capacity at the temperatures ``T`` (kelvin), compared as
    the data are: the mean over each data interval (see the module's description).

    Returns a DataFrame with ``T``, ``Cp`` (k_B per site) and ``U`` (the equilibrium
    energy at T, the mean of the two edges)."""
    T = check_T(T, "T")
    edges = interval_edges(T)
    U = np.asarray(_engine(engine, search)(_fields_of(model), edges), dtype=float)
    if U.shape != edges.shape or not np.all(np.isfinite(U)):
        raise RuntimeError("the engine returned no finite energy at every temperature")
    return pd.DataFrame({"T": T, "Cp": np.diff(U) / np.diff(edges),
                         "U": 0.5 * (U[1:] + U[:-1])})


def lattice_model(model: Any, vary: Sequence[str] | str = ("w", "dHcal", "Tm"),
                  search: str = "equilibrium", engine: Callable | None = None,
                  independent_var: str = "T", prefix: str = "") -> Any:
    """The model's excess heat capacity (k_B per site) as an ``lmfit.Model`` of the
    temperature, compared with data as :func:`fit` compares it (the mean over each data
    interval).  Its parameters are the fields in ``vary``, started at the model's values
    (dHcal held positive); the other fields stay as the model has them.  Add a baseline
    model to it as to any lmfit model, e.g.
    ``lattice_model(m) + lmfit.models.LinearModel()`` fitted with
    ``.fit(data["Cp"], params, T=data["T"], x=data["T"])``.  ``independent_var`` names
    the temperature argument ("x" to share it with lmfit's own models)."""
    import inspect

    import lmfit

    fields = _fields_of(model)
    names = _names(vary)
    _check_vary(names, fields, (), len(names) + 1)
    if independent_var in names or not independent_var.isidentifier():
        raise ValueError(f"independent_var: expected a name other than the parameters', "
                         f"got {independent_var!r}")
    energy = _engine(engine, search)

    def lattice(*args: Any, **values: Any) -> np.ndarray:
        T = check_T(values.pop(independent_var) if not args else args[0], independent_var)
        f = dict(fields)
        f.update({n: float(values[n]) for n in names})
        edges = interval_edges(T)
        U = np.asarray(energy(f, edges), dtype=float)
        if U.shape != edges.shape or not np.all(np.isfinite(U)):
            raise RuntimeError("the engine returned no finite energy at every temperature "
                               f"for {', '.join(f'{n} = {f[n]:g}' for n in names)}")
        return np.diff(U) / np.diff(edges)

    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    lattice.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
        [inspect.Parameter(independent_var, kind)]
        + [inspect.Parameter(n, kind, default=float(fields[n])) for n in names])
    out = lmfit.Model(lattice, independent_vars=[independent_var], prefix=prefix,
                      name="lattice")
    if "dHcal" in names:
        out.set_param_hint("dHcal", min=0.0)
    return out


def _fitted_baseline(fit_baseline, baseline, where):
    """``fit_baseline``, or the former keyword ``baseline`` of the same meaning."""
    if baseline is None:
        return fit_baseline
    if fit_baseline is not None:
        raise TypeError(f"{where}: give fit_baseline only (baseline is its former name)")
    warnings.warn(f"{where}: baseline= is now fit_baseline= (a baseline fitted with the "
                  "model; the command line's --baseline subtracts one first, as "
                  "subtract_baseline does)", DeprecationWarning, stacklevel=3)
    return baseline


def guess(data: pd.DataFrame, fit_baseline: str | None = None, *,
          baseline: str | None = None) -> dict:
    """Starting values from the data: Tm at the peak, dHcal the area per site and w a
    tenth of it with the sign of an attraction (the fit's grid over w refines it).
    With ``fit_baseline`` (a baseline to be fitted with the model), a line through the
    outer tenths of the scan is taken off first.  ``baseline``: the former name of
    ``fit_baseline`` (a DeprecationWarning)."""
    baseline = _fitted_baseline(fit_baseline, baseline, "guess")
    T = check_T(data["T"].to_numpy(dtype=float))
    y = data["Cp"].to_numpy(dtype=float)
    if baseline is not None:
        b = JointBaseline("linear", T, y)
        y = y - b(b.start, T, None)
    t = transition(T, y, 1.0)
    if not t["H"] > 0:
        raise ValueError("guess: no positive excess enthalpy in the data")
    return {"Tm": t["Tm"], "dHcal": t["H"], "w": -0.1 * t["H"]}


# --- fitting ---------------------------------------------------------------------------


def _names(vary: Sequence[str] | str) -> list[str]:
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


def _check_vary(vary, fields, base_names, npoints):
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
    if npoints <= len(vary):
        raise ValueError(f"data: {npoints} points cannot determine {len(vary)} parameters")


def _weights(sigma, T):
    if sigma is None:
        return None
    weight = np.broadcast_to(np.asarray(sigma, dtype=float), T.shape)
    if not np.all(np.isfinite(weight)) or np.any(weight <= 0):
        raise ValueError("sigma: expected positive finite uncertainties")
    return weight


def _limits(vary, T, bounds, start_values):
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
    return lim


def fit(data: pd.DataFrame, model: Any, vary: Sequence[str] | str = ("w", "dHcal", "Tm"),
        bounds: Mapping | None = None, search: str = "equilibrium", starts: Any = 5,
        engine: Callable | None = None, fit_baseline: str | None = None, sigma: Any = None,
        units: Units | None = None, epsfcn: float = 1e-10, *,
        baseline: str | None = None) -> FitResult:
    """Fit the model's equilibrium heat capacity to a DSC curve by least squares (lmfit).

    ``data``: DataFrame with ``T`` (kelvin) and ``Cp`` (k_B per site), as from :func:`read`
    or :func:`subtract_baseline`; without ``fit_baseline`` it must be the excess heat
    capacity.
    ``model``: a ``chainmelt.Model`` (or a dict of its fields) holding the starting values
    and the fixed parameters.  ``vary``: the free parameters (model fields, and the
    baseline's when one is fitted).  ``dHcal`` and ``Tm`` act only through ``dH = 0``.
    ``bounds``: ``{name: (lo, hi)}``; by default Tm is held inside the scan and dHcal > 0.
    ``starts``: a number of grid points over w (spread between its bounds, or from 0.5 to
    1.5 times its start value), or a list of w values or of dicts of starting values; the
    fit with the lowest chi-square is kept.  ``fit_baseline``: None (data are the excess),
    ``"linear"`` (b0 + b1 (T - Tref)) or ``"sigmoidal"`` (pre and post lines joined by the
    model's own progress (U - U_start)/(U_end - U_start)), fitted together with the model.
    ``sigma``: uncertainty of each point in the units of ``data["Cp"]``; without it the
    standard errors are scaled by the reduced chi-square.  ``engine``: a callable
    ``engine(fields, T) -> U`` replacing the compiled engine (``search`` is then unused).
    ``epsfcn``: squared relative step of the finite-difference Jacobian.

    ``fit_baseline`` is the command line's ``--fit-baseline``; a baseline subtracted
    before the fit (``--baseline`` with ``--pre``, ``--post``) is :func:`subtract_baseline`.
    ``baseline``: the former name of ``fit_baseline`` (a DeprecationWarning).
    """
    import lmfit

    if not isinstance(data, pd.DataFrame) or not {"T", "Cp"} <= set(data.columns):
        raise ValueError("data: expected a DataFrame with columns 'T' and 'Cp'")
    units = units if units is not None else units_of(data)
    T = check_T(data["T"].to_numpy(dtype=float))
    y = data["Cp"].to_numpy(dtype=float)
    if not np.all(np.isfinite(y)):
        raise ValueError("data: Cp has values that are not finite")
    baseline = _fitted_baseline(fit_baseline, baseline, "fit")
    fields = _fields_of(model)
    vary = _names(vary)
    if baseline is not None and baseline in BASELINES:
        free = len(set(vary) | set(BASELINES[baseline]))
        if len(T) <= free:
            raise ValueError(f"data: {len(T)} points cannot determine {free} parameters")
    base = JointBaseline(baseline, T, y) if baseline is not None else None
    base_names = base.names if base else ()
    vary = list(vary) + [n for n in base_names if n not in vary]
    _check_vary(vary, fields, base_names, len(T))
    weight = _weights(sigma, T)
    start_values = {n: float(fields[n]) for n in vary if n not in base_names}
    if base:
        start_values.update(base.start)
    lim = _limits(vary, T, bounds, start_values)
    start_list = _starts(starts, fields, vary, lim)

    energy = _engine(engine, search)
    edges = interval_edges(T)
    widths = np.diff(edges)
    cache: dict = {}

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
        # lmfit.minimize's own steps, keeping the Minimizer for conf_interval.
        minimizer = lmfit.Minimizer(residual, params, nan_policy="raise", epsfcn=epsfcn)
        out = minimizer.minimize(method="leastsq")
        tried.append({"start": {n: params[n].value for n in vary}, "chisqr": float(out.chisqr),
                      "success": bool(out.success)})
        if best is None or out.chisqr < best.chisqr:
            best, best_minimizer = out, minimizer
    assert best is not None
    values = {n: float(best.params[n].value) for n in vary}
    cp, b = evaluate(values)
    model_values = {n: values[n] for n in vary if n not in base_names}
    return FitResult(data=data, units=units, T=T, y=y, cp=cp, baseline=b,
                     out=best, vary=vary, fields=fields, model=_with_values(model, model_values),
                     base=base, starts=tried, search=search if engine is None else "custom",
                     weighted=weight is not None, minimizer=best_minimizer)
