"""Whether a DSC fit can be trusted: the checks behind ``FitResult.problems``.

A least-squares fit always ends somewhere; these checks say when where it ended is not
an answer.  Each finding is a ``{"code", "text"}`` pair; a fit with none succeeded.

- ``not-converged``: the minimiser stopped without meeting its tolerances.
- ``misfit``: the residuals' rms is well above the noise of the data, estimated from
  the data's own scatter (each point against the cubic through its two neighbours
  on either side; those far beyond the typical one, as at a
  sharp peak, left out).
- ``structured-residuals``: the residuals change sign far less often than noise would
  (a runs test): the model misses a feature of the curve.
- ``at-bound``: a parameter ended at one of its bounds.
- ``stderr-zero``, ``stderr-not-finite``, ``stderr-large``: a standard error that is
  zero, cannot be estimated, or exceeds the parameter's magnitude (model parameters
  only: a baseline coefficient may well be zero).
- ``Tm-on-edge``: Tm sits on the edge between two data intervals, where a latent heat
  jumps from one interval to the next, and its standard error is a small part of the
  interval: the objective is flat in Tm on either side, so neither the value nor its
  error means anything.  (A standard error taken on the side of the edge that keeps the
  jump, spanning at least a quarter of the interval, is an honest one: no problem.)
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from scipy.stats import norm

from ..peak import interval_edges

#: rms of the residuals above this multiple of the noise is a misfit, or above four
#: standard errors of the noise estimate (about 1.2 / sqrt(n) relative) when that is
#: more: a good fit has rms/noise = 1 within about 10 % on a hundred points.
MISFIT_RATIO = 1.5
#: One-sided p-value of too few runs of residual signs below which they are structured
#: (one good fit in a thousand is flagged falsely).
RUNS_P = 1e-3
#: Fewer pseudo-residuals than this give no usable noise estimate.
MIN_POINTS = 20
#: Relative distance of a parameter from a bound that counts as sitting on it.
AT_BOUND = 1e-6
#: Tm closer to an interval edge than this fraction of the interval sits on it; a curve
#: with a jump (half its area in one interval) is held to a wider margin.
EDGE = 1e-3
EDGE_JUMP = 0.02
#: ... unless its standard error is at least this fraction of the interval (taken on
#: the side of the edge that keeps the latent heat where it is).
EDGE_HONEST = 0.25

_CUT = 3.0
#: Variance of a standard normal variable cut at +-_CUT.
_CUT_VARIANCE = 1.0 - 2 * _CUT * float(norm.pdf(_CUT)) / (2 * float(norm.cdf(_CUT)) - 1)

_BASELINE_NAMES = ("b0", "b1", "pre0", "pre1", "post0", "post1")


def noise_level(T: Any, y: Any) -> float:
    """Standard deviation of the noise in ``y``, from its scatter about the cubic through
    each point's two neighbours on either side (a smooth curve passes through it to
    fourth order in the step), made robust to a sharp peak by leaving out
    pseudo-residuals beyond three times a first, median-based estimate.  NaN with
    fewer than ``MIN_POINTS`` of them."""
    T = np.asarray(T, dtype=float)
    y = np.asarray(y, dtype=float)
    n = T.size - 4
    if n < MIN_POINTS:
        return math.nan
    x = T[2:-2]
    nodes = [T[k:k + n] for k in (0, 1, 3, 4)]
    values = [y[k:k + n] for k in (0, 1, 3, 4)]
    pred = np.zeros(n)
    norm2 = np.ones(n)
    for j, tj in enumerate(nodes):
        w = np.ones(n)
        for m, tm in enumerate(nodes):
            if m != j:
                w *= (x - tm) / (tj - tm)
        pred += w * values[j]
        norm2 += w * w
    e = (y[2:-2] - pred) / np.sqrt(norm2)
    # A median first (robust, but noisy itself), then the rms of what lies within three
    # of it, corrected for the normal tails left out (nearly as sharp as an rms).
    sigma = 1.482602218505602 * float(np.median(np.abs(e)))
    for _ in range(2):
        if not sigma > 0:
            break
        inside = e[np.abs(e) <= _CUT * sigma]
        sigma = math.sqrt(float(np.mean(inside * inside)) / _CUT_VARIANCE)
    return float(sigma)


def runs_test(residual: Any) -> dict:
    """Wald-Wolfowitz runs test of the signs of ``residual`` (exact zeros dropped):
    ``runs``, ``expected``, ``z`` and the one-sided ``p`` of so few runs."""
    r = np.asarray(residual, dtype=float)
    s = np.sign(r[r != 0])
    npos, nneg = int(np.sum(s > 0)), int(np.sum(s < 0))
    n = npos + nneg
    if npos == 0 or nneg == 0:
        return {"runs": 1 if n else 0, "expected": math.nan, "z": math.nan,
                "p": 0.0 if n >= MIN_POINTS else math.nan}
    runs = 1 + int(np.count_nonzero(s[1:] != s[:-1]))
    mu = 2.0 * npos * nneg / n + 1.0
    var = (mu - 1.0) * (mu - 2.0) / (n - 1.0)
    z = (runs - mu) / math.sqrt(var) if var > 0 else math.nan
    return {"runs": runs, "expected": mu, "z": z,
            "p": float(norm.cdf(z)) if math.isfinite(z) else math.nan}


def _fmt(x: float) -> str:
    return f"{x:.4g}"


def diagnose(*, T: np.ndarray, y: np.ndarray, excess: np.ndarray, residual: np.ndarray,
             params: dict, converged: bool, message: str,
             baseline_names: tuple = _BASELINE_NAMES, cp_text=_fmt) -> tuple[dict, list]:
    """The checks of the module on a fit's arrays (model units) and parameters
    ({name: {"value", "stderr", "min", "max"}}).  ``cp_text`` writes a heat capacity
    for the texts (in the instrument's unit).  Returns (``stats``, ``problems``):
    the noise, rms and runs figures, and the list of findings."""
    problems: list[dict] = []

    def add(code, text):
        problems.append({"code": code, "text": text})

    if not converged:
        add("not-converged", f"the minimiser did not converge ({message})")

    noise = noise_level(T, y)
    rms = float(np.sqrt(np.mean(np.asarray(residual, dtype=float) ** 2)))
    runs = runs_test(residual)
    stats = {"noise": noise, "rms": rms, "rms_over_noise": math.nan, "runs": runs}
    if math.isfinite(noise):
        # Noise-free data: no estimate below the rounding of the arithmetic.
        floor = 1e-12 * float(np.max(np.abs(y))) if y.size else 0.0
        scale = max(noise, floor)
        ratio = rms / scale if scale > 0 else (0.0 if rms == 0 else math.inf)
        stats["rms_over_noise"] = ratio
        limit = max(MISFIT_RATIO, 1.0 + 4 * 1.2 / math.sqrt(T.size - 4))
        stats["misfit_limit"] = limit
        if ratio > limit:
            add("misfit", f"systematic misfit: residual rms {cp_text(rms)} is "
                          f"{ratio:.3g} times the noise of the data ({cp_text(noise)})")
        if math.isfinite(runs["p"]) and runs["p"] < RUNS_P:
            exp = "" if not math.isfinite(runs["expected"]) else \
                f" where noise would give {runs['expected']:.0f}"
            add("structured-residuals",
                f"structured residuals: {runs['runs']} runs of one sign{exp} "
                f"(runs test p = {runs['p']:.2g})")

    unknown = [n for n, p in params.items()
               if p["stderr"] is None or not math.isfinite(p["stderr"])]
    if unknown:
        add("stderr-not-finite", f"the standard error{'s' if len(unknown) > 1 else ''} of "
                                 f"{', '.join(unknown)} could not be estimated")
    for name, p in params.items():
        v, e, lo, hi = p["value"], p["stderr"], p["min"], p["max"]
        scale = max(1.0, abs(v), *(abs(b) for b in (lo, hi) if math.isfinite(b)))
        if math.isfinite(lo) and math.isfinite(hi):
            scale = max(hi - lo, 1e-300)
        for side, b in (("lower", lo), ("upper", hi)):
            if math.isfinite(b) and abs(v - b) <= AT_BOUND * scale:
                add("at-bound", f"{name} = {v:.6g} sits at its {side} bound {b:.6g}")
        if e is None or not math.isfinite(e):
            continue
        if e == 0:
            add("stderr-zero", f"the standard error of {name} is zero")
        elif name not in baseline_names and e > abs(v):
            add("stderr-large", f"the standard error of {name} ({e:.3g}) exceeds its "
                                f"value ({v:.6g})")

    if "Tm" in params and T.size > 1:
        tm = params["Tm"]["value"]
        edges = interval_edges(T)
        widths = np.diff(edges)
        k = int(np.clip(np.searchsorted(edges, tm) - 1, 0, widths.size - 1))
        dist = float(np.min(np.abs(edges - tm)))
        area = np.asarray(excess, dtype=float) * widths
        total = float(np.sum(area))
        jump = total > 0 and float(np.max(area)) >= 0.5 * total
        margin = (EDGE_JUMP if jump else EDGE) * widths[k]
        # On an edge, Tm means something only where its standard error was taken on the
        # side that keeps the jump in its interval, and so spans a fair part of it.
        e = params["Tm"].get("stderr")
        honest = e is not None and math.isfinite(e) and e >= EDGE_HONEST * widths[k]
        if dist <= margin and not honest:
            what = " (half the model's enthalpy lies in one interval)" if jump else ""
            add("Tm-on-edge", f"Tm = {tm:.6g} K sits on the edge of a data interval "
                              f"({dist:.2g} K from it){what}: the fit cannot place it "
                              f"within the interval")
    return stats, problems
