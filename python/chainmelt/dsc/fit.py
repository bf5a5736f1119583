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


def _equilibrium_energy(fields: dict, T: np.ndarray, search: str = "equilibrium",
                        threads: int | None = None):
    """Equilibrium energy per site at each temperature, from the compiled engine in one
    call (under the equilibrium search one curve along the sorted temperatures), on
    ``threads`` threads (default: every core)."""
    from ..runs import Model, _heat_columns  # here, so that a fit with its own engine needs none

    from .starts import quiet

    model = Model(**fields)
    T = np.asarray(T, dtype=float)
    # The engine's lines on the transitions of every trial curve are no news to the
    # user: the result's own checks say what matters of the fitted one.  The curve's
    # columns come as arrays: a fit evaluates it hundreds of times.
    with quiet():
        got, U = _heat_columns(model, T, ("T", "U"), search=search, threads=threads)
    if got.shape != T.shape or not (np.array_equal(got, T)
                                    or np.allclose(got, T, rtol=1e-12, atol=0)):
        raise RuntimeError("chainmelt.heat did not return one row per requested temperature")
    return U


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


def w_grid(starts: int, w0: float | None, bounds: Mapping) -> list[dict]:
    """``starts`` starting points over w: the start itself ({}), then a grid spread
    between w's bounds, or from 0.5 to 1.5 times w0 when they are not both finite."""
    if w0 is None or starts == 1:
        return [{}]
    lo, hi = bounds.get("w", (-math.inf, math.inf))
    if math.isfinite(lo) and math.isfinite(hi):
        grid = np.linspace(lo, hi, starts + 2)[1:-1]
    elif w0 != 0:
        grid = w0 * np.linspace(0.5, 1.5, starts)
    else:
        return [{}]
    grid = [g for g in grid if lo < g < hi and not np.isclose(g, w0)]
    return [{}] + [{"w": float(g)} for g in grid[:starts - 1]]


def _starts(starts, fields, vary, bounds):
    if isinstance(starts, (int, np.integer)) and not isinstance(starts, bool):
        if starts < 1:
            raise ValueError(f"starts: expected at least 1, got {starts}")
        return w_grid(int(starts), float(fields["w"]) if "w" in vary else None, bounds)
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
    raise ValueError(f"starts: expected 'auto', a number of grid points over w, or a list "
                     f"of starting values, got {starts!r}")


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


def _domain_setting(domain, vary):
    """("auto" | "fixed" | "infinite" | "varied", start or fixed sites)."""
    if isinstance(domain, str):
        if domain != "auto":
            raise ValueError(f"domain: expected 'auto', a number of sites or None, got {domain!r}")
        return ("varied" if "domain" in vary else "auto"), math.nan
    if domain is None:
        if "domain" in vary:
            raise ValueError("vary: 'domain' needs a start (domain='auto' or a number of sites)")
        return "infinite", math.inf
    try:
        sites = float(domain)
    except (TypeError, ValueError):
        raise ValueError(f"domain: expected 'auto', a number of sites or None, "
                         f"got {domain!r}") from None
    if math.isinf(sites) and sites > 0:
        if "domain" in vary:
            raise ValueError("vary: 'domain' cannot be started at infinity")
        return "infinite", math.inf
    if not (math.isfinite(sites) and sites >= 1):
        raise ValueError(f"domain: expected at least 1 site, got {sites:g}")
    return ("varied" if "domain" in vary else "fixed"), sites


class _Counted:
    """An engine call counted (the figures a fit reports of its cost)."""

    def __init__(self, fn):
        self.fn, self.calls = fn, 0

    def __call__(self, *args):
        self.calls += 1
        return self.fn(*args)


