"""Global fits: several DSC scans that share some of the model's parameters.

Every scan is compared with the model as a single fit compares it (the mean heat capacity
over each data interval, see :mod:`chainmelt.dsc`), with its own units and, when one is
fitted, its own baseline.  The parameters are of three kinds:

- shared (``vary``): one value for every scan, e.g. the lattice parameters w, dHcal, Tm;
- known per scan (``per_scan``, or a header line of the file such as ``# conc = 0.05``):
  a model field fixed at a different value in each scan, e.g. the fraction of a drug;
- fitted per scan (``per_scan_vary``): a model field with its own free value in each scan.

The residuals of all scans are minimised together (lmfit, Levenberg-Marquardt), by
default from starting values taken from the scans (each fitted on its own from its data,
as the single fit starts; their median and each scan's own), or from a grid over w; the
best start is kept.
"""

from __future__ import annotations

import concurrent.futures
import math
import os
import re
import textwrap
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from .._fields import MODEL_FIELDS
from ..peak import interval_edges
from .baseline import BASELINES, JointBaseline
from .fit import _check_vary, _equilibrium_energy, _fields_of, _names, guess, w_grid
from .io import check_T, units_of
from .result import LmfitStatistics, _fmt, _json_safe, correlation_lines, param_row
from .result import transition as _transition
from .starts import quiet as _quiet_engine

_NOT_FITTABLE = ("n0", "T", "zsave", "mode")
#: The residual of a point where the model has no curve, in multiples of the data's size.
PENALTY = 1e6
_HEADER_FIELD = re.compile(r"^\s*[#;%]+\s*([A-Za-z_][A-Za-z0-9_]*)\s*[=:]\s*"
                           r"([+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?)\s*$")


def header_fields(path: Any) -> dict:
    """Model fields named in the comment lines of a scan's file, e.g. ``# conc = 0.05``
    (``#``, ``;`` or ``%`` comments; ``=`` or ``:``).  Lines naming anything other than a
    model field are ignored.  A field named twice with different values is refused."""
    out: dict = {}
    try:
        with open(os.fspath(path), "rb") as fh:
            text = fh.read().decode("utf-8-sig", errors="replace")
    except OSError as e:
        raise ValueError(f"{path}: cannot read: {e.strerror or e}") from None
    for n, line in enumerate(text.splitlines(), start=1):
        m = _HEADER_FIELD.match(line)
        if not m or m.group(1) not in MODEL_FIELDS or m.group(1) == "T":
            continue
        name, value = m.group(1), float(m.group(2))
        if name in out and out[name] != value:
            raise ValueError(f"{path}, line {n}: {name} = {value:g}, but an earlier line "
                             f"says {out[name]:g}")
        out[name] = value
    return out


def _label(data: pd.DataFrame, k: int) -> str:
    src = data.attrs.get("source")
    return os.path.basename(src) if src else f"scan {k + 1}"


def _own_fields(fields, s) -> dict:
    """The model fields of one scan before the fitted values: the shared fields, the
    scan's known ones, and the lipid-alone variant where the scan has no additive."""
    f = dict(fields)
    f.update(s.known)
    if s.alone:
        f["n0"] = 2
    return f


class _Scan:
    """One scan's data and its place in the global parameter set."""

    def __init__(self, k, data, units, known, baseline, sigma):
        self.k, self.data, self.units, self.known = k, data, units, known
        # The lipid alone in a series of n0 = 4 scans (conc = 0): that model has no
        # state without the second component, and its limit conc -> 0 is the n0 = 2
        # model with the same lipid parameters, which is what this scan is computed with.
        self.alone = False
        self.label = _label(data, k)
        self.source = data.attrs.get("source")
        self.T = check_T(data["T"].to_numpy(dtype=float), self.label)
        self.y = data["Cp"].to_numpy(dtype=float)
        if not np.all(np.isfinite(self.y)):
            raise ValueError(f"{self.label}: Cp has values that are not finite")
        self.edges = interval_edges(self.T)
        self.widths = np.diff(self.edges)
        self.base = JointBaseline(baseline, self.T, self.y) if baseline else None
        self.weight = None
        if sigma is not None:
            w = np.broadcast_to(np.asarray(sigma, dtype=float), self.T.shape)
            if not np.all(np.isfinite(w)) or np.any(w <= 0):
                raise ValueError(f"sigma: expected positive finite uncertainties for "
                                 f"{self.label}")
            self.weight = w


