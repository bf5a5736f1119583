"""Instrument baselines: subtracted before a fit, or fitted together with the model."""

from __future__ import annotations

import math
from typing import Any, Sequence

import numpy as np
import pandas as pd

from .io import check_T

BASELINES = {"linear": ("b0", "b1"), "sigmoidal": ("pre0", "pre1", "post0", "post1")}


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


def subtract_baseline(df: pd.DataFrame, pre: Sequence[float] | np.ndarray,
                      post: Sequence[float] | np.ndarray, kind: str = "linear",
                      max_iter: int = 200, tol: float = 1e-12) -> pd.DataFrame:
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
    if kind not in BASELINES:
        raise ValueError(f"kind: expected 'linear' or 'sigmoidal', got {kind!r}")
    T = check_T(df["T"].to_numpy(dtype=float), "subtract_baseline")
    y = df["Cp"].to_numpy(dtype=float)
    pre = _window(pre, "pre", T)
    post = _window(post, "post", T)
    if pre[1] > post[0]:
        raise ValueError(f"pre window {pre} must end before the post window {post} starts")
    info: dict[str, Any] = {"kind": kind, "pre": list(pre), "post": list(post)}
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


class JointBaseline:
    """A baseline fitted together with the model; coefficients in k_B per site, per K."""

    def __init__(self, kind: str, T: np.ndarray, y: np.ndarray) -> None:
        if kind not in BASELINES:
            raise ValueError(f"baseline: expected None, 'linear' or 'sigmoidal', got {kind!r}")
        self.kind, self.names = kind, BASELINES[kind]
        self.Tref = float(0.5 * (T[0] + T[-1]))
        # The outer tenths of the scan (at least three points each, and two
        # sides that do not overlap).
        k = min(max(3, len(T) // 10), len(T) // 2)
        if k < (1 if kind == "linear" else 2):
            raise ValueError(f"baseline: {len(T)} points are too few for a {kind} baseline")
        if kind == "linear":
            slope = (np.mean(y[-k:]) - np.mean(y[:k])) / (np.mean(T[-k:]) - np.mean(T[:k]))
            self.start = {"b0": float(np.mean(y[:k]) + slope * (self.Tref - np.mean(T[:k]))),
                          "b1": float(slope)}
        else:
            lo = np.polyfit(T[:k] - self.Tref, y[:k], 1)
            hi = np.polyfit(T[-k:] - self.Tref, y[-k:], 1)
            self.start = {"pre0": lo[1], "pre1": lo[0], "post0": hi[1], "post1": hi[0]}

    def __call__(self, v: dict, T: np.ndarray, progress: Any) -> np.ndarray:
        x = T - self.Tref
        if self.kind == "linear":
            return v["b0"] + v["b1"] * x
        return ((1 - progress) * (v["pre0"] + v["pre1"] * x)
                + progress * (v["post0"] + v["post1"] * x))