class _Fitter:
    """The model compared with the data (the infinite lattice, or a domain of fixed or
    varied size) and its least-squares fits from a list of starts."""

    def __init__(self, fields, model_names, T, y, weight, base, energy, two_minima, lim,
                 start_values, epsfcn):
        self.fields, self.model_names = fields, model_names
        self.T, self.y, self.weight, self.base = T, y, weight, base
        self.energy, self.two_minima = energy, two_minima
        self.lim, self.start_values, self.epsfcn = lim, start_values, epsfcn
        self.edges = interval_edges(T)
        self.widths = np.diff(self.edges)

    def _energy(self, values, sites_fixed, held, minima):
        from .domain import domain_energy

        f = dict(self.fields, **held)
        f.update({n: values[n] for n in self.model_names if n in values})
        sites = values.get("domain", sites_fixed)
        if math.isinf(sites):
            return np.asarray(self.energy(f, self.edges), dtype=float)
        key = tuple(sorted(f.items()))
        if key not in minima:  # a step in the domain's size alone reuses the minima
            minima.clear()
            minima[key] = self.two_minima(f, self.edges)
        return domain_energy(minima[key], self.edges, float(sites))

    def curves(self, names, sites_fixed, held):
        """evaluate(values) -> (model Cp, baseline) at the data, the last one cached."""
        cache: dict = {}
        minima: dict = {}
        T, base = self.T, self.base

        def evaluate(values):
            key = tuple(values[n] for n in names)
            if key not in cache:
                U = self._energy(values, sites_fixed, held, minima)
                if U.shape != self.edges.shape or not np.all(np.isfinite(U)):
                    raise RuntimeError(
                        "the engine returned no finite energy at every temperature "
                        f"for {', '.join(f'{n} = {values[n]:g}' for n in names)}")
                cp = np.diff(U) / self.widths
                span = U[-1] - U[0]
                prog = ((0.5 * (U[1:] + U[:-1]) - U[0]) / span if span != 0
                        else np.zeros_like(T))
                b = base(values, T, prog) if base else np.zeros_like(T)
                cache.clear()
                cache[key] = (cp, b)
            return cache[key]
        return evaluate

    def run(self, slist, names, sites_fixed, held=None):
        """The best of the fits from the starts ``slist`` over the parameters ``names``:
        (lmfit result, its Minimizer, every start with its chi-square, evaluate)."""
        import lmfit

        evaluate = self.curves(names, sites_fixed, held or {})
        y, weight, epsfcn = self.y, self.weight, self.epsfcn

        def residual(p):
            cp, b = evaluate(p.valuesdict())
            r = cp + b - y
            return r if weight is None else r / weight

        tried, best, best_min = [], None, None
        for s in slist:
            hold = [n for n in s.get("hold", ()) if n in names]
            s = {k: v for k, v in s.items() if k != "hold"}
            params = lmfit.Parameters()
            for name in names:
                lo, hi = self.lim.get(name, (-math.inf, math.inf))
                params.add(name, value=s.get(name, self.start_values.get(name)), min=lo,
                           max=hi)
            first = params
            if hold:
                # Tm held inside the interval of a latent heat until the rest has settled
                # (the jump moves between intervals where Tm crosses an edge)
                first = params.copy()
                for name in hold:
                    first[name].set(vary=False)
                first = lmfit.minimize(residual, first, method="leastsq", nan_policy="raise",
                                       epsfcn=epsfcn).params
                for name in hold:
                    first[name].set(vary=True)
            # lmfit.minimize's own steps, keeping the Minimizer for conf_interval.
            minimizer = lmfit.Minimizer(residual, first, nan_policy="raise", epsfcn=epsfcn)
            out = minimizer.minimize(method="leastsq")
            tried.append({"start": {n: params[n].value for n in names},
                          "chisqr": float(out.chisqr), "success": bool(out.success)})
            if best is None or out.chisqr < best.chisqr:
                best, best_min = out, minimizer
        return best, best_min, tried, evaluate


