"""Peak analysis of a heat-capacity curve."""

import dataclasses
import math

import numpy as np

#: The gas constant, J/(mol K).
R = 8.314462618


@dataclasses.dataclass(frozen=True)
class Peak:
    """The heat-capacity peak of a curve Cp(T).

    Per site (one lipid chain), in the run's units (energies and
    temperatures in one unit, Cp in k_B):

    T_peak, Cp_max: position and height, refined by a parabola through the
        highest sweep point and its two neighbours (the sweep point itself
        when it is at an end of the curve: then ``refined`` is False).
    fwhm: full width at half height, between the half-height crossings
        interpolated linearly (NaN when the curve does not fall to half
        height on both sides).
    dH_cal: area under the curve (trapezoidal rule over the whole curve,
        no baseline subtracted): the calorimetric enthalpy per site.
    dH_vH: van 't Hoff enthalpy of a two-state transition with this peak,
        4 T_peak^2 Cp_max / dH_cal.
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

    def as_dict(self):
        return dataclasses.asdict(self)

    def __str__(self):
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


def _crossing(x, y, i, half, step):
    """x where y falls below half walking from index i by step; NaN if never."""
    j = i
    while 0 <= j + step < len(y):
        k = j + step
        if y[k] < half:
            return x[j] + (half - y[j]) * (x[k] - x[j]) / (y[k] - y[j])
        j = k
    return math.nan


def peak(df, chains_per_lipid=2, unit=None):
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
    i = int(np.argmax(y))
    t_peak, c_max, refined = x[i], y[i], False
    if 0 < i < len(x) - 1:
        a, b, c = np.polyfit(x[i - 1:i + 2] - x[i], y[i - 1:i + 2], 2)
        if a < 0:
            t_peak = x[i] - b / (2 * a)
            c_max = c - b * b / (4 * a)
            refined = True
    half = c_max / 2
    fwhm = _crossing(x, y, i, half, 1) - _crossing(x, y, i, half, -1)
    area = float(np.sum((x[1:] - x[:-1]) * (y[1:] + y[:-1]) / 2))
    dh_vh = 4 * t_peak * t_peak * c_max / area
    cu = dh_vh / area
    molar = unit == "kelvin"
    return Peak(T_peak=float(t_peak), Cp_max=float(c_max), fwhm=float(fwhm), dH_cal=area,
                dH_vH=float(dh_vh), cooperative_unit=float(cu),
                cooperative_unit_lipids=float(cu / chains_per_lipid),
                chains_per_lipid=chains_per_lipid,
                dH_cal_molar=area * chains_per_lipid * R if molar else math.nan,
                dH_vH_molar=float(dh_vh * R) if molar else math.nan, refined=refined)
