"""The result of a DSC fit: its figures, report and JSON form."""

from __future__ import annotations

import math
import os
import textwrap
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from .._fields import ENERGY_FIELDS
from ..peak import analyse
from . import twostate
from .diagnose import diagnose

if TYPE_CHECKING:
    from .baseline import JointBaseline
    from .io import Units


def transition(T: np.ndarray, cp: np.ndarray, chains_per_lipid: float) -> dict:
    """Enthalpy ``H``, peak ``Tm`` and ``Cp_max``, half-width ``fwhm``, van 't Hoff
    enthalpy ``vH`` and cooperative unit (``cu_chains``, ``cu_lipids``) of an excess
    heat-capacity curve, per site in model units (the package's one peak analysis)."""
    p = analyse(T, cp, chains_per_lipid)
    return {"H": p.dH_cal, "Tm": p.T_peak, "Cp_max": p.Cp_max, "fwhm": p.fwhm,
            "vH": p.dH_vH, "cu_chains": p.cooperative_unit,
            "cu_lipids": p.cooperative_unit_lipids}


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
    if isinstance(x, np.bool_):
        return bool(x)
    return x


def correlation_lines(correlation: pd.DataFrame, names: list, title: str) -> list:
    """The lines of a fit report's correlation table of ``names`` (none for one name)."""
    if len(names) < 2:
        return []
    lines = ["", title, " " * 10 + "".join(f"{n:>9}" for n in names)]
    for a in names:
        lines.append(f"{a:<10}" + "".join(f"{correlation.loc[a, b]:>9.3f}" for b in names))
    return lines


def param_row(name: str, p: Mapping, u: Any) -> str:
    """One line of a fit report's parameter table: the value and its standard error,
    the model unit, and the value in the calorimetry units ``u`` of the scan."""
    v, e = p["value"], p["stderr"]
    unit, alt = "", ""
    if name in ENERGY_FIELDS:
        unit = "K (energy/R)"
        alt = (f"{_fmt(float(u.molar_energy(v)), float(u.molar_energy(e)))} "
               f"{u.energy_unit} chain")
    elif name == "Tm":
        unit = "K"
        if u.T_unit == "C":
            alt = f"{_fmt(v - u.T_offset, e)} °C"
    elif name == "domain":
        unit = "sites"
        alt = f"{_fmt(v / u.chains_per_lipid, e / u.chains_per_lipid)} lipids"
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


class LmfitStatistics:
    """The statistics of a fit's lmfit result, shared by single and global fits:
    ``correlation`` (DataFrame), ``chisqr``, ``redchi``, ``ndata``, ``nfree``, ``nfev``,
    ``success`` (lmfit's convergence flag), ``message`` and ``errorbars``."""

    correlation: pd.DataFrame
    chisqr: float
    redchi: float
    ndata: int
    nfree: int
    nfev: int
    success: bool
    message: str
    errorbars: bool

    def _take_statistics(self, out: Any) -> None:
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