def fit(data: pd.DataFrame, model: Any, vary: Sequence[str] | str = ("w", "dHcal", "Tm"),
        bounds: Mapping | None = None, search: str = "equilibrium", starts: Any = "auto",
        engine: Callable | None = None, fit_baseline: str | None = None, sigma: Any = None,
        units: Units | None = None, epsfcn: float = 1e-10, *, domain: Any = "auto",
        branches: Callable | None = None, baseline: str | None = None) -> FitResult:
    """Fit the model's equilibrium heat capacity to a DSC curve by least squares (lmfit).

    ``data``: DataFrame with ``T`` (kelvin) and ``Cp`` (k_B per site), as from :func:`read`
    or :func:`subtract_baseline`; without ``fit_baseline`` it must be the excess heat
    capacity.
    ``model``: a ``chainmelt.Model`` (or a dict of its fields) holding the starting values
    and the fixed parameters.  ``vary``: the free parameters (model fields, ``domain``,
    and the baseline's when one is fitted).  ``dHcal`` and ``Tm`` act only through
    ``dH = 0``.
    ``bounds``: ``{name: (lo, hi)}``; by default Tm is held inside the scan, dHcal > 0 and
    the domain at one site or more.
    ``starts``: ``"auto"`` (the default) takes the starting values from the data: Tm at
    the peak, dHcal its area and w from its width (the coupling between the critical
    coupling w_c and 0 whose peak is as wide); data as sharp as the model gets near w_c
    are also started on both sides of w_c and on the first-order side at their latent
    heat.  Otherwise a number of grid points over w (spread between its bounds, or from
    0.5 to 1.5 times its start value), or a list of w values or of dicts of starting
    values.  The fit with the lowest chi-square is kept.
    ``domain``: the size in sites of a cooperative domain that rounds a first-order
    transition (see :mod:`chainmelt.dsc.domain`).  ``"auto"``: with ``starts="auto"`` on
    sharp data, fits with the domain varied from the data's cooperative unit are tried
    beside the infinite lattice and the one with the lower AIC is kept; a number: the
    domain's size, fixed (or its start with ``"domain"`` in ``vary``); None or inf: the
    infinite lattice only.  ``branches``: a callable ``branches(fields, T) -> dict``
    replacing the engine's two-minima call (see :mod:`chainmelt.dsc.domain`).
    ``fit_baseline``: None (data are the excess), ``"linear"`` (b0 + b1 (T - Tref)) or
    ``"sigmoidal"`` (pre and post lines joined by the model's own progress
    (U - U_start)/(U_end - U_start)), fitted together with the model.
    ``sigma``: uncertainty of each point in the units of ``data["Cp"]``; without it the
    standard errors are scaled by the reduced chi-square.  ``engine``: a callable
    ``engine(fields, T) -> U`` replacing the compiled engine (``search`` is then unused;
    the critical coupling is then unknown and the result has no classification).
    ``epsfcn``: squared relative step of the finite-difference Jacobian.

    A Tm that ends on the edge of the data interval holding a latent heat (the data
    want the jump beyond it) has its standard error from the side that keeps the jump
    in its interval.  A domain fit whose peak is two-state (all the enthalpy latent)
    cannot determine w: w is then held at the coupling whose latent heat is 99 % of
    dHcal and left out of the parameters (``domain["w_held"]``).  A domain that would
    round the jump by less than the scan's step is not kept whatever its AIC.

    Besides what :class:`FitResult` holds, the result has ``classification`` (the kind of
    transition from w / w_c and the latent share of the enthalpy; None with an engine of
    the caller's), ``domain`` (the domain's size and whether it was chosen),
    ``data_starts`` (the starting values read from the data) and ``engine_calls``.

    ``fit_baseline`` is the command line's ``--fit-baseline``; a baseline subtracted
    before the fit (``--baseline`` with ``--pre``, ``--post``) is :func:`subtract_baseline`.
    ``baseline``: the former name of ``fit_baseline`` (a DeprecationWarning).
    """
    from . import domain as dom
    from . import starts as st

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
    mode, sites0 = _domain_setting(domain, vary)
    if baseline is not None and baseline in BASELINES:
        free = len(set(vary) | set(BASELINES[baseline]))
        if len(T) <= free:
            raise ValueError(f"data: {len(T)} points cannot determine {free} parameters")
    base = JointBaseline(baseline, T, y) if baseline is not None else None
    base_names = base.names if base else ()
    vary = list(vary) + [n for n in base_names if n not in vary]
    extra = tuple(base_names) + (("domain",) if "domain" in vary else ())
    _check_vary(vary, fields, extra, len(T))
    weight = _weights(sigma, T)
    model_names = [n for n in vary if n not in extra]
    start_values = {n: float(fields[n]) for n in model_names}
    if base:
        start_values.update(base.start)
    if "domain" in vary:
        start_values["domain"] = sites0 if math.isfinite(sites0) else 1e3
    lim = _limits(vary, T, bounds, start_values)
    if "domain" in vary:
        lo, hi = lim.get("domain", (1.0, math.inf))
        lim["domain"] = (max(lo, 1.0), hi)
    auto = isinstance(starts, str) and starts == "auto"
    if not auto:
        start_list = _starts(starts, fields, vary, lim)

    compiled = engine is None
    energy = _Counted(_engine(engine, search))
    if branches is None and compiled and search == "equilibrium":
        branches = dom.compiled_branches()
    two_minima = _Counted(branches) if branches is not None else None

    # --- the data's own starting values
    data_starts: dict = {}
    domain_list: list = []
    if auto:
        want_domain = mode in ("auto", "varied") and two_minima is not None

        minima = two_minima

        def domain_energy(f, T_, sites):
            assert minima is not None  # only called where the domain is wanted
            return dom.domain_energy(minima(f, T_), T_, sites)
        try:
            data_starts = st.data_starts(T, y, dict(fields), model_names, energy, compiled,
                                         units.chains_per_lipid,
                                         domain_energy if want_domain else None,
                                         base is not None)
        except (RuntimeError, ValueError, ArithmeticError) as e:
            data_starts = {"error": str(e), "starts": [{}], "domain_starts": []}
        start_list = [_clip(s, lim) for s in data_starts["starts"]]
        if mode in ("auto", "varied"):
            domain_list = [_clip(s, lim) for s in data_starts.get("domain_starts", [])]
        if mode == "varied":
            # the domain varied by request: from the data's domain starts, else the given
            start_list = domain_list or [dict(s, domain=start_values["domain"])
                                         for s in start_list]
            domain_list = []
    if (mode in ("fixed", "varied")) and two_minima is None:
        raise ValueError("domain: a finite domain needs the engine's two minima "
                         "(the compiled engine's equilibrium search, or branches=)")

    fitter = _Fitter(fields, model_names, T, y, weight, base, energy, two_minima, lim,
                     start_values, epsfcn)
    edges, widths = fitter.edges, fitter.widths
    run = fitter.run

    plain = [n for n in vary if n != "domain"]
    aic_inf: float | None = None
    aic_dom: float | None = None
    tried_sites: float | None = None
    unresolved: float | None = None
    domain_error = None
    if mode == "varied":
        best, best_min, tried, evaluate = run(start_list, vary, math.nan)
        chosen = "domain"
        aic_dom = float(best.aic)
    else:
        best, best_min, tried, evaluate = run(start_list, plain,
                                              sites0 if mode == "fixed" else math.inf)
        chosen = "domain" if mode == "fixed" else "infinite"
        if mode == "fixed":
            aic_dom = float(best.aic)
        else:
            aic_inf = float(best.aic)
        if domain_list:
            lim.setdefault("domain", (1.0, math.inf))
            try:
                d_best, d_min, d_tried, d_eval = run(domain_list, plain + ["domain"], math.nan)
            except (RuntimeError, ValueError, ArithmeticError) as e:
                domain_error = str(e)  # the infinite lattice's fit stands
            else:
                tried = tried + d_tried
                aic_dom = float(d_best.aic)
                tried_sites = float(d_best.params["domain"].value)
                rounding = _rounding_width(fields, model_names, d_best) if compiled else math.inf
                # a domain that rounds the jump by less than a step is not resolved by
                # the data (its lower chi-square is the noise of one or two points)
                resolved = rounding >= float(np.median(widths))
                assert aic_inf is not None  # the infinite lattice was fitted first
                if aic_dom < aic_inf and resolved:
                    best, best_min, evaluate, chosen = d_best, d_min, d_eval, "domain"
                elif aic_dom < aic_inf:
                    unresolved = rounding
    assert best is not None
    held: dict = {}
    if chosen == "domain" and compiled and "w" in best.params and _undetermined(best, "w"):
        held = _hold_w(fields, model_names, best)
        if held:
            # the peak is two-state: every w beyond some coupling makes it, w is held
            s0 = {n: float(best.params[n].value) for n in best.params if n != "w"}
            best, best_min, h_tried, evaluate = run([s0], [n for n in best.params
                                                           if n != "w"], math.nan, held)
            tried = tried + h_tried
            aic_dom = float(best.aic)
    if _on_edge(best, edges, epsfcn):
        _edge_errors(best, best_min, epsfcn, weight is None)
    names = list(best.params.keys())
    values = {n: float(best.params[n].value) for n in names}
    cp, b = evaluate(values)
    model_values = {n: values[n] for n in model_names if n in values}
    model_values.update(held)
    result = FitResult(data=data, units=units, T=T, y=y, cp=cp, baseline=b,
                       out=best, vary=names, fields=dict(fields, **held),
                       model=_with_values(model, model_values), base=base, starts=tried,
                       search=search if engine is None else "custom",
                       weighted=weight is not None, minimizer=best_min)
    fitted = dict(fields)
    fitted.update(model_values)
    sites = values.get("domain", sites0 if mode == "fixed" else math.inf)
    result.classification = _classify(fitted) if compiled else None
    result.domain = _domain_summary(sites, units.chains_per_lipid, mode, chosen,
                                    aic_inf, aic_dom, result.classification,
                                    bool(domain_list) or mode == "varied", tried_sites,
                                    two_minima is not None)
    if (chosen == "domain" and compiled and math.isfinite(sites)
            and _rounding_width(dict(fields, **held), model_names, best, sites)
            >= float(np.median(widths))):
        # the domain rounds the latent heat over a data step or more: the objective is
        # smooth in Tm, and Tm on an interval's edge is no problem
        result.problems = [p for p in result.problems if p["code"] != "Tm-on-edge"]
    if domain_error is not None:
        result.domain["error"] = domain_error
    if unresolved is not None:
        result.domain["text"] = (
            f"Infinite lattice kept: a finite cooperative domain (best {tried_sites:.4g} "
            f"sites, AIC {aic_dom:.1f} against {aic_inf:.1f}) would round the jump over "
            f"{unresolved:.2g} K, less than the scan's step, which the data cannot resolve.")
    if held:
        result.domain["w_held"] = held["w"]
        result.domain["text"] += (
            f" The peak is two-state: its enthalpy is all latent heat for every w beyond "
            f"about {held['w']:.4g} K, so the data do not determine w; it is held there "
            f"(latent heat {HELD_SHARE:.0%} of dHcal).")
    result.data_starts = {k: v for k, v in data_starts.items()}
    result.engine_calls = {"energy": energy.calls,
                           "two_minima": two_minima.calls if two_minima else 0}
    return result