def _per_scan_values(per_scan, datasets, n, n0=None):
    """{field: [value per scan]} from the keyword and the files' header lines."""
    given: dict = {}
    for name, values in (per_scan or {}).items():
        if name not in MODEL_FIELDS or name == "T":
            raise ValueError(f"per_scan: {name!r} is not a model field")
        if isinstance(values, (str, bytes)) or not isinstance(values, Sequence | np.ndarray):
            raise ValueError(f"per_scan: {name}: expected one value for each of the {n} "
                             f"scans, got {values!r}")
        if len(values) != n:
            raise ValueError(f"per_scan: {name} has {len(values)} value(s) for {n} scans; "
                             f"give one for every scan")
        given[name] = [float(v) for v in values]
    headers = []
    for k, d in enumerate(datasets):
        src = d.attrs.get("source")
        headers.append(header_fields(src) if src and os.path.isfile(src) else {})
    for name in sorted({f for h in headers for f in h}):
        have = [k for k, h in enumerate(headers) if name in h]
        if name in given:
            for k in have:
                if headers[k][name] != given[name][k]:
                    raise ValueError(f"{name}: {given[name][k]:g} is given for "
                                     f"{_label(datasets[k], k)}, but its header says "
                                     f"{headers[k][name]:g}")
            continue
        if len(have) != n and name == "n0" and n0 is not None:
            # a scan whose file does not say otherwise is of the model's variant
            given[name] = [headers[k].get(name, float(n0)) for k in range(n)]
            continue
        if len(have) != n:
            lacking = [_label(datasets[k], k) for k in range(n) if k not in have]
            raise ValueError(f"{name}: the header gives it for {len(have)} of {n} scans, not "
                             f"for {', '.join(lacking)}; give it for every scan")
        given[name] = [headers[k][name] for k in range(n)]
    return given


def _shared_starts(starts, w0, bounds):
    """A grid of starting values of w, as the single fit makes it."""
    if isinstance(starts, Sequence) and not isinstance(starts, str):
        out = []
        for s in starts:
            out.append(dict(s) if isinstance(s, Mapping) else {"w": float(s)})
        if not out:
            raise ValueError("starts: expected at least one start")
        return out
    if isinstance(starts, bool) or not isinstance(starts, (int, np.integer)) or starts < 1:
        raise ValueError(f"starts: expected a number of grid points over w (at least 1) "
                         f"or a list of starts, got {starts!r}")
    return w_grid(int(starts), w0, bounds)


def starting_values(datasets: Sequence[pd.DataFrame], fit_baseline: str | None = None) -> dict:
    """Tm, dHcal and w from the scans, as the single fit takes them from one scan:
    ``{"shared": {...}, "per_scan": [{...} for each scan]}``; the shared values are the
    medians over the scans."""
    each = [guess(d, fit_baseline=fit_baseline) for d in datasets]
    shared = {n: float(np.median([g[n] for g in each])) for n in ("Tm", "dHcal", "w")}
    return {"shared": shared, "per_scan": each}


def _starts_from_scans(datasets, fields, scans, vary, kinds, engine, search) -> Any:
    """Shared starting values as the single fit takes them: each scan fitted on its own
    from its data (w, dHcal and Tm where shared, the infinite lattice), then the median
    over the scans and each scan's own values; 5 grid points over w where no scan could
    be fitted alone."""
    from .fit import fit

    own = [v for v in ("w", "dHcal", "Tm") if v in vary]
    if not own:
        return 5
    found = []
    for s, d, kind in zip(scans, datasets, kinds):
        f = _own_fields(fields, s)
        try:
            with _quiet_engine():
                r = fit(d, f, vary=own, fit_baseline=kind, starts="auto", domain=None,
                        engine=engine, search=search)
        except (ValueError, RuntimeError, ArithmeticError):
            continue
        found.append({v: float(r.value(v)) for v in own})
    if not found:
        return 5
    median = {v: float(np.median([x[v] for x in found])) for v in own}
    out = [median]
    for x in found:
        if all(not math.isclose(x[v], y[v], rel_tol=1e-6) for y in out for v in own[:1]):
            out.append(x)
    return out


