"""Uncertainties of a DSC fit beyond the covariance matrix.

Every function takes the result of a fit, a single one (:func:`chainmelt.dsc.fit`) or a
global one (:func:`chainmelt.dsc.fit_global`), and returns an :class:`Uncertainty`,
also stored as ``result.uncertainty``:

- :func:`covariance`: value ± t(level) · standard error from the fit's covariance matrix
  (the default: free, but symmetric and local);
- :func:`profile`: profile-likelihood intervals (``lmfit.conf_interval``, the F-test):
  each parameter stepped away from its best value with the others refitted;
- :func:`bootstrap`: a residual bootstrap: the best fit plus the fit's residuals drawn
  with replacement (within each scan), refitted ``n`` times on threads or a Dask client;
- :func:`mcmc`: Bayesian sampling with emcee through lmfit, uniform priors within each
  parameter's bounds, with its diagnostics (acceptance fraction, autocorrelation time, a
  warning when the chain is too short).

The bootstrap and the sampling give intervals for the derived figures too: the peak
temperature, the half-width, the cooperative unit and the latent share of each scan's
model curve, measured on the model curve of every draw.

The noise: a weighted fit (``sigma`` given) is taken at its word.  For an unweighted fit
the residuals' own scale stands for the noise: the covariance is scaled by the reduced
chi-square (as lmfit does), the bootstrap resamples the residuals, and the sampling
divides each scan's residuals by that scan's residual standard deviation at the best fit.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import io
import math
import os
import threading
import time
import warnings
from typing import Any

import numpy as np
import pandas as pd

from .._fields import MODEL_FIELDS
from ..peak import analyse, interval_edges
from .global_fit import _json_safe, _quiet_engine

METHODS = ("covariance", "profile", "bootstrap", "mcmc")
#: The derived figures, their labels and units.
DERIVED = {"T_peak": ("T at the peak", "K"), "fwhm": ("Half-width (FWHM)", "K"),
           "cu_lipids": ("Cooperative unit", "lipids"),
           "latent_share": ("Latent share", "of the enthalpy")}


class Uncertainty:
    """What an uncertainty method found.

    ``method``; ``level`` (0.95); ``intervals`` ({parameter: {"value", "lower",
    "upper", "sd"}}: the fitted value, the interval's ends and, for the draws, their
    standard deviation); ``derived`` ([{figure: {"value", "lower", "upper"}} per scan],
    from the draws; empty for the covariance and the profile); ``diagnostics`` (the
    method's own figures: replicates, acceptance fraction, autocorrelation times ...);
    ``warnings`` (texts); ``draws`` (DataFrame of the parameter draws, for the bootstrap
    and the sampling); ``seconds``."""

    def __init__(self, method: str, level: float, intervals: dict, *, derived=None,
                 diagnostics=None, warnings_=None, draws=None, labels=None, seconds=0.0,
                 best=None):
        self.method, self.level, self.intervals = method, level, intervals
        self.derived = derived or []
        self.diagnostics = diagnostics or {}
        self.warnings = list(warnings_ or [])
        self.draws = draws
        self.labels = labels or []
        self.seconds = seconds
        self.best = best or {}

    def interval(self, name: str) -> tuple:
        i = self.intervals[name]
        return i["lower"], i["upper"]

    def __repr__(self):
        return (f"<Uncertainty {self.method}, {100 * self.level:g} %: "
                + ", ".join(f"{n} [{i['lower']:.6g}, {i['upper']:.6g}]"
                            for n, i in self.intervals.items()) + ">")

    _TITLES = {"covariance": "covariance matrix (value ± t · standard error)",
               "profile": "profile likelihood (lmfit confidence intervals, F-test)",
               "bootstrap": "residual bootstrap (percentiles of the refitted values)",
               "mcmc": "Bayesian sampling (emcee; uniform priors within the bounds; "
                       "percentiles of the posterior)"}

    def report(self) -> str:
        lines = [f"Uncertainty: {self._TITLES.get(self.method, self.method)}, "
                 f"{100 * self.level:g} % intervals"]
        d = self.diagnostics
        if self.method == "bootstrap":
            lines.append(f"  {d.get('converged', 0)} of {d.get('replicates', 0)} replicates "
                         f"refitted ({d.get('failed', 0)} failed), {self.seconds:.1f} s "
                         f"on {d.get('where', '?')}")
        elif self.method == "mcmc":
            tau = d.get("autocorrelation_time", {})
            tmax = max((t for t in tau.values() if math.isfinite(t)), default=math.nan)
            lines.append(f"  {d.get('walkers')} walkers x {d.get('steps')} steps, "
                         f"{d.get('burn')} burned; acceptance fraction "
                         f"{d.get('acceptance_fraction', math.nan):.3f}; longest "
                         f"autocorrelation time {tmax:.1f} steps; {self.seconds:.1f} s")
        elif self.method == "profile":
            lines.append(f"  {self.seconds:.1f} s")
        lines.append(f"{'Parameter':<12}{'Value':>14}{'Lower':>14}{'Upper':>14}")
        for n, i in self.intervals.items():
            lines.append(f"{n:<12}{_g(i['value']):>14}{_g(i['lower']):>14}"
                         f"{_g(i['upper']):>14}")
        if self.derived:
            lines.append(f"Derived figures of the model curve ({100 * self.level:g} % of "
                         "the draws; temperatures in K)")
            for k, figs in enumerate(self.derived):
                label = self.labels[k] if k < len(self.labels) else f"scan {k + 1}"
                if len(self.derived) > 1:
                    lines.append(f"  {label}")
                for key, f in figs.items():
                    text, unit = DERIVED[key]
                    lines.append(f"  {text:<20}{_g(f['value']):>12}  [{_g(f['lower'])}, "
                                 f"{_g(f['upper'])}] {unit}")
        for w in self.warnings:
            lines.append(f"WARNING: {w}")
        return "\n".join(lines) + "\n"

    def to_dict(self) -> dict:
        return _json_safe({"method": self.method, "level": self.level,
                           "intervals": self.intervals, "derived": self.derived,
                           "derived_labels": self.labels, "diagnostics": self.diagnostics,
                           "warnings": self.warnings, "seconds": self.seconds})


def _g(v):
    return "-" if v is None or not math.isfinite(v) else f"{v:.6g}"


# --- what the methods need of a result ---------------------------------------------------


def _check(result):
    if getattr(result, "minimizer", None) is None or getattr(result, "lmfit", None) is None:
        raise ValueError("result: expected the result of chainmelt.dsc.fit or fit_global "
                         "(with its lmfit minimizer)")


def _model_names(result) -> list:
    """The parameters that get intervals: the model's fields and the domain's size
    when it was varied (not the baseline's)."""
    names = getattr(result, "model_params", None)
    if names is not None:
        return list(names)
    return [n for n in result.vary if n in MODEL_FIELDS or n == "domain"]


def _groups(result) -> list:
    if hasattr(result, "residual_groups"):
        return result.residual_groups()
    return [np.arange(int(result.ndata))]


def _labels(result) -> list:
    if hasattr(result, "scans"):
        return [s.label for s in result.scans]
    src = getattr(result, "source", None)
    return [os.path.basename(src) if src else "scan"]


def _objective(result):
    m = result.minimizer
    fcn, args, kws = m.userfcn, tuple(m.userargs or ()), dict(m.userkws or {})
    return lambda p: np.asarray(fcn(p, *args, **kws), dtype=float).ravel()


def _private(obj):
    """A copy of a function with its own closure and state (a fit's objective may cache
    what it evaluated last), for one thread; the object itself when it cannot be
    copied."""
    try:
        import cloudpickle  # type: ignore[import]
        return cloudpickle.loads(cloudpickle.dumps(obj))
    except Exception:
        return None


def _domain_sites(result) -> float:
    """The size in sites of the finite domain a single fit's model has (fitted or
    fixed), inf for the infinite lattice."""
    dom = getattr(result, "domain", None) or {}
    if dom.get("chosen") != "domain":
        return math.inf
    if "domain" in result.lmfit.params:
        return float(result.lmfit.params["domain"].value)
    sites = dom.get("sites")
    return float(sites) if isinstance(sites, (int, float)) else math.inf


def _curves_of(result, search):
    """A function values -> [(T, model excess Cp, chains per lipid, fields, rounded)]
    per scan; ``rounded``: the curve is a finite domain's, whose peak has a width even
    where the infinite lattice jumps."""
    if hasattr(result, "excess_curves"):
        return result.excess_curves
    T = result.curve["T"].to_numpy(dtype=float)
    base = dict(result.fields)
    sites0 = _domain_sites(result)
    minima = None
    if math.isfinite(sites0):
        from .domain import compiled_branches
        minima = compiled_branches()
        if minima is None:
            raise RuntimeError("the domain's curve needs the engine's two minima")

    def curves(values):
        from .fit import model_curve
        f = dict(base)
        f.update({n: float(v) for n, v in values.items() if n in MODEL_FIELDS})
        if minima is None:
            cp = model_curve(f, T, search=search)["Cp"].to_numpy(dtype=float)
            return [(T, cp, result.units.chains_per_lipid, f, False)]
        from .domain import domain_energy
        edges = interval_edges(T)
        sites = float(values.get("domain", sites0))
        U = domain_energy(minima(f, edges), edges, sites)
        return [(T, np.diff(U) / np.diff(edges), result.units.chains_per_lipid, f, True)]
    return curves


def _figures(T, cp, chains, fields, search, rounded=False):
    """The derived figures of one model curve; ``rounded``: a finite domain's curve,
    whose peak, width and cooperative unit are those of its rounded jump."""
    p = analyse(T, cp, chains)
    out = {"T_peak": p.T_peak, "fwhm": p.fwhm, "cu_lipids": p.cooperative_unit_lipids,
           "latent_share": math.nan}
    try:
        from ..runs import Model, heat
        edges = interval_edges(T)
        table = heat(Model(**fields), T=edges, search=search, threads=1)
        U = table["U"].to_numpy(dtype=float)
        if "T_jump" in table and "dU" in table and len(U) == len(edges):
            jump = np.nan_to_num(table["T_jump"].to_numpy(dtype=float)) != 0
            latent = float(np.sum(table["dU"].to_numpy(dtype=float)[jump]))
            span = U[-1] - U[0]
            out["latent_share"] = latent / span if span else math.nan
            if latent > 0 and not rounded:
                # a jump has no width: its two-state figures are not finite
                T_jump = table["T_jump"].to_numpy(dtype=float)[jump]
                out["T_peak"] = float(T_jump[np.argmax(table["dU"].to_numpy()[jump])])
                out["fwhm"] = out["cu_lipids"] = math.nan
    except (ValueError, RuntimeError):
        pass
    return out


def _derived(result, rows: list, level: float, threads: int = 1) -> tuple:
    """Intervals of the derived figures over parameter draws ``rows`` (dicts)."""
    search = getattr(result, "search", "equilibrium")
    if search == "custom" or not rows:
        return [], ["derived figures need the compiled engine (the fit used its own)"] \
            if search == "custom" else []
    try:
        curves = _curves_of(result, search)
    except RuntimeError as e:
        return [], [f"the derived figures could not be measured: {e}"]
    best = {n: float(result.lmfit.params[n].value) for n in result.lmfit.params}

    def one(values):
        v = dict(best)
        v.update(values)
        try:
            return [_figures(T, cp, c, f, search, *more) for T, cp, c, f, *more in curves(v)]
        except (ValueError, RuntimeError):
            return None

    with _quiet_engine():
        if threads > 1:
            with concurrent.futures.ThreadPoolExecutor(threads) as pool:
                got = list(pool.map(one, rows))
        else:
            got = [one(r) for r in rows]
        at_best = one({})
    got = [g for g in got if g is not None]
    if not got or at_best is None:
        return [], ["the derived figures could not be measured on the draws"]
    lo, hi = 50 * (1 - level), 50 * (1 + level)
    out = []
    for k in range(len(at_best)):
        figs = {}
        for key in DERIVED:
            x = np.array([g[k][key] for g in got], dtype=float)
            x = x[np.isfinite(x)]
            if x.size < max(10, len(got) // 2):
                figs[key] = {"value": at_best[k][key], "lower": math.nan, "upper": math.nan}
            else:
                figs[key] = {"value": at_best[k][key], "lower": float(np.percentile(x, lo)),
                             "upper": float(np.percentile(x, hi))}
        out.append(figs)
    return out, []


def _store(result, u):
    result.uncertainty = u
    return u


def _check_level(level):
    if not 0 < level < 1:
        raise ValueError(f"level: expected a probability between 0 and 1, got {level!r}")


# --- the methods ---------------------------------------------------------------------------


def covariance(result, level: float = 0.95) -> Uncertainty:
    """Intervals value ± t · standard error, t the Student quantile for the fit's degrees
    of freedom (NaN where the covariance could not be estimated)."""
    from scipy import stats
    _check(result)
    _check_level(level)
    t = float(stats.t.ppf(0.5 + level / 2, max(int(result.lmfit.nfree), 1)))
    out = {}
    warn = []
    for n in _model_names(result):
        p = result.lmfit.params[n]
        e = p.stderr if p.stderr is not None else math.nan
        out[n] = {"value": float(p.value), "lower": float(p.value - t * e),
                  "upper": float(p.value + t * e), "sd": float(e)}
        if not math.isfinite(e):
            warn.append(f"{n}: no standard error (the covariance could not be estimated)")
    return _store(result, Uncertainty("covariance", level, out, warnings_=warn,
                                      labels=_labels(result)))


def profile(result, level: float = 0.95, names: Any = None, maxiter: int = 200) -> Uncertainty:
    """Profile-likelihood intervals of the model parameters (or ``names``) by
    ``lmfit.conf_interval`` (an F-test on the chi-square as each parameter is stepped from
    its best value and the others are refitted).  An end that the profile does not reach
    within the parameter's bounds is infinite, and said."""
    import lmfit
    _check(result)
    _check_level(level)
    names = _model_names(result) if names is None else list(names)
    t0 = time.perf_counter()
    out, warn = {}, []
    if not result.lmfit.errorbars:
        raise ValueError("profile: the fit has no standard errors (its covariance could not "
                         "be estimated), which the profile starts from")
    for n in names:
        v = float(result.lmfit.params[n].value)
        entry = {"value": v, "lower": math.nan, "upper": math.nan,
                 "sd": float(result.lmfit.params[n].stderr or math.nan)}
        try:
            with warnings.catch_warnings(record=True) as caught, _quiet_engine():
                warnings.simplefilter("always")
                ci = lmfit.conf_interval(result.minimizer, result.lmfit, p_names=[n],
                                         sigmas=[level], maxiter=maxiter)
            rows = ci[n]
            entry["lower"], entry["upper"] = float(rows[0][1]), float(rows[-1][1])
            for c in caught:
                warn.append(f"{n}: {c.message}")
        except Exception as e:  # noqa: BLE001 - lmfit raises several kinds here
            warn.append(f"{n}: the profile failed: {e}")
        for side in ("lower", "upper"):
            if not math.isfinite(entry[side]) and not any(w.startswith(f"{n}: the profile")
                                                          for w in warn):
                warn.append(f"{n}: the profile does not reach the {side} end of the "
                            f"{100 * level:g} % interval within the bounds")
        out[n] = entry
    return _store(result, Uncertainty("profile", level, out, warnings_=warn,
                                      labels=_labels(result),
                                      seconds=time.perf_counter() - t0))


def _replicate(seed, fcn, params, r0, groups, scale, kws):
    """One bootstrap replicate: the best fit plus resampled residuals, refitted from the
    best values.  Returns ({name: value}, success) or (None, reason)."""
    import lmfit
    rng = np.random.default_rng(seed)
    shift = np.array(r0, copy=True)
    for g in groups:
        e = r0[g] - np.mean(r0[g])
        shift[g] = r0[g] - scale * rng.choice(e, size=len(g), replace=True)
    # The replicate's data are y* = fit + e*: its residual r(p) - (y* - y)/sigma is the
    # original objective plus the fixed vector r0 - e*.
    mini = lmfit.Minimizer(lambda p: fcn(p) + shift, params.copy(), nan_policy="raise",
                           **kws)
    try:
        with _quiet_engine():
            out = mini.minimize(method="leastsq")
    except (RuntimeError, ValueError, ArithmeticError) as e:
        return None, str(e)
    return {n: float(out.params[n].value) for n in out.var_names}, bool(out.success)


def _chunk(seeds, fcn, params, r0, groups, scale, kws):
    return [_replicate(s, fcn, params, r0, groups, scale, kws) for s in seeds]


def bootstrap(result, n: int = 200, client: Any = None, threads: int | None = None,
              seed: int = 0, level: float = 0.95, derived: bool = True) -> Uncertainty:
    """Residual bootstrap: ``n`` replicates of the best fit plus the fit's residuals
    drawn with replacement (within each scan, centred and scaled by sqrt(N / (N - p)) for
    the fitted parameters), each refitted from the best values; the intervals are the
    percentiles of the refitted values.  The replicates run on ``threads`` threads (the
    engine releases the interpreter while it computes; default: every core) or, with a
    Dask ``client``, on its workers.  ``seed``: the replicates' random draws (the same
    seed gives the same intervals on any number of threads or workers)."""
    _check(result)
    _check_level(level)
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 10:
        raise ValueError(f"n: expected at least 10 replicates, got {n!r}")
    threads = os.cpu_count() or 1 if threads is None else int(threads)
    if threads < 1:
        raise ValueError(f"threads: expected at least 1, got {threads}")
    t0 = time.perf_counter()
    fcn = _objective(result)
    params = result.lmfit.params.copy()
    with _quiet_engine():
        r0 = fcn(params)
    groups = _groups(result)
    N, p = r0.size, int(result.lmfit.nvarys)
    scale = math.sqrt(N / (N - p)) if N > p else 1.0
    kws = dict(getattr(result.minimizer, "kws", {}) or {})
    seeds = np.random.SeedSequence(seed).spawn(int(n))
    if client is not None:
        nchunks = max(1, min(len(seeds), 4 * len(client.scheduler_info().get("workers", {})
                                                 or [0])))
        chunks = [seeds[i::nchunks] for i in range(nchunks)]
        futures = client.map(_chunk, chunks, fcn=fcn, params=params, r0=r0, groups=groups,
                             scale=scale, kws=kws, pure=False)
        parts = client.gather(futures)
        got: list = [None] * len(seeds)
        for i, part in enumerate(parts):
            got[i::nchunks] = part
        where = f"a Dask client ({len(client.scheduler_info().get('workers', {}))} workers)"
    elif threads > 1:
        local = threading.local()

        def run(s):
            if not hasattr(local, "fcn"):
                local.fcn = _private(fcn) or fcn
            return _replicate(s, local.fcn, params, r0, groups, scale, kws)
        with concurrent.futures.ThreadPoolExecutor(threads) as pool:
            got = list(pool.map(run, seeds))
        where = f"{threads} threads"
    else:
        got = [_replicate(s, fcn, params, r0, groups, scale, kws) for s in seeds]
        where = "1 thread"
    rows = [g[0] for g in got if g is not None and g[0] is not None]
    failed = len(got) - len(rows)
    unconverged = sum(1 for g in got if g is not None and g[0] is not None and not g[1])
    warn = []
    if len(rows) < 10:
        raise RuntimeError(f"bootstrap: only {len(rows)} of {n} replicates could be refitted")
    if failed:
        warn.append(f"{failed} of {n} replicates could not be refitted and are left out")
    if unconverged:
        warn.append(f"{unconverged} replicate fit(s) ended without convergence")
    draws = pd.DataFrame(rows)
    out = _intervals(result, draws, level)
    der, w2 = (_derived(result, rows, level, threads if client is None else 1)
               if derived else ([], []))
    return _store(result, Uncertainty(
        "bootstrap", level, out, derived=der, warnings_=warn + w2, draws=draws,
        labels=_labels(result), seconds=time.perf_counter() - t0,
        diagnostics={"replicates": int(n), "converged": len(rows) - unconverged,
                     "failed": failed, "where": where, "seed": seed}))


def _intervals(result, draws, level):
    lo, hi = 50 * (1 - level), 50 * (1 + level)
    out = {}
    for n in _model_names(result):
        x = draws[n].to_numpy(dtype=float)
        out[n] = {"value": float(result.lmfit.params[n].value),
                  "lower": float(np.percentile(x, lo)), "upper": float(np.percentile(x, hi)),
                  "sd": float(np.std(x, ddof=1))}
    return out


def mcmc(result, steps: int = 5000, walkers: int = 32, burn: int | None = None,
         thin: int = 1, seed: int = 0, level: float = 0.95, derived_draws: int = 200,
         derived: bool = True, threads: int = 1) -> Uncertainty:
    """Sample the posterior of the fitted parameters with emcee (through
    ``lmfit.Minimizer.emcee``): ``walkers`` walkers of ``steps`` steps, the first
    ``burn`` (default a quarter) discarded.  Priors: uniform within each parameter's
    bounds (improper where a bound is infinite).  The walkers start around the best fit,
    spread as its covariance says.  Diagnostics: the mean acceptance fraction and each
    parameter's integrated autocorrelation time; a warning when the kept chain is shorter
    than 50 autocorrelation times (below that emcee does not trust its estimate of the
    time, nor so the number of independent draws) or the acceptance fraction is outside
    0.15-0.7.  The default length suits a single scan: its autocorrelation times settle
    at 50-60 steps, so 5000 steps keep over 60 of them.
    The intervals are percentiles of the kept draws; the derived figures are measured on
    ``derived_draws`` of them, spread evenly over the chain."""
    import lmfit
    from emcee.autocorr import integrated_time  # type: ignore[import]
    _check(result)
    _check_level(level)
    for name, v, least in (("steps", steps, 10), ("walkers", walkers, 2), ("thin", thin, 1)):
        if isinstance(v, bool) or not isinstance(v, (int, np.integer)) or v < least:
            raise ValueError(f"{name}: expected an integer of at least {least}, got {v!r}")
    burn = steps // 4 if burn is None else int(burn)
    if not 0 <= burn < steps:
        raise ValueError(f"burn: expected 0 to {steps - 1}, got {burn}")
    t0 = time.perf_counter()
    fcn = _objective(result)
    params = result.lmfit.params.copy()
    nvarys = len(result.lmfit.var_names)
    if walkers < 2 * nvarys:
        raise ValueError(f"walkers: emcee needs at least twice the {nvarys} free parameters, "
                         f"got {walkers}")
    with _quiet_engine():
        r0 = fcn(params)
    scale = np.ones_like(r0)
    if not result.weighted:
        N = r0.size
        for g in _groups(result):
            dof = len(g) * (N - nvarys) / N
            scale[g] = math.sqrt(float(np.sum(r0[g] ** 2)) / dof)
    n = r0.size

    def lnres(p):
        try:
            return fcn(p) / scale
        except (RuntimeError, ValueError, ArithmeticError):
            return np.full(n, np.inf)  # outside the model's domain: probability zero

    names = list(result.lmfit.var_names)
    rng = np.random.default_rng(seed)
    best = np.array([params[k].value for k in names])
    lo = np.array([params[k].min for k in names])
    hi = np.array([params[k].max for k in names])
    cov = result.lmfit.covar
    if cov is not None and cov.shape == (nvarys, nvarys) and np.all(np.isfinite(cov)):
        # the covariance is in the units of the unweighted residuals; the walkers start
        # within about a standard error of the best fit
        pos = rng.multivariate_normal(best, cov, size=walkers, method="eigh")
    else:
        pos = best * (1 + 1e-4 * rng.standard_normal((walkers, nvarys)))
    span = np.where(np.isfinite(hi - lo), hi - lo, np.abs(best) + 1)
    pos = np.clip(pos, lo + 1e-9 * span, hi - 1e-9 * span)
    mini = lmfit.Minimizer(lnres, params, nan_policy="raise")
    with _quiet_engine(), contextlib.redirect_stdout(io.StringIO()), \
            warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = mini.emcee(params=params, steps=int(steps), nwalkers=int(walkers), burn=burn,
                         thin=int(thin), pos=pos, is_weighted=True, seed=seed,
                         progress=False)
    chain = mini.sampler.get_chain()[burn:]
    tau = {}
    try:
        t = integrated_time(chain, quiet=True, tol=0)
        tau = {k: float(v) for k, v in zip(names, np.atleast_1d(t))}
    except Exception:  # noqa: BLE001 - a chain too short for any estimate
        tau = {k: math.nan for k in names}
    acc = float(np.mean(res.acceptance_fraction))
    warn = []
    kept = steps - burn
    tmax = max((v for v in tau.values() if math.isfinite(v)), default=math.inf)
    if not kept >= 50 * tmax:
        warn.append(f"the chain is too short: {kept} kept steps, fewer than 50 "
                    f"autocorrelation times ({tmax:.0f} steps each); run more steps")
    if not 0.15 <= acc <= 0.7:
        warn.append(f"acceptance fraction {acc:.2f} outside 0.15-0.7: the sampling may not "
                    "have explored the posterior")
    draws = res.flatchain.reset_index(drop=True)
    out = _intervals(result, draws, level)
    der, w2 = [], []
    if derived:
        idx = np.unique(np.linspace(0, len(draws) - 1, min(derived_draws, len(draws)))
                        .astype(int))
        rows = [{k: float(draws.iloc[i][k]) for k in names} for i in idx]
        der, w2 = _derived(result, rows, level, threads)
    return _store(result, Uncertainty(
        "mcmc", level, out, derived=der, warnings_=warn + w2, draws=draws,
        labels=_labels(result), seconds=time.perf_counter() - t0,
        best={k: float(v) for k, v in zip(names, best)},
        diagnostics={"walkers": int(walkers), "steps": int(steps), "burn": burn,
                     "thin": int(thin), "acceptance_fraction": acc,
                     "autocorrelation_time": tau, "seed": seed,
                     "noise_scale": ("the weights given" if result.weighted else
                                     "each scan's residual standard deviation")}))


def estimate(result, method: str = "covariance", **options: Any) -> Uncertainty:
    """The uncertainty by ``method`` ("covariance", "profile", "bootstrap" or "mcmc"),
    with that function's ``options``; stored as ``result.uncertainty``."""
    funcs: dict[str, Any] = {"covariance": covariance, "profile": profile,
                             "bootstrap": bootstrap, "mcmc": mcmc}
    if method not in funcs:
        raise ValueError(f"uncertainty: expected one of {', '.join(METHODS)}, got {method!r}")
    return funcs[method](result, **options)


def corner(result_or_uncertainty: Any, names: Any = None, **kw: Any) -> Any:
    """The corner figure of a bootstrap's or a sampling's draws
    (see :func:`chainmelt.plot.corner.corner`)."""
    from ..plot.corner import corner as draw
    u = getattr(result_or_uncertainty, "uncertainty", result_or_uncertainty)
    if not isinstance(u, Uncertainty) or u.draws is None:
        raise ValueError("corner: expected a result with bootstrap or mcmc draws")
    names = list(u.intervals) if names is None else list(names)
    truths = {n: u.intervals[n]["value"] for n in names}
    return draw(u.draws[names], truths=truths, level=u.level, **kw)