def _on_edge(out, edges, epsfcn) -> bool:
    """Whether a fitted Tm lies on a data interval's edge: within the step of the
    difference quotients, which then cross it."""
    if "Tm" not in out.params:
        return False
    Tm = float(out.params["Tm"].value)
    return bool(np.min(np.abs(edges - Tm)) <= 1.01 * math.sqrt(epsfcn) * abs(Tm))


def _edge_errors(out, minimizer, epsfcn, scale) -> None:
    """Standard errors of a fit whose Tm ends on a data interval's edge.  There the
    latent heat moves to the next interval and leastsq's difference quotient in Tm
    crosses that step, which makes Tm's error vanish; the quotients are taken here on
    the side that keeps the jump in its interval, and the covariance (scaled by the
    reduced chi-square like lmfit's when unweighted) is replaced."""
    names = list(out.var_names)
    params = out.params.copy()
    r0 = np.asarray(minimizer.userfcn(params), dtype=float)
    cols = []
    for n in names:
        x = float(params[n].value)
        h = math.sqrt(epsfcn) * max(abs(x), 1.0)
        best_col = None
        for sign in ((1.0, -1.0) if n == "Tm" else (1.0,)):
            trial = params.copy()
            trial[n].set(value=x + sign * h, min=-math.inf, max=math.inf)
            col = (np.asarray(minimizer.userfcn(trial), dtype=float) - r0) / (sign * h)
            if best_col is None or np.linalg.norm(col) < np.linalg.norm(best_col):
                best_col = col
        assert best_col is not None
        cols.append(best_col)
    J = np.column_stack(cols)
    try:
        cov = np.linalg.inv(J.T @ J)
    except np.linalg.LinAlgError:
        return
    if scale and out.nfree > 0:
        cov = cov * float(r0 @ r0) / out.nfree
    sd = np.sqrt(np.abs(np.diag(cov)))
    out.covar = cov
    for i, n in enumerate(names):
        out.params[n].stderr = float(sd[i])
        out.params[n].correl = {m: float(cov[i, j] / (sd[i] * sd[j]))
                                for j, m in enumerate(names) if j != i}
    out.errorbars = True


