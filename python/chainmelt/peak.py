"""Peak analysis of a heat-capacity curve: one analysis for the curves of
runs, of result files and of calorimetry (data and fitted model).

The area under the curve is counted over the temperature interval each
point stands for: the interval between the mid-points to its neighbours,
the two outer intervals reaching half a step beyond the first and last
point.  A calorimeter's point is the mean heat capacity over such an
interval, and so is the model's curve in a DSC fit; the sum of point times
interval is then exactly the enthalpy taken up, a latent heat included.
For a curve sampled at points (a run's sweep) the rule is as accurate as
the trapezoidal rule once the curve is back at its baseline at both ends,
and it counts a peak at an end of the curve in full where the trapezoidal
rule would count half of it.

A curve of the equilibrium search (columns ``dU`` and, where given,
``T_jump``) may jump from one phase to the other between two sweep points:
a first-order transition.  Its latent heat is then part of the enthalpy:
the jump of U between the two points less the smooth heat capacity over
that step (the trapezoid of the two points' Cp, which the area above
already counts).  Such a transition has no width: its van 't Hoff enthalpy
and cooperative unit are not finite, and the analysis says so rather than
giving figures of the smooth part.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np
import pandas as pd

from ._fields import R


@dataclasses.dataclass(frozen=True)
class Peak:
    """The heat-capacity peak of a curve Cp(T), as :func:`peak` finds it.

    Every figure is per site (one lipid chain), in the run's units: energies
    and temperatures in one unit, Cp in k_B.  ``str(p)`` is a table of them with
    their units.

    Attributes
    ----------
    T_peak, Cp_max : float
        Position and height, refined by a parabola through the highest point
        and its two neighbours when its vertex lies between them (else the
        point itself: then ``refined`` is False).
    fwhm : float
        Full width at half height, between the half-height crossings
        interpolated linearly (NaN when the curve does not fall to half height
        on both sides).
    dH_cal : float
        Area under the curve, each point times the temperature interval it
        stands for (see the module's description), no baseline subtracted: the
        calorimetric enthalpy per site.
    dH_vH : float
        Van 't Hoff enthalpy of a two-state transition with this peak,
        4 T_peak^2 Cp_max / dH_cal (NaN unless dH_cal and Cp_max are positive
        and the whole peak lies inside the curve, its half height reached on
        both sides: else dH_cal is only part of its area).
    cooperative_unit, cooperative_unit_lipids : float
        dH_vH / dH_cal, in chains (sites) and in lipids.
    chains_per_lipid : float
        Chains per lipid, for the figures per lipid.
    dH_cal_molar, dH_vH_molar : float
        With ``unit="kelvin"`` (energies given as energy/R in kelvin) the
        enthalpies per mole: dH_cal_molar per mole of lipid, dH_vH_molar per
        mole of cooperative units, both in J/mol; otherwise NaN.
    refined : bool
        Whether T_peak and Cp_max come from the parabola.
    latent_heat, latent_share : float
        The sum of the latent heats of first-order transitions on the curve,
        per site, and its share of dH_cal (both 0 without one).
    T_jump : float
        The temperature of the largest jump (the record's ``T_jump``, else the
        middle of the step in which it lies); NaN without one.
    jumps : tuple of (float, float)
        Every (T, latent heat); empty without a first-order transition.
    T_Cp_max : float
        Where the sampled curve is highest (T_peak, unless the transition is
        first order).

    Notes
    -----
    A first-order transition (a latent heat on the curve, :attr:`first_order`)
    has no width: T_peak is then T_jump, Cp_max the height of the smooth part
    (at T_Cp_max), and fwhm, dH_vH and the cooperative unit are NaN, as the
    two-state figures mean nothing there.
    """

    T_peak: float
    Cp_max: float
    fwhm: float
    dH_cal: float
    dH_vH: float
    cooperative_unit: float
    cooperative_unit_lipids: float
    chains_per_lipid: float
    dH_cal_molar: float
    dH_vH_molar: float
    refined: bool
    latent_heat: float = 0.0
    latent_share: float = 0.0
    T_jump: float = math.nan
    jumps: tuple = ()
    T_Cp_max: float = math.nan

    @property
    def first_order(self) -> bool:
        """Whether the curve holds a latent heat (a first-order transition)."""
        return len(self.jumps) > 0

    def as_dict(self) -> dict:
        """Every figure as a dict (``jumps`` a list of [T, latent heat]), with ``first_order``."""
        return dict(dataclasses.asdict(self), jumps=[list(j) for j in self.jumps],
                    first_order=self.first_order)

    def __str__(self) -> str:
        if self.first_order:
            return self._first_order_text()
        rows = [
            ("T_peak", self.T_peak, "temperature"),
            ("Cp_max", self.Cp_max, "k_B per site (one chain)"),
            ("fwhm", self.fwhm, "temperature"),
            ("dH_cal", self.dH_cal, "energy per site (one chain)"),
            ("dH_vH", self.dH_vH, "energy per cooperative unit"),
            ("cooperative_unit", self.cooperative_unit, "chains"),
            ("cooperative_unit_lipids", self.cooperative_unit_lipids,
             "lipids of %g chains" % self.chains_per_lipid),
        ]
        if not math.isnan(self.dH_cal_molar):
            rows += [("dH_cal_molar", self.dH_cal_molar, "J/mol of lipid"),
                     ("dH_vH_molar", self.dH_vH_molar, "J/mol of cooperative units")]
        out = ["%-24s %.10g  %s" % r for r in rows]
        if not self.refined:
            out.append("(the highest point is at an end of the curve: not refined)")
        if math.isnan(self.fwhm):
            out.append("(the curve does not fall to half height on both sides: the peak is "
                       "not all inside it, no van 't Hoff enthalpy or cooperative unit)")
        return "\n".join(out)

    def _first_order_text(self) -> str:
        rows = [
            ("transition", "first order (latent heat)", ""),
            ("T_jump", "%.10g" % self.T_jump, "temperature"),
            ("latent_heat", "%.10g" % self.latent_heat, "energy per site (one chain)"),
            ("latent_share", "%.4g" % self.latent_share, "of dH_cal"),
            ("dH_cal", "%.10g" % self.dH_cal,
             "energy per site (one chain), latent heat included"),
        ]
        if not math.isnan(self.dH_cal_molar):
            per_lipid = self.chains_per_lipid * R
            rows += [("latent_heat_molar", "%.10g" % (self.latent_heat * per_lipid),
                      "J/mol of lipid"),
                     ("dH_cal_molar", "%.10g" % self.dH_cal_molar, "J/mol of lipid")]
        rows.append(("Cp_max", "%.10g" % self.Cp_max,
                     "k_B per site (one chain), smooth part, at T = %.10g" % self.T_Cp_max))
        out = ["%-24s %s  %s" % r for r in rows]
        if len(self.jumps) > 1:
            jumps = ", ".join("%.10g at T = %.10g" % (l, t) for t, l in self.jumps)
            out.append("%-24s %s" % ("jumps", jumps))
        out.append("(a first-order transition has no width: no FWHM, van 't Hoff enthalpy "
                   "or cooperative unit)")
        return "\n".join(out)


def interval_edges(T: np.ndarray) -> np.ndarray:
    """The edges of the intervals the points T stand for: the mid-points
    between neighbours, and half a step beyond the first and the last."""
    T = np.asarray(T, dtype=float)
    mid = 0.5 * (T[1:] + T[:-1])
    return np.concatenate([[T[0] - (mid[0] - T[0])], mid, [T[-1] + (T[-1] - mid[-1])]])


def _crossing(x, y, i, half, step):
    """x where y falls below half walking from index i by step; NaN if never."""
    j = i
    while 0 <= j + step < len(y):
        k = j + step
        if y[k] < half:
            # y[j] may lie below half too where the refined top is above every point
            # (a flat curve): the crossing is then at x[j].
            dy = y[k] - y[j]
            return x[j] + (half - y[j]) * (x[k] - x[j]) / dy if dy < 0 else x[j]
        j = k
    return math.nan


def latent_heats(T: np.ndarray, Cp: np.ndarray, dU: np.ndarray,
                 T_jump: np.ndarray | None = None) -> list:
    """[(T of the jump, latent heat)] of an equilibrium curve's records.

    With a ``T_jump`` column (the curve's own records) ``dU`` is the latent
    heat alone, U of the new branch less U of the old one at the crossing
    T_jump, on the first point after it, and both are 0 elsewhere.  Without
    it (files of earlier versions) ``dU`` is U less U of the point before,
    so the trapezoid of Cp over that step is taken off and the jump placed
    in the middle of the step."""
    out = []
    if T_jump is not None:
        for k in np.flatnonzero(np.nan_to_num(T_jump) != 0):
            out.append((float(T_jump[k]), float(dU[k])))
        return out
    for k in np.flatnonzero(np.nan_to_num(dU) != 0):
        if k == 0:
            continue  # the jump from a point before the curve: its step is unknown
        smooth = 0.5 * (Cp[k - 1] + Cp[k]) * (T[k] - T[k - 1])
        out.append((float(0.5 * (T[k - 1] + T[k])), float(dU[k] - smooth)))
    return out


def analyse(T: np.ndarray, Cp: np.ndarray, chains_per_lipid: float = 2.0,
            molar: bool = False, dU: np.ndarray | None = None,
            T_jump: np.ndarray | None = None) -> Peak:
    """The Peak of a curve given as arrays, T strictly increasing (at least
    three points); ``dU`` (and ``T_jump``) the latent heats of an
    equilibrium curve, as in its records."""
    x = np.asarray(T, dtype=float)
    y = np.asarray(Cp, dtype=float)
    i = int(np.argmax(y))
    t_peak, c_max, refined = float(x[i]), float(y[i]), False
    if 0 < i < len(x) - 1:
        a, b, c = np.polyfit(x[i - 1:i + 2] - x[i], y[i - 1:i + 2], 2)
        if a < 0:
            dx = -b / (2 * a)
            if x[i - 1] - x[i] <= dx <= x[i + 1] - x[i]:
                t_peak, c_max, refined = float(x[i] + dx), float(c - b * b / (4 * a)), True
    half = c_max / 2
    fwhm = _crossing(x, y, i, half, 1) - _crossing(x, y, i, half, -1) if c_max > 0 else math.nan
    jumps = latent_heats(x, y, np.asarray(dU, dtype=float),
                         None if T_jump is None else np.asarray(T_jump, dtype=float)) \
        if dU is not None else []
    latent = float(sum(l for _, l in jumps))
    area = float(np.sum(y * np.diff(interval_edges(x)))) + latent
    inside = math.isfinite(fwhm) and 0 < i < len(x) - 1
    ok = area > 0 and c_max > 0 and not jumps and inside
    dh_vh = 4 * t_peak * t_peak * c_max / area if ok else math.nan
    cu = dh_vh / area if ok else math.nan
    t_smooth = t_peak
    if jumps:
        t_peak = max(jumps, key=lambda j: abs(j[1]))[0]
        fwhm = math.nan
    return Peak(T_peak=t_peak, Cp_max=c_max, fwhm=float(fwhm), dH_cal=area,
                dH_vH=float(dh_vh), cooperative_unit=float(cu),
                cooperative_unit_lipids=float(cu / chains_per_lipid),
                chains_per_lipid=chains_per_lipid,
                dH_cal_molar=area * chains_per_lipid * R if molar else math.nan,
                dH_vH_molar=float(dh_vh * R) if molar else math.nan, refined=refined,
                latent_heat=latent, latent_share=latent / area if area else math.nan,
                T_jump=t_peak if jumps else math.nan, jumps=tuple(jumps), T_Cp_max=t_smooth)


def peak(df: pd.DataFrame, chains_per_lipid: float = 2, unit: str | None = None) -> Peak:
    """Analyse the peak of a heat-capacity curve.

    Peak temperature and height, width at half height, calorimetric and
    van 't Hoff enthalpies and the cooperative unit; for a curve of the
    equilibrium search with a latent heat (column ``dU``), the first-order
    transition: its temperature, latent heat and share of the calorimetric
    enthalpy.

    Parameters
    ----------
    df : pandas.DataFrame
        A curve swept in T with columns ``T`` and ``Cp``, from
        :func:`chainmelt.heat` or :func:`chainmelt.read`; at least three
        distinct temperatures.
    chains_per_lipid : float, default 2
        Chains per lipid, for the figures per lipid.
    unit : {None, "kelvin"}, optional
        ``"kelvin"`` when energies are energy/R in kelvin: the enthalpies are
        then also given in J/mol.

    Returns
    -------
    Peak
        The figures; see :class:`Peak` for their definitions and units.

    Raises
    ------
    ValueError
        No ``T`` or ``Cp`` column, fewer than three points, repeated
        temperatures, or another ``unit``.

    Examples
    --------
    >>> p = chainmelt.peak(chainmelt.heat(m, T="290:340:0.25"), unit="kelvin")  # doctest: +SKIP
    >>> p.T_peak, p.Cp_max, p.fwhm                                              # doctest: +SKIP
    """
    if "Cp" not in df.columns or "T" not in df.columns:
        raise ValueError("peak: expected a heat-capacity curve against T (columns T and Cp), "
                         "got columns %s" % ", ".join(map(str, df.columns)))
    if unit not in (None, "kelvin"):
        raise ValueError("peak: unit: expected None or 'kelvin', got %r" % (unit,))
    extra = [c for c in ("dU", "T_jump") if c in df.columns]
    d = df[["T", "Cp"] + extra].dropna(subset=["T", "Cp"]).sort_values("T")
    x = d["T"].to_numpy(dtype=float)
    y = d["Cp"].to_numpy(dtype=float)
    if len(x) < 3:
        raise ValueError("peak: expected at least 3 points of the curve, got %d" % len(x))
    if np.any(np.diff(x) <= 0):
        raise ValueError("peak: expected distinct temperatures")
    return analyse(x, y, chains_per_lipid, unit == "kelvin",
                   d["dU"].to_numpy(dtype=float) if "dU" in d else None,
                   d["T_jump"].to_numpy(dtype=float) if "T_jump" in d else None)