def fit_global(datasets: Sequence[pd.DataFrame], model: Any,
               per_scan: Mapping | None = None,
               vary: Sequence[str] | str = ("w", "dHcal", "Tm"),
               per_scan_vary: Sequence[str] | str = (),
               bounds: Mapping | None = None, search: str = "equilibrium",
               starts: Any = "auto", engine: Callable | None = None,
               fit_baseline: str | Sequence | None = None, sigma: Any = None,
               epsfcn: float = 1e-10, threads: int | None = None,
               uncertainty: str = "covariance", **uncertainty_options: Any) -> "GlobalFitResult":
    """Fit the model to several DSC scans at once.

    ``datasets``: DataFrames as from :func:`chainmelt.dsc.read` (T in kelvin, Cp in k_B
    per chain, the units in ``attrs``), one per scan.  ``model``: a ``chainmelt.Model``
    (or a dict of fields) with the starting values of the shared parameters and the fixed
    fields.  ``per_scan``: ``{field: [one value per scan]}`` of fields known for each scan
    (e.g. ``{"conc": [0.02, 0.05, 0.1]}``); a field named in a comment line of every
    scan's file (``# conc = 0.05``) is taken from there.  ``vary``: the shared free
    parameters; ``per_scan_vary``: model fields fitted with a value of their own in each
    scan (named ``<field>_<k>``, k = 1, 2, ... in lmfit).  ``fit_baseline``: None,
    "linear" or "sigmoidal" for every scan, or a list with one entry per scan; each scan's
    baseline has its own coefficients.  ``sigma``: None (unweighted, the standard errors
    scaled by the reduced chi-square), one number or array for every scan, or a list with
    one per scan.  ``bounds``: ``{name: (lo, hi)}`` for shared parameters and per-scan
    fields (applied to each scan's copy).  ``starts``, ``search``, ``engine``, ``epsfcn``
    as in :func:`chainmelt.dsc.fit`.  ``threads``: scans evaluated at once within one
    evaluation of the model (default: one thread per scan, up to the number of cores; 1
    evaluates them one after another).  The engine releases the interpreter while it
    computes a curve, so the scans' curves are computed side by side; the results are
    the same to the last bit.
    ``uncertainty``: "covariance" (the default), "profile", "bootstrap" or "mcmc",
    computed by :mod:`chainmelt.dsc.uncertainty` with ``uncertainty_options`` and stored
    in ``result.uncertainty``.

    Refused: scans of different variants (an ``n0`` in ``per_scan`` or a header that
    differs from the model's), a per-scan field not given for every scan, and a shared
    parameter that is also per-scan.
    """
    import lmfit

    if isinstance(datasets, pd.DataFrame) or not isinstance(datasets, Sequence) \
            or not datasets:
        raise ValueError("datasets: expected a list of DataFrames, one per scan")
    for k, d in enumerate(datasets):
        if not isinstance(d, pd.DataFrame) or not {"T", "Cp"} <= set(d.columns):
            raise ValueError(f"datasets[{k}]: expected a DataFrame with columns 'T' and 'Cp'")
    n = len(datasets)
    fields = _fields_of(model)
    vary, per_vary = _names(vary), _names(per_scan_vary)
    n0 = fields.get("n0")
    known = _per_scan_values(per_scan, datasets, n, n0)
    if "n0" in known:
        variants = sorted({int(v) for v in known["n0"]} | ({int(n0)} if n0 is not None else set()))
        if len(variants) > 1:
            which = ", ".join(f"{_label(d, k)} n0 = {known['n0'][k]:g}"
                              for k, d in enumerate(datasets))
            raise ValueError(f"scans of different variants ({which}; the model has n0 = "
                             f"{n0}): a global fit shares one model")
        known.pop("n0")
    alone = set()
    if n0 == 4 and "conc" not in per_vary:
        concs = known.get("conc", [fields.get("conc", 0.0)] * n)
        for k, c in enumerate(concs):
            if float(c) == 0:
                alone.add(k)
            elif not 0 < float(c) < 1:
                raise ValueError(f"conc = {float(c):g} for {_label(datasets[k], k)}: the n0 = 4 "
                                 "model needs 0 <= conc < 1 (0: the lipid alone)")
        if len(alone) == n:
            raise ValueError("conc: every scan has conc = 0, the lipid alone; fit it with "
                             "n0 = 2")
    both = [v for v in vary if v in per_vary]
    if both:
        raise ValueError(f"vary: {both[0]} is both shared and per-scan (--per-scan-vary); "
                         f"name it once")
    both = [v for v in vary if v in known]
    if both:
        raise ValueError(f"vary: {both[0]} is shared, but a value per scan is given for it "
                         f"(per_scan or a header line); fit it per scan with per_scan_vary, "
                         f"or drop the per-scan values")
    for name in per_vary:
        if name in _NOT_FITTABLE or name not in MODEL_FIELDS:
            raise ValueError(f"per_scan_vary: {name!r} cannot be fitted")
    kinds = list(fit_baseline) if isinstance(fit_baseline, Sequence) and \
        not isinstance(fit_baseline, str) else [fit_baseline] * n
    if len(kinds) != n:
        raise ValueError(f"fit_baseline: {len(kinds)} entries for {n} scans")
    for kind in kinds:
        if kind is not None and kind not in BASELINES:
            raise ValueError(f"fit_baseline: expected None, 'linear' or 'sigmoidal', "
                             f"got {kind!r}")
    sigmas = list(sigma) if isinstance(sigma, (list, tuple)) else [sigma] * n
    if len(sigmas) != n:
        raise ValueError(f"sigma: {len(sigmas)} entries for {n} scans")
    scans = []
    for k, d in enumerate(datasets):
        units = units_of(d)
        scans.append(_Scan(k, d, units, {f: v[k] for f, v in known.items()}, kinds[k],
                           sigmas[k]))
        scans[-1].alone = k in alone
    weighted = [s.weight is not None for s in scans]
    if any(weighted) and not all(weighted):
        raise ValueError("sigma: give uncertainties for every scan or for none")
    probe = dict(fields)
    probe.update({f: v[0] for f, v in known.items()})
    ndata = sum(len(s.T) for s in scans)
    free = len(vary) + len(per_vary) * n + sum(len(s.base.names) if s.base else 0 for s in scans)
    _check_vary(list(vary) + list(per_vary), probe, (), ndata)
    if ndata <= free:
        raise ValueError(f"data: {ndata} points cannot determine {free} parameters")

    # The lmfit parameters: shared names as they are, per-scan ones with a suffix.
    Tlo, Thi = min(s.T[0] for s in scans), max(s.T[-1] for s in scans)
    user_bounds = dict(bounds or {})
    for name in user_bounds:
        if name not in vary and name not in per_vary:
            raise ValueError(f"bounds: {name!r} is not a varied parameter")

    def limits(name, T0, T1):
        lo, hi = -math.inf, math.inf
        if name == "Tm":
            lo, hi = T0, T1
        elif name == "dHcal":
            lo = 0.0
        if name in user_bounds:
            try:
                lo, hi = (float(v) for v in user_bounds[name])
            except (TypeError, ValueError):
                raise ValueError(f"bounds: {name}: expected (lo, hi), "
                                 f"got {user_bounds[name]!r}") from None
            if not lo < hi:
                raise ValueError(f"bounds: {name}: expected lo < hi, got ({lo:g}, {hi:g})")
        return lo, hi

    specs = []  # (lmfit name, field or baseline name, scan index or None, start, lo, hi)
    for name in vary:
        lo, hi = limits(name, Tlo, Thi)
        specs.append((name, name, None, float(fields[name]), lo, hi))
    for s in scans:
        for name in per_vary:
            start = s.known.get(name, fields.get(name))
            if start is None:
                raise ValueError(f"per_scan_vary: the model has no start value for {name!r}")
            lo, hi = limits(name, s.T[0], s.T[-1])
            specs.append((f"{name}_{s.k + 1}", name, s.k, float(start), lo, hi))
        if s.base:
            for name in s.base.names:
                specs.append((f"{name}_{s.k + 1}", name, s.k, float(s.base.start[name]),
                              -math.inf, math.inf))
    for pname, _, _, start, lo, hi in specs:
        if not lo <= start <= hi:
            raise ValueError(f"start value {pname} = {start:g} lies outside its bounds "
                             f"({lo:g}, {hi:g})")
    for name in per_vary:  # a per-scan start of its own is kept, not fitted from known
        for s in scans:
            s.known.pop(name, None)

    # One thread per curve: several of them run at once (the scans of an evaluation,
    # the replicates of a bootstrap).
    energy = engine if engine is not None else (
        lambda f, T: _equilibrium_energy(f, T, search, threads=1))
    if engine is not None and not callable(engine):
        raise ValueError("engine: expected a callable engine(fields, T) -> U")
    evaluator = _Evaluator(scans, fields, vary, per_vary, energy, threads)

    if isinstance(starts, str):
        if starts != "auto":
            raise ValueError(f"starts: expected 'auto', a number of grid points over w or a "
                             f"list of starts, got {starts!r}")
        starts = _starts_from_scans(datasets, fields, scans, vary, kinds, engine, search)
    tried, failures, best, best_min = [], [], None, None
    w_start = float(fields["w"]) if "w" in vary else None
    w_bounds = {"w": limits("w", Tlo, Thi)} if "w" in vary else {}
    for st in _shared_starts(starts, w_start, w_bounds):
        params = lmfit.Parameters()
        for pname, _, _, start, lo, hi in specs:
            params.add(pname, value=float(st.get(pname, start)), min=lo, max=hi)
        minimizer = lmfit.Minimizer(evaluator.residual, params, nan_policy="raise",
                                    epsfcn=epsfcn)
        begun = {p[0]: params[p[0]].value for p in specs if p[2] is None}
        try:
            with _quiet_engine():
                out = minimizer.minimize(method="leastsq")
        except RuntimeError as e:
            # The model has no equilibrium curve somewhere on this start's path: the
            # start is recorded as failed, the others go on.
            tried.append({"start": begun, "chisqr": math.inf, "success": False,
                          "message": str(e)})
            failures.append(e)
            continue
        try:  # the minimiser ended where the model has a curve
            evaluator.curves(out.params.valuesdict())
        except RuntimeError as e:
            tried.append({"start": begun, "chisqr": math.inf, "success": False,
                          "message": str(e)})
            failures.append(e)
            continue
        tried.append({"start": begun, "chisqr": float(out.chisqr),
                      "success": bool(out.success)})
        if best is None or out.chisqr < best.chisqr:
            best, best_min = out, minimizer
    if best is None:
        raise RuntimeError(f"every start failed; the first: {failures[0]}")
    result = GlobalFitResult(scans=scans, evaluator=evaluator, out=best, minimizer=best_min,
                             vary=vary, per_vary=per_vary, known=known, fields=fields,
                             model=model, starts=tried,
                             search=search if engine is None else "custom",
                             weighted=all(weighted),
                             model_params=[p[0] for p in specs if p[1] in MODEL_FIELDS])
    if uncertainty not in (None, "covariance") or uncertainty_options:
        from . import uncertainty as unc
        unc.estimate(result, uncertainty or "covariance", **uncertainty_options)
    return result