def _rounding_width(fields, model_names, out, sites=None) -> float:
    """FWHM of the two-state peak a domain (of ``sites`` sites, by default the fitted
    size) makes of the fitted latent heat, 3.53 T^2 / (N latent) (inf without a latent
    heat)."""
    from . import starts as st

    f = dict(fields)
    f.update({n: float(out.params[n].value) for n in model_names if n in out.params})
    try:
        latent = st.latent_heat(f)
    except (RuntimeError, ValueError, ArithmeticError):
        return math.inf
    sites = float(out.params["domain"].value) if sites is None else float(sites)
    if not latent > 0:
        return math.inf
    return 3.53 * float(f["Tm"]) ** 2 / (sites * latent)


HELD_SHARE = 0.99  # the latent share at which an undetermined w is held


def _undetermined(out, name) -> bool:
    """Whether a fitted parameter's standard error is missing, not finite or larger
    than its value."""
    p = out.params[name]
    return p.stderr is None or not math.isfinite(p.stderr) or p.stderr > abs(p.value)


def _hold_w(fields, model_names, out) -> dict:
    """{"w": the coupling with HELD_SHARE of dHcal latent} when the domain fit's latent
    share is that high already (w then changes nothing the data can show), else {}."""
    from . import starts as st

    f = dict(fields)
    f.update({n: float(out.params[n].value) for n in model_names if n in out.params})
    H = float(f.get("dHcal", 0.0))
    try:
        if not H > 0 or st.latent_heat(f) < 0.98 * H:
            return {}
        w_c = st.critical_coupling(f)
        if not (math.isfinite(w_c) and w_c < 0):
            return {}
        return {"w": st.w_for_latent(f, HELD_SHARE * H, w_c)}
    except (RuntimeError, ValueError, ArithmeticError):
        return {}