class FitResult(LmfitStatistics):
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
    per site in model units), ``units`` (the instrument's) and ``lmfit`` (lmfit's own
    result of the best start, a ``MinimizerResult``: its ``params`` are the fitted
    Parameters with their bounds; ``lmfit.fit_report(result.lmfit)`` and the rest of
    lmfit work on it) with ``minimizer``, the ``lmfit.Minimizer`` that made it
    (``lmfit.conf_interval(result.minimizer, result.lmfit)``).

    Whether the fit can be trusted: ``problems`` (a list of {"code", "text"}, see
    ``chainmelt.dsc.diagnose``), ``succeeded`` (True only without any), ``noise`` (the
    data's own scatter, k_B per chain) and ``stats`` (noise, rms, runs test).
    ``success`` and ``message`` are lmfit's: the minimiser converged, which alone says
    little.  ``two_state`` and ``comparison``: the two-state (van 't Hoff) model fitted
    to the same data with the same baseline, and which of the two the data prefer by
    AIC and BIC (computed when first asked for).

    Set after construction by the fit, and shown when present: ``classification``
    ({"kind", "w_c", "w_over_wc", "latent_share", "text"}), ``domain`` ({"sites",
    "lipids", "varied", "effective", "aic_infinite", "aic_domain", "chosen", "text"})
    and ``data_starts`` (the starting values taken from the data); ``lattice_check``
    (:func:`chainmelt.dsc.lattice_check.check_lattice`, set by ``fit --check-lattice``).
    """

    classification: dict | None = None
    domain: dict | None = None
    data_starts: dict | None = None
    lattice_check: dict | None = None
    engine_calls: dict | None = None

    def __init__(self, *, data: pd.DataFrame, units: Units, T: np.ndarray, y: np.ndarray,
                 cp: np.ndarray, baseline: np.ndarray, out: Any, vary: list[str], fields: dict,
                 model: Any, base: JointBaseline | None, starts: list, search: str,
                 weighted: bool, minimizer: Any = None) -> None:
        self.units, self.model, self.search, self.starts = units, model, search, starts
        self.lmfit = out
        self.minimizer = minimizer
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
        self._take_statistics(out)
        self.curve = pd.DataFrame({"T": T, "Cp": y, "fit": cp + baseline, "excess": cp,
                                   "baseline": baseline, "residual": y - cp - baseline,
                                   "data_excess": y - baseline})
        self.curve.attrs.update(units.to_attrs())
        c = units.chains_per_lipid
        self.transition = {"data": transition(T, y - baseline, c),
                           "model": transition(T, cp, c)}
        self.units_source = dict(data.attrs.get("units_source") or {})
        self._base_names = tuple(base.names) if base else ()
        self._two_state: dict | None = None
        self.stats, self.problems = diagnose(
            T=T, y=y, excess=cp, residual=y - cp - baseline, params=self.params,
            converged=self.success, message=self.message, baseline_names=self._base_names,
            cp_text=lambda x: f"{float(units.Cp_from_model(x)):.3g} {units.Cp_unit}")
        self.noise = self.stats["noise"]

    @property
    def succeeded(self) -> bool:
        """True when none of the checks found a problem."""
        return not self.problems

    @property
    def status(self) -> str:
        return "fit succeeded" if self.succeeded else "fit failed"

    @property
    def information(self) -> dict:
        """AIC and BIC of the fit (from the unweighted residuals, as the two-state fit's)."""
        r = self.curve["residual"].to_numpy()
        return twostate.information(float(np.sum(r * r)), self.ndata, int(self.lmfit.nvarys))

    @property
    def two_state(self) -> dict:
        """The two-state (van 't Hoff) fit of the same data with the same baseline (see
        ``chainmelt.dsc.twostate.fit_two_state``), made when first asked for; {"error":
        text} when it could not be made."""
        if self._two_state is None:
            c = self.curve
            try:
                self._two_state = twostate.fit_two_state(
                    c["T"].to_numpy(), c["Cp"].to_numpy(), self.baseline_kind)
            except (ValueError, RuntimeError, ArithmeticError) as e:
                self._two_state = {"error": str(e)}
        return self._two_state

    @property
    def comparison(self) -> dict:
        """Which model the data prefer: {"aic", "bic"} of each ("lattice", "two-state"),
        and ``preferred``, ``delta_aic``, ``delta_bic``, ``ratio``, ``text``."""
        lat, two = self.information, self.two_state
        if "error" in two:
            return {"lattice": lat, "two-state": None, "preferred": None,
                    "text": f"the two-state model could not be fitted: {two['error']}"}
        pref = twostate.preference(lat["aic"], two["aic"], lat["bic"], two["bic"])
        return {"lattice": lat, "two-state": {"aic": two["aic"], "bic": two["bic"]}, **pref}

    def stderr(self, name: str) -> float:
        return self.params[name]["stderr"]

    def value(self, name: str) -> float:
        return self.params[name]["value"]

    def __repr__(self):
        vals = ", ".join(f"{n}={p['value']:.6g}±{p['stderr']:.2g}" for n, p in self.params.items())
        return f"<FitResult {vals}, redchi={self.redchi:.4g}>"

    def __str__(self):
        return self.report()

    def _units_lines(self) -> list[str]:
        u, src = self.units, self.units_source
        if not src:
            return []

        def said(kind):
            where = src.get(kind, "given")
            if where == "default":
                return "the default: the file names none"
            return "given" if where == "given" else f"from {where}"

        gram = f" per gram (molar mass {u.molar_mass:g} g/mol)" if u.per_gram else ""
        if src.get("T") == src.get("Cp") == "default":
            text = (f"Units: T in {u.T_label}, Cp in {u.Cp_unit}: the defaults, since "
                    f"neither the file nor the caller names them")
        elif said("T") == said("Cp"):
            text = f"Units: T in {u.T_label}, Cp in {u.Cp_unit}{gram}, both {said('T')}"
        else:
            text = (f"Units: T in {u.T_label} ({said('T')}); Cp in {u.Cp_unit}{gram} "
                    f"({said('Cp')})")
        return textwrap.wrap(text, 88, subsequent_indent="  ")

    def _status_lines(self) -> list[str]:
        if self.succeeded:
            return ["Status: fit succeeded (no problem found by the checks below)"]
        lines = [f"Status: FIT FAILED: {len(self.problems)} problem(s); do not trust the "
                 f"figures below"]
        for p in self.problems:
            lines.extend(textwrap.wrap(f"- {p['text']} [{p['code']}]", 88,
                                       initial_indent="  ", subsequent_indent="    "))
        return lines

    def _check_lines(self) -> list[str]:
        u, st = self.units, self.stats
        if not math.isfinite(st["noise"]):
            return ["Checks: too few points to estimate the noise; the misfit and runs "
                    "tests were not made"]
        runs = st["runs"]
        exp = f" (noise gives {runs['expected']:.0f})" if math.isfinite(runs["expected"]) \
            else ""
        return textwrap.wrap(f"Checks: noise of the data (its own scatter) "
                             f"{float(u.Cp_from_model(st['noise'])):.3g} {u.Cp_unit}, "
                             f"residual rms {st['rms_over_noise']:.3g} times it; "
                             f"{runs['runs']} runs of residual signs{exp}", 88,
                             subsequent_indent="  ")

    def _extra_lines(self) -> list[str]:
        """The classification, the domain and the data's starting values, when the fit
        attached them."""
        lines = []
        cls = getattr(self, "classification", None)
        if cls:
            fig = []
            if _finite(cls.get("w_over_wc")):
                fig.append(f"w/w_c = {cls['w_over_wc']:.3g}")
            if _finite(cls.get("latent_share")):
                fig.append(f"latent share {cls['latent_share']:.2f}")
            lines.extend(textwrap.wrap(
                f"Classification: {cls.get('kind', '?')}"
                + (f" ({', '.join(fig)})" if fig else "")
                + (f": {cls['text']}" if cls.get("text") else ""), 88,
                subsequent_indent="  "))
        dom = getattr(self, "domain", None)
        if dom:
            text = dom.get("text") or _domain_text(dom, self.units.chains_per_lipid)
            lines.extend(textwrap.wrap(f"Domain: {text}", 88, subsequent_indent="  "))
        starts = getattr(self, "data_starts", None)
        if starts:
            def show(v):
                if isinstance(v, (bool, np.bool_)):
                    return "yes" if v else "no"
                return _fmt(float(v)) if isinstance(v, (int, float, np.number)) else v

            vals = ", ".join(f"{k} = {show(v)}" for k, v in starts.items()
                             if isinstance(v, (int, float, str, np.number, np.bool_)))
            if vals:
                lines.extend(textwrap.wrap(f"Starting values from the data: {vals}", 88,
                                           subsequent_indent="  "))
        return lines

    def _two_state_lines(self) -> list[str]:
        u, two, cmp = self.units, self.two_state, self.comparison
        lines = ["", "Two-state (van 't Hoff) model, same data and baseline"]
        if "error" in two:
            return lines + [f"  not fitted: {two['error']}"]
        p = two["params"]
        dh = float(u.enthalpy_from_model(p["dHcal"]["value"]))
        dhe = float(u.enthalpy_from_model(p["dHcal"]["stderr"]))
        vh = float(u.molar_energy(p["dHvH"]["value"]))
        vhe = float(u.molar_energy(p["dHvH"]["stderr"]))
        tm, tme = p["Tm"]["value"], p["Tm"]["stderr"]
        cu = two["cu_sites"] / u.chains_per_lipid
        text = (f"dHcal {_fmt(dh, dhe)} ± {_fmt(dhe, dhe)} {u.energy_unit} lipid, "
                f"Tm {_fmt(tm - u.T_offset, tme)} ± {_fmt(tme, tme)} {u.T_label}, "
                f"dHvH {_fmt(vh, vhe)} ± {_fmt(vhe, vhe)} {u.energy_unit}, "
                f"cooperative unit {cu:.1f} lipids")
        lines += textwrap.wrap(text, 88, initial_indent="  ", subsequent_indent="  ")
        lat, tw = cmp["lattice"], cmp["two-state"]
        lines.append(f"  {'':<12}{'AIC':>12}{'BIC':>12}")
        lines.append(f"  {'lattice':<12}{lat['aic']:>12.1f}{lat['bic']:>12.1f}")
        lines.append(f"  {'two-state':<12}{tw['aic']:>12.1f}{tw['bic']:>12.1f}")
        text = cmp["text"]
        lines.extend(textwrap.wrap(text[0].upper() + text[1:], 86, initial_indent="  ",
                                   subsequent_indent="  "))
        return lines

    def report(self) -> str:
        u = self.units
        T = self.curve["T"].to_numpy()
        lines = []
        src = f" of {os.path.basename(self.source)}" if self.source else ""
        lines.append(f"DSC fit{src}: {self.ndata} points, {_fmt(T[0] - u.T_offset)} to "
                     f"{_fmt(T[-1] - u.T_offset)} {u.T_label}")
        lines.extend(self._status_lines())
        lines.extend(self._units_lines())
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
        lines.extend(self._check_lines())
        if not self.errorbars:
            lines.append("Standard errors unavailable: the covariance could not be estimated "
                         "(a parameter has no effect on the curve or sits at a bound)")
        lines.extend(self._extra_lines())
        lines.append("")
        lines.append(f"{'Parameter':<10}{'Value':>14}{'Std. error':>12}   {'Unit':<20}"
                     f"In calorimetry units")
        for n, p in self.params.items():
            lines.append(param_row(n, p, self.units))
        if self.fixed:
            fixed = ", ".join(f"{k} = {v:g}" for k, v in self.fixed.items())
            lines.extend(textwrap.wrap(f"Fixed: {fixed}", 88, subsequent_indent="  "))
        lines.extend(correlation_lines(self.correlation, list(self.correlation.columns),
                                       "Correlations"))
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
        lines.extend(textwrap.wrap(self._data_note(), 88))
        lines.extend(self._two_state_lines())
        return "\n".join(lines) + "\n"

    def _data_note(self) -> str:
        """What the data column is measured against."""
        if self.baseline_kind:
            tied = ("is tied to the model's by the weighted fit" if self.weighted else
                    "equals the model's by construction")
            return ("Data: the scan minus the fitted baseline, measured without the model. "
                    f"Its enthalpy {tied} (the baseline's offset takes up any difference); "
                    "its peak, width and cooperative unit are the data's own.")
        if self.data_baseline:
            return ("Data: the scan minus the baseline subtracted before the fit, measured "
                    "without the model.")
        return "Data: the excess heat capacity as given, measured without the model."

    def to_dict(self) -> dict:
        """Everything the report shows, as plain data for JSON (NaN becomes None).
        ``success`` is the verdict of the checks (as ``succeeded``); ``converged`` is
        the minimiser's own flag."""
        u = self.units
        fields = {k: (float(v) if not isinstance(v, str) else v) for k, v in self.fields.items()}
        molar = {}
        for side, t in self.transition.items():
            molar[side] = {"H_per_lipid": float(u.enthalpy_from_model(t["H"])),
                           "Tm": t["Tm"] - u.T_offset, "fwhm": t["fwhm"],
                           "Cp_max": float(u.Cp_from_model(t["Cp_max"])),
                           "vH": float(u.molar_energy(t["vH"])),
                           "cu_lipids": t["cu_lipids"], "cu_chains": t["cu_chains"]}
        two = self.two_state
        two_out = {"error": two["error"]} if "error" in two else {
            "parameters": two["params"], "chisqr": two["chisqr"], "aic": two["aic"],
            "bic": two["bic"], "converged": two["success"],
            "cu_lipids": two["cu_sites"] / u.chains_per_lipid,
            "H_per_lipid": float(u.enthalpy_from_model(two["params"]["dHcal"]["value"])),
            "vH": float(u.molar_energy(two["params"]["dHvH"]["value"])),
            "Tm": two["params"]["Tm"]["value"] - u.T_offset}
        st = self.stats
        return _json_safe({
            "source": self.source, "search": self.search,
            "status": self.status, "succeeded": self.succeeded, "success": self.succeeded,
            "converged": self.success, "problems": self.problems,
            "checks": {"noise": float(u.Cp_from_model(st["noise"])),
                       "rms": float(u.Cp_from_model(st["rms"])),
                       "rms_over_noise": st["rms_over_noise"],
                       "misfit_limit": st.get("misfit_limit"), "runs": st["runs"],
                       "unit": u.Cp_unit},
            "units": {"T_unit": u.T_unit, "Cp_unit": u.Cp_unit,
                      "energy_unit": u.energy_unit, "chains_per_lipid": u.chains_per_lipid,
                      "molar_mass": u.molar_mass, "source": self.units_source,
                      "conversion": u.describe()},
            "model": fields, "vary": self.vary, "parameters": self.params,
            "baseline": {"fitted": self.baseline_kind, "reference_T": self.baseline_ref,
                         "subtracted": self.data_baseline},
            "chisqr": self.chisqr, "redchi": self.redchi, "ndata": self.ndata,
            "nfree": self.nfree, "nfev": self.nfev,
            "message": self.message, "weighted": self.weighted,
            "correlation": {a: {b: self.correlation.loc[a, b] for b in self.correlation.columns}
                            for a in self.correlation.index},
            "transition_model_units": self.transition,
            "transition": molar, "transition_data_note": self._data_note(),
            "starts": self.starts,
            "information": self.information, "two_state": two_out,
            "comparison": {k: v for k, v in self.comparison.items()},
            "classification": getattr(self, "classification", None),
            "domain": getattr(self, "domain", None),
            "data_starts": getattr(self, "data_starts", None),
        })


def _finite(x) -> bool:
    return isinstance(x, (int, float, np.floating)) and math.isfinite(x)


def _domain_text(dom: dict, chains_per_lipid: float) -> str:
    sites = dom.get("sites")
    if not isinstance(sites, (int, float)) or not math.isfinite(sites):
        return "infinite lattice"
    return f"{sites:.4g} sites ({sites / chains_per_lipid:.4g} lipids), {dom.get('chosen')}"