class _Evaluator:
    """The model plus baseline of every scan for a set of parameter values; keeps no
    state between calls, so that copies may run on several threads."""

    def __init__(self, scans, fields, vary, per_vary, energy, threads):
        self.scans, self.fields, self.vary, self.per_vary = scans, fields, vary, per_vary
        if threads is None:
            threads = min(len(scans), os.cpu_count() or 1)
        if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)):
            raise ValueError(f"threads: expected a whole number, got {threads!r}")
        self.energy, self.threads = energy, int(threads)
        if self.threads < 1:
            raise ValueError(f"threads: expected at least 1, got {threads}")

    def scan_fields(self, values: Mapping, s: _Scan) -> dict:
        f = _own_fields(self.fields, s)
        f.update({n: float(values[n]) for n in self.vary})
        f.update({n: float(values[f"{n}_{s.k + 1}"]) for n in self.per_vary})
        return f

    def one(self, values: Mapping, s: _Scan):
        f = self.scan_fields(values, s)
        U = np.asarray(self.energy(f, s.edges), dtype=float)
        if U.shape != s.edges.shape or not np.all(np.isfinite(U)):
            shown = ", ".join(f"{n} = {f[n]:g}" for n in list(self.vary) + list(self.per_vary))
            raise RuntimeError(f"the engine returned no finite energy at every temperature "
                               f"of {s.label} for {shown}")
        cp = np.diff(U) / s.widths
        if s.base is None:
            return cp, np.zeros_like(cp)
        span = U[-1] - U[0]
        prog = (0.5 * (U[1:] + U[:-1]) - U[0]) / span if span != 0 else np.zeros_like(cp)
        bv = {n: float(values[f"{n}_{s.k + 1}"]) for n in s.base.names}
        return cp, s.base(bv, s.T, prog)

    def curves(self, values: Mapping) -> list:
        if self.threads > 1 and len(self.scans) > 1:
            with concurrent.futures.ThreadPoolExecutor(min(self.threads,
                                                           len(self.scans))) as pool:
                return list(pool.map(lambda s: self.one(values, s), self.scans))
        return [self.one(values, s) for s in self.scans]

    def residual(self, params) -> np.ndarray:
        values = params.valuesdict()
        try:
            got = self.curves(values)
        except RuntimeError:
            # No equilibrium curve at these values (a wild trial step of the minimiser):
            # a residual far above any the data can give, so the step is refused.
            return np.concatenate([np.full(len(s.y), PENALTY * (1 + float(np.max(np.abs(
                s.y if s.weight is None else s.y / s.weight))))) for s in self.scans])
        parts = []
        for s, (cp, b) in zip(self.scans, got):
            r = cp + b - s.y
            parts.append(r if s.weight is None else r / s.weight)
        return np.concatenate(parts)