def _clip(start: dict, lim: dict) -> dict:
    """A data start moved inside the bounds (a start outside them is refused by lmfit)."""
    out = {}
    for k, v in start.items():
        if k == "hold":
            out[k] = v
            continue
        lo, hi = lim.get(k, (-math.inf, math.inf))
        if math.isfinite(lo) and math.isfinite(hi):
            pad = 1e-6 * (hi - lo)
            v = min(max(v, lo + pad), hi - pad)
        elif v < lo:
            v = lo
        elif v > hi:
            v = hi
        out[k] = float(v)
    return out


def _classify(fields: dict) -> dict | None:
    """The kind of transition of fitted fields: from w / w_c at the fitted Tm and dHcal
    and the share of the calorimetric enthalpy taken up as latent heat."""
    from . import starts as st

    try:
        w_c = st.critical_coupling(fields)
        w = float(fields["w"])
        latent = st.latent_heat(fields)
    except (RuntimeError, ValueError, KeyError):
        return None
    H = float(fields.get("dHcal", math.nan))
    share = latent / H if H > 0 else math.nan
    ratio = w / w_c if math.isfinite(w_c) and w_c != 0 else math.nan
    if not math.isfinite(ratio):
        kind = "first order" if latent > 0 else "supercritical"
    elif ratio > 1 and (share >= FIRST_ORDER_SHARE or ratio > 1 + NEAR_CRITICAL):
        kind = "first order"
    elif ratio >= 1 - NEAR_CRITICAL:
        kind = "near-critical"
    else:
        kind = "supercritical"
    where = (f"w = {w:.4g} K is {ratio:.3f} times the critical coupling w_c = {w_c:.4g} K "
             "at the fitted Tm and dHcal" if math.isfinite(ratio)
             else "no critical coupling was found at the fitted Tm and dHcal")
    lat = (f"the infinite lattice takes up {share:.0%} of the calorimetric enthalpy as "
           "latent heat" if latent > 0 else "the infinite lattice has no latent heat")
    return {"kind": kind, "w_c": w_c, "w_over_wc": ratio, "latent_share": share,
            "text": f"{kind.capitalize()} transition: {where}; {lat}."}


