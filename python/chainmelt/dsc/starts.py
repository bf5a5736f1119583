"""Starting values of a DSC fit taken from the data, and the critical coupling.

The peak of the data gives Tm, its area the calorimetric enthalpy dHcal and its width
the coupling w: on the continuous side the model's peak narrows as w approaches the
critical coupling w_c (where its width goes to zero), so w is the root of
width(w) = width of the data between w_c and 0.  Data as sharp as the model can be near
w_c are started on both sides of it; on the first-order side w is set by the latent heat
(the share of the enthalpy taken up at one temperature), and a finite cooperative
domain of N sites by the data's cooperative unit, N ~ cu_chains * dHcal / latent heat.

w_c at given Tm and dHcal is found with the engine by bisection: the coupling that
separates the couplings whose equilibrium curve through Tm changes minimum (first order)
from those whose curve does not.  Energies are in kelvin (k_B = 1) per site, one site
one chain.
"""

from __future__ import annotations

import contextlib
import functools
import logging
import math
from collections.abc import Callable

import numpy as np

from ..peak import analyse, interval_edges

_WINDOW = 1.0      # K either side of Tm searched for a change of minimum
_POINTS = 41
_BISECTIONS = 36
SHARP = 0.9        # w / w_c above which the data count as sharp


class _Drop(logging.Filter):
    def filter(self, record):
        return False


@contextlib.contextmanager
def quiet():
    """The engine's warnings about the curves of the root finds are not the user's."""
    log = logging.getLogger("chainmelt")
    f = _Drop()
    log.addFilter(f)
    try:
        yield
    finally:
        log.removeFilter(f)


def _window_curve(fields: dict, names: tuple) -> list:
    """The columns ``names`` of the equilibrium curve within _WINDOW of Tm, as arrays."""
    from ..runs import Model, _heat_columns
    Tm = float(fields["Tm"])
    with quiet():
        return _heat_columns(Model(**fields), np.linspace(Tm - _WINDOW, Tm + _WINDOW, _POINTS),
                             names, search="equilibrium")


def _first_order(fields: dict) -> bool:
    branch, = _window_curve(fields, ("branch",))
    return bool(np.any(np.diff(branch) != 0))


def latent_heat(fields: dict) -> float:
    """The infinite lattice's latent heat per site near Tm (0 when continuous)."""
    T_jump, dU = _window_curve(fields, ("T_jump", "dU"))
    jump = np.nan_to_num(T_jump) != 0
    return float(np.sum(dU[jump]))


def _key(fields: dict) -> tuple:
    return tuple(sorted((k, v if isinstance(v, (int, str)) else float(v))
                        for k, v in fields.items() if k not in ("w", "T")))


def _bisect(inside: Callable, lo: float, hi: float, steps: int) -> float:
    """The boundary between ``lo`` (where ``inside`` holds) and ``hi`` (where it does
    not), halved ``steps`` times: the middle of the last bracket."""
    for _ in range(steps):
        mid = 0.5 * (lo + hi)
        if inside(mid):
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


@functools.lru_cache(maxsize=256)
def _critical(key: tuple) -> float:
    fields = dict(key)

    def first(w):
        return _first_order(dict(fields, w=w))

    if first(0.0):
        return math.nan
    scale = max(abs(float(fields.get("Tm", 300.0))), 1.0)
    lo = -0.5 * scale
    for _ in range(8):
        if first(lo):
            break
        lo *= 2
    else:
        return math.nan
    return _bisect(first, lo, 0.0, _BISECTIONS)


def critical_coupling(fields: dict) -> float:
    """w_c: the coupling at which the transition through Tm turns first order, at the
    model's other fields (NaN where no change of minimum is found).  Cached."""
    return _critical(_key(fields))