class ScanFit:
    """One scan of a global fit: ``label``, ``source``, ``units``, ``fields`` (the model
    fields of this scan, fitted values included), ``curve`` (DataFrame in model units:
    ``T``, ``Cp``, ``fit``, ``excess``, ``baseline``, ``residual``, ``data_excess``),
    ``transition`` ({"data": ..., "model": ...}, as in a single fit), ``chisqr``,
    ``ndata``, ``rms`` (of the residuals, k_B per chain) and ``baseline_kind``."""

    def __init__(self, s: _Scan, fields: dict, cp: np.ndarray, b: np.ndarray):
        self.label, self.source, self.units, self.fields = s.label, s.source, s.units, fields
        self.baseline_kind = s.base.kind if s.base else None
        self.curve = pd.DataFrame({"T": s.T, "Cp": s.y, "fit": cp + b, "excess": cp,
                                   "baseline": b, "residual": s.y - cp - b,
                                   "data_excess": s.y - b})
        self.curve.attrs.update(s.units.to_attrs())
        r = self.curve["residual"].to_numpy()
        self.ndata = len(r)
        self.chisqr = float(np.sum((r if s.weight is None else r / s.weight) ** 2))
        self.rms = float(np.sqrt(np.mean(r ** 2)))
        c = s.units.chains_per_lipid
        self.transition = {"data": _transition(s.T, s.y - b, c),
                           "model": _transition(s.T, cp, c)}