# w / w_c within this of 1 is near-critical; a first-order transition with a latent heat
# below FIRST_ORDER_SHARE of the enthalpy that close to w_c is near-critical too
NEAR_CRITICAL = 0.1
FIRST_ORDER_SHARE = 0.1


def _domain_summary(sites, chains_per_lipid, mode, chosen, aic_inf, aic_dom,
                    classification, tried, best_sites, available) -> dict:
    lipids = sites / chains_per_lipid
    first = classification is not None and classification["kind"] == "first order"
    effective = math.isfinite(sites) and (first or classification is None)
    if chosen == "domain":
        size = f"{sites:.4g} sites ({lipids:.4g} lipids)"
        if mode == "fixed":
            text = f"Cooperative domain fixed at {size}"
        elif aic_inf is not None:
            text = (f"Cooperative domain of {size} kept: its AIC {aic_dom:.1f} is below the "
                    f"infinite lattice's {aic_inf:.1f}")
        else:
            text = f"Cooperative domain of {size} fitted"
        if not effective:
            text += "; the fitted transition is continuous, so the domain has no effect"
        text += "."
    elif tried and aic_dom is not None:
        size = "" if best_sites is None else f" (best {best_sites:.4g} sites)"
        text = (f"Infinite lattice kept: a finite cooperative domain{size} did not lower "
                f"the AIC ({aic_dom:.1f} against {aic_inf:.1f}).")
    elif mode == "auto" and not available:
        text = ("Domain size fixed at infinity: this engine gives no second minimum to try a "
                "finite domain with.")
    elif classification is not None and classification["kind"] != "first order":
        text = ("Domain size fixed at infinity: the transition is continuous, where a finite "
                "domain has no effect.")
    else:
        text = "Domain size fixed at infinity (the infinite lattice)."
    return {"sites": float(sites), "lipids": float(lipids), "varied": mode == "varied" or tried,
            "effective": bool(effective and chosen == "domain"), "aic_infinite": aic_inf,
            "aic_domain": aic_dom, "chosen": chosen, "text": text}