def w_for_latent(fields: dict, latent: float, w_c: float) -> float:
    """The coupling on the first-order side whose latent heat is ``latent``."""
    hi, lo = w_c, 2 * w_c
    for _ in range(8):
        if latent_heat(dict(fields, w=lo)) >= latent:
            break
        hi, lo = lo, 2 * lo
    return _bisect(lambda w: latent_heat(dict(fields, w=w)) >= latent, lo, hi,
                   _BISECTIONS // 2)


def model_width(energy: Callable, fields: dict, T: np.ndarray) -> float:
    """FWHM of the model's curve compared as the data are, on the data's temperatures
    (NaN when the peak does not fall to half height inside them)."""
    edges = interval_edges(T)
    with quiet():
        U = np.asarray(energy(fields, edges), dtype=float)
    if not np.all(np.isfinite(U)):
        return math.nan
    return analyse(T, np.diff(U) / np.diff(edges), 1.0).fwhm


def w_for_width(energy: Callable, fields: dict, T: np.ndarray, target: float,
                w_c: float) -> float:
    """The coupling between w_c and 0 whose peak has the width ``target``; w_c when the
    data are narrower than the model on the continuous side can be.  Without w_c (an
    engine of the caller's) the bracket is widened from 0 until the model is narrow
    enough."""
    def narrower(w):  # the model's peak no wider than the data's
        width = model_width(energy, dict(fields, w=w), T)
        return math.isfinite(width) and width <= target

    if narrower(0.0):
        return 0.0
    if math.isfinite(w_c):
        lo = w_c * (1 - 1e-9)
        if not narrower(lo):
            return w_c
    else:
        lo = -0.25 * max(abs(float(fields.get("Tm", 300.0))), 1.0)
        for _ in range(8):
            if narrower(lo):
                break
            lo *= 2
        else:
            return lo
    return _bisect(narrower, lo, 0.0, _BISECTIONS // 2 + 6)


def latent_in_data(T: np.ndarray, y: np.ndarray) -> float:
    """An estimate of a latent heat in the data: what the highest interval holds above
    the mean of its neighbours (a jump lands in one interval, a smooth peak spreads)."""
    i = int(np.argmax(y))
    if not 0 < i < len(y) - 1:
        return 0.0
    width = np.diff(interval_edges(T))[i]
    return max(0.0, float(y[i] - 0.5 * (y[i - 1] + y[i + 1])) * width)


def _misfit(energy: Callable, fields: dict, T: np.ndarray, y: np.ndarray,
            linear: bool) -> float:
    """Sum of squares of the data less the model's curve, a straight baseline taken off
    by linear least squares when one is fitted (inf when the engine fails)."""
    edges = interval_edges(T)
    try:
        with quiet():
            U = np.asarray(energy(fields, edges), dtype=float)
    except (RuntimeError, ValueError, ArithmeticError):
        return math.inf
    if U.shape != edges.shape or not np.all(np.isfinite(U)):
        return math.inf
    r = y - np.diff(U) / np.diff(edges)
    if linear:
        A = np.column_stack([np.ones_like(T), T - T.mean()])
        r = r - A @ np.linalg.lstsq(A, r, rcond=None)[0]
    return float(r @ r)


def _best(candidates: list, keep: int) -> list:
    """The ``keep`` candidates of lowest misfit, as (misfit, start)."""
    ok = [c for c in candidates if math.isfinite(c[0])]
    return [c[1] for c in sorted(ok, key=lambda c: c[0])[:keep]]


RATIOS = tuple(np.geomspace(1.005, 2.5, 14))    # w / w_c tried on the first-order side
SHARES = (0.3, 0.5, 0.7, 0.8, 0.9, 0.95)       # latent shares tried for a domain


def data_starts(T: np.ndarray, y: np.ndarray, fields: dict, vary: list,
                energy: Callable, compiled: bool, chains_per_lipid: float,
                domain_energy: Callable | None = None, baseline: bool = False) -> dict:
    """Starting values of the varied w, dHcal and Tm from the heat capacity ``y``
    (k_B per site) at ``T`` (with ``baseline``: a baseline is fitted with the model, and
    a line through the outer tenths is taken off here first).  ``compiled``: ``energy``
    is the package's engine (w_c can be found); ``domain_energy(fields, T, sites)``:
    the finite-domain model, when its starts are wanted.  Returns the figures read
    from the data with ``starts`` (dicts for the infinite lattice) and ``domain_starts``
    (dicts with ``domain``)."""
    raw = np.asarray(y, dtype=float)
    y = raw
    if baseline:
        k = min(max(3, len(T) // 10), len(T) // 2)
        line = np.polyfit(np.concatenate([T[:k], T[-k:]]),
                          np.concatenate([raw[:k], raw[-k:]]), 1)
        y = raw - np.polyval(line, T)
    p = analyse(T, y, chains_per_lipid)
    out: dict = {"Tm": p.T_peak, "dHcal": p.dH_cal, "fwhm": p.fwhm,
                 "cu_chains": p.cooperative_unit, "latent": latent_in_data(T, y)}
    f = dict(fields)
    if "Tm" in vary:
        f["Tm"] = out["Tm"]
    if "dHcal" in vary and out["dHcal"] > 0:
        f["dHcal"] = out["dHcal"]
    base = {n: f[n] for n in ("Tm", "dHcal") if n in vary}
    out.update(w_c=math.nan, w_width=math.nan, sharp=False, starts=[dict(base)],
               domain_starts=[])
    if "w" not in vary:
        return out
    w_c = critical_coupling(f) if compiled else math.nan
    step = float(np.median(np.diff(T)))
    target = out["fwhm"] if math.isfinite(out["fwhm"]) else step
    w = w_for_width(energy, f, T, max(target, step), w_c)
    out.update(w_c=w_c, w_width=w)
    starts = [dict(base, w=w)]
    if not (math.isfinite(w_c) and w_c < 0):
        out["starts"] = starts
        return out
    sharp = w / w_c >= SHARP or target <= 3 * step
    out["sharp"] = sharp
    if not sharp:
        out["starts"] = starts
        return out
    starts += [dict(base, w=0.98 * w_c), dict(base, w=1.02 * w_c)]
    H, L = f["dHcal"], out["latent"]
    i = int(np.argmax(y))
    if H > 0 and L >= 0.02 * H:
        # A latent heat in one interval: the first-order couplings with that latent heat
        # (dHcal follows from the latent share at each), Tm inside that interval.
        cands = []
        for ratio in RATIOS:
            g = dict(f, w=ratio * w_c)
            share = latent_heat(g) / g["dHcal"] if g["dHcal"] > 0 else 0.0
            if not share > 0:
                continue
            s = {"w": g["w"]}
            if "dHcal" in vary:
                s["dHcal"] = L / share
            if "Tm" in vary:
                s["Tm"] = float(T[i])
                s["hold"] = ("Tm",)
            trial = dict(f, **{k: v for k, v in s.items() if k != "hold"})
            cands.append((_misfit(energy, trial, T, raw, baseline), s))
        starts += _best(cands, 2)
    if domain_energy is not None and H > 0:
        # A peak rounded by a domain: a latent share s of the enthalpy and a domain of
        # cu / s sites make the data's cooperative unit.
        rounded = domain_energy
        cu = out["cu_chains"] if math.isfinite(out["cu_chains"]) else 1e4
        cands = []
        for share in SHARES:
            w_s = w_for_latent(f, share * H, w_c)
            s = dict(base, w=w_s, domain=max(cu / share, 2.0))

            def en(fields_, T_, sites=s["domain"]):
                return rounded(fields_, T_, sites)
            cands.append((_misfit(en, dict(f, **{k: v for k, v in s.items()
                                                 if k != "domain"}), T, raw, baseline), s))
        out["domain_starts"] = _best(cands, 2)
    out["starts"] = starts
    return out