class GlobalFitResult(LmfitStatistics):
    """The best global fit of :func:`fit_global`.

    ``params``: the shared parameters ({name: {"value", "stderr", "min", "max"}});
    ``per_scan``: {name: [{"value", "stderr", ...} for each scan]} of the parameters
    fitted per scan and of the baselines' coefficients; ``known``: {field: [value per
    scan]} fixed per scan; ``scans``: a :class:`ScanFit` per scan; ``fields``: the shared
    model fields with the fitted values; ``correlation`` (DataFrame over every lmfit
    parameter); ``chisqr``, ``redchi``, ``ndata``, ``nfree``, ``nfev``, ``success``,
    ``message``, ``starts``; ``lmfit`` (the best start's ``MinimizerResult``) and
    ``minimizer``; ``uncertainty`` (None, or what :mod:`chainmelt.dsc.uncertainty`
    found)."""

    kind = "global"

    def __init__(self, *, scans, evaluator, out, minimizer, vary, per_vary, known, fields,
                 model, starts, search, weighted, model_params):
        self.lmfit, self.minimizer, self.evaluator = out, minimizer, evaluator
        self.vary, self.per_scan_vary, self.known = list(vary), list(per_vary), known
        self.starts, self.search, self.weighted = starts, search, weighted
        self.model_params = model_params
        self.uncertainty: Any = None
        values = {n: float(out.params[n].value) for n in out.params}
        self.values = values

        def entry(name):
            p = out.params[name]
            err = p.stderr if p.stderr is not None else math.nan
            return {"value": float(p.value), "stderr": float(err), "min": float(p.min),
                    "max": float(p.max)}

        self.params = {n: entry(n) for n in vary}
        self.per_scan: dict = {}
        for name in per_vary:
            self.per_scan[name] = [entry(f"{name}_{s.k + 1}") for s in scans]
        for s in scans:
            for name in (s.base.names if s.base else ()):
                self.per_scan.setdefault(name, [None] * len(scans))[s.k] = \
                    entry(f"{name}_{s.k + 1}")
        self.fields = {**fields, **{n: values[n] for n in vary}}
        if hasattr(model, "replace") and not isinstance(model, Mapping):
            try:
                self.model = model.replace(**{n: values[n] for n in vary})
            except Exception:  # a model that cannot take the values keeps its own
                self.model = model
        else:
            self.model = self.fields
        self._take_statistics(out)
        curves = evaluator.curves(values)
        self.scans = [ScanFit(s, evaluator.scan_fields(values, s), cp, b)
                      for s, (cp, b) in zip(scans, curves)]

    # -- access ------------------------------------------------------------------------

    def value(self, name: str, scan: int | None = None) -> float:
        """A fitted value: shared by name, per scan by name and 0-based scan index."""
        if scan is None:
            return self.params[name]["value"]
        return self.per_scan[name][scan]["value"]

    def stderr(self, name: str, scan: int | None = None) -> float:
        if scan is None:
            return self.params[name]["stderr"]
        return self.per_scan[name][scan]["stderr"]

    def excess_curves(self, values: Mapping) -> list:
        """For parameter values (lmfit names), each scan's (T, model excess Cp,
        chains per lipid, fields): what the derived figures are measured on."""
        out = []
        for s, (cp, _) in zip(self.evaluator.scans, self.evaluator.curves(values)):
            out.append((s.T, cp, s.units.chains_per_lipid,
                        self.evaluator.scan_fields(values, s)))
        return out

    def residual_groups(self) -> list:
        """Index arrays of each scan's residuals within the joint residual vector."""
        out, at = [], 0
        for s in self.scans:
            out.append(np.arange(at, at + s.ndata))
            at += s.ndata
        return out

    def __repr__(self):
        vals = ", ".join(f"{n}={p['value']:.6g}±{p['stderr']:.2g}"
                         for n, p in self.params.items())
        return f"<GlobalFitResult of {len(self.scans)} scans: {vals}, redchi={self.redchi:.4g}>"

    def __str__(self):
        return self.report()

    # -- report ------------------------------------------------------------------------

    def report(self) -> str:
        u0 = self.scans[0].units
        lines = [f"Global DSC fit of {len(self.scans)} scans, {self.ndata} points"]
        n0 = self.fields.get("n0")
        lines.append(f"Model{'' if n0 is None else f' n0 = {n0:g}'}, {self.search} curve; one "
                     "site is one chain; the model heat capacity is the mean over each data "
                     "interval")
        ok = "" if self.success else f" (NOT CONVERGED: {self.message})"
        lines.append(f"Best of {len(self.starts)} start(s); reduced chi-square "
                     f"{self.redchi:.4g} with {self.nfree} degrees of freedom"
                     f"{'' if self.weighted else ' (unweighted, in k_B^2 per chain)'}{ok}")
        if not self.errorbars:
            lines.append("Standard errors unavailable: the covariance could not be estimated "
                         "(a parameter has no effect on the curves or sits at a bound)")
        lines.append("")
        lines.append("Shared parameters")
        lines.append(f"{'Parameter':<10}{'Value':>14}{'Std. error':>12}   {'Unit':<20}"
                     "In calorimetry units")
        for n, p in self.params.items():
            lines.append(param_row(n, p, u0))
        fixed = {k: v for k, v in self.fields.items()
                 if k not in self.vary and k not in self.known and k not in self.per_scan
                 and not (isinstance(v, (int, float)) and v == 0 and k not in ("dH",))}
        if fixed:
            lines.extend(textwrap.wrap("Fixed: " + ", ".join(f"{k} = {v:g}" for k, v in
                                                             fixed.items()), 88,
                                       subsequent_indent="  "))
        lines.append("")
        lines.append("Per scan")
        for k, s in enumerate(self.scans):
            alone = " (conc = 0: the lipid alone, computed with n0 = 2)" \
                if s.fields.get("n0") == 2 and n0 == 4 else ""
            lines.append(f"  scan {k + 1}: {s.label}{alone}")
        lines.append(f"{'':<22}" + "".join(f"{'scan ' + str(k + 1):>15}"
                                           for k in range(len(self.scans))))
        for name, vals in self.known.items():
            lines.append(f"{name + ' (given)':<22}" + "".join(f"{v:>15.6g}" for v in vals))
        for name, entries in self.per_scan.items():
            cells = []
            for e in entries:
                if e is None:
                    cells.append(f"{'-':>15}")
                else:
                    err = e["stderr"]
                    txt = f"{_fmt(e['value'], err)}±{_fmt(err, err)}" if math.isfinite(err) \
                        else _fmt(e["value"])
                    cells.append(f"{txt:>15}")
            lines.append(f"{name:<22}" + "".join(cells))
        lines.append(f"{'points':<22}" + "".join(f"{s.ndata:>15d}" for s in self.scans))
        lines.append(f"{'chi-square':<22}" + "".join(f"{s.chisqr:>15.4g}" for s in self.scans))
        lines.append(f"{'residual rms':<22}" + "".join(
            f"{float(s.units.Cp_from_model(s.rms)):>15.3g}" for s in self.scans))
        lines.append(f"{'  unit':<22}" + "".join(f"{s.units.Cp_unit:>15}" for s in self.scans))
        rows = [("H data", "data", "H", lambda u, x: float(u.enthalpy_from_model(x)), 2),
                ("H model", "model", "H", lambda u, x: float(u.enthalpy_from_model(x)), 2),
                ("T peak data", "data", "Tm", lambda u, x: x - u.T_offset, 2),
                ("T peak model", "model", "Tm", lambda u, x: x - u.T_offset, 2),
                ("FWHM data (K)", "data", "fwhm", lambda u, x: x, 2),
                ("FWHM model (K)", "model", "fwhm", lambda u, x: x, 2),
                ("CU data (lipids)", "data", "cu_lipids", lambda u, x: x, 1),
                ("CU model (lipids)", "model", "cu_lipids", lambda u, x: x, 1)]
        for label, side, key, conv, dec in rows:
            cells = []
            for s in self.scans:
                x = s.transition[side][key]
                cells.append(f"{conv(s.units, x):>15.{dec}f}" if math.isfinite(x)
                             else f"{'-':>15}")
            lines.append(f"{label:<22}" + "".join(cells))
        lines.append("  (H per mole of lipid in each scan's energy unit; T peak in its "
                     "temperature unit)")
        lines.extend(correlation_lines(
            self.correlation, [n for n in self.correlation.columns if n in self.params],
            "Correlations of the shared parameters"))
        if self.uncertainty is not None:
            lines.append("")
            lines.append(self.uncertainty.report().rstrip("\n"))
        return "\n".join(lines) + "\n"

    def to_dict(self) -> dict:
        """Everything the report shows, as plain data for JSON (NaN becomes None)."""
        scans = []
        for s in self.scans:
            u = s.units
            molar = {}
            for side, t in s.transition.items():
                molar[side] = {"H_per_lipid": float(u.enthalpy_from_model(t["H"])),
                               "Tm": t["Tm"] - u.T_offset, "fwhm": t["fwhm"],
                               "Cp_max": float(u.Cp_from_model(t["Cp_max"])),
                               "vH": float(u.molar_energy(t["vH"])),
                               "cu_lipids": t["cu_lipids"], "cu_chains": t["cu_chains"]}
            scans.append({"label": s.label, "source": s.source,
                          "units": {"T_unit": u.T_unit, "Cp_unit": u.Cp_unit,
                                    "energy_unit": u.energy_unit,
                                    "chains_per_lipid": u.chains_per_lipid},
                          "model": {k: (v if isinstance(v, str) else float(v))
                                    for k, v in s.fields.items()},
                          "baseline": s.baseline_kind, "ndata": s.ndata, "chisqr": s.chisqr,
                          "rms_model_units": s.rms, "transition_model_units": s.transition,
                          "transition": molar})
        return _json_safe({
            "kind": "global", "search": self.search, "vary": self.vary,
            "per_scan_vary": self.per_scan_vary, "parameters": self.params,
            "per_scan": self.per_scan, "known": self.known,
            "model": {k: (v if isinstance(v, str) else float(v))
                      for k, v in self.fields.items()},
            "chisqr": self.chisqr, "redchi": self.redchi, "ndata": self.ndata,
            "nfree": self.nfree, "nfev": self.nfev, "success": self.success,
            "message": self.message, "weighted": self.weighted,
            "correlation": {a: {b: self.correlation.loc[a, b]
                                for b in self.correlation.columns}
                            for a in self.correlation.index},
            "scans": scans, "starts": self.starts,
            "uncertainty": (self.uncertainty.to_dict() if self.uncertainty is not None
                            else {"method": "covariance"}),
        })
