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
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np
import pandas as pd

from ._fields import R


@dataclasses.dataclass(frozen=True)
class Peak:
    """The heat-capacity peak of a curve Cp(T).

    Per site (one lipid chain), in the run's units (energies and
    temperatures in one unit, Cp in k_B):

    T_peak, Cp_max: position and height, refined by a parabola through the
        highest point and its two neighbours when its vertex lies between
        them (else the point itself: then ``refined`` is False).
    fwhm: full width at half height, between the half-height crossings
        interpolated linearly (NaN when the curve does not fall to half
        height on both sides).
    dH_cal: area under the curve, each point times the temperature interval
        it stands for (see the module's description), no baseline
        subtracted: the calorimetric enthalpy per site.
    dH_vH: van 't Hoff enthalpy of a two-state transition with this peak,
        4 T_peak^2 Cp_max / dH_cal (NaN unless dH_cal and Cp_max are
        positive).
    cooperative_unit: dH_vH / dH_cal, in chains (sites);
        cooperative_unit_lipids the same in lipids.

    With ``unit="kelvin"`` (energies given as energy/R in kelvin) the
    enthalpies are also given per mole: dH_cal_molar per mole of lipid
    (chains_per_lipid chains each), dH_vH_molar per mole of cooperative
    units, both in J/mol; otherwise these are NaN.
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

    def as_dict(self) -> dict:
        return dataclasses.asdict(self)

    def __str__(self) -> str:
        rows = [
            ("T_peak", self.T_peak, "temperature"),
            ("Cp_max", self.Cp_max, "k_B per chain"),
            ("fwhm", self.fwhm, "temperature"),
            ("dH_cal", self.dH_cal, "energy per chain"),
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
            return x[j] + (half - y[j]) * (x[k] - x[j]) / (y[k] - y[j])
        j = k
    return math.nan


def analyse(T: np.ndarray, Cp: np.ndarray, chains_per_lipid: float = 2.0,
            molar: bool = False) -> Peak:
    """The Peak of a curve given as arrays, T strictly increasing (at least
    three points)."""
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
    area = float(np.sum(y * np.diff(interval_edges(x))))
    ok = area > 0 and c_max > 0
    dh_vh = 4 * t_peak * t_peak * c_max / area if ok else math.nan
    cu = dh_vh / area if ok else math.nan
    return Peak(T_peak=t_peak, Cp_max=c_max, fwhm=float(fwhm), dH_cal=area,
                dH_vH=float(dh_vh), cooperative_unit=float(cu),
                cooperative_unit_lipids=float(cu / chains_per_lipid),
                chains_per_lipid=chains_per_lipid,
                dH_cal_molar=area * chains_per_lipid * R if molar else math.nan,
                dH_vH_molar=float(dh_vh * R) if molar else math.nan, refined=refined)


def peak(df: pd.DataFrame, chains_per_lipid: float = 2, unit: str | None = None) -> Peak:
    """Peak temperature and height, width at half height, calorimetric and
    van 't Hoff enthalpies and the cooperative unit of a heat-capacity curve
    (a DataFrame of ``chainmelt.heat`` or ``read``, swept in T).  See
    :class:`Peak` for the definitions and units."""
    if "Cp" not in df.columns or "T" not in df.columns:
        raise ValueError("peak: expected a heat-capacity curve against T (columns T and Cp), "
                         "got columns %s" % ", ".join(map(str, df.columns)))
    if unit not in (None, "kelvin"):
        raise ValueError("peak: unit: expected None or 'kelvin', got %r" % (unit,))
    d = df[["T", "Cp"]].dropna().sort_values("T")
    x = d["T"].to_numpy(dtype=float)
    y = d["Cp"].to_numpy(dtype=float)
    if len(x) < 3:
        raise ValueError("peak: expected at least 3 points of the curve, got %d" % len(x))
    if np.any(np.diff(x) <= 0):
        raise ValueError("peak: expected distinct temperatures")
    return analyse(x, y, chains_per_lipid, unit == "kelvin")
