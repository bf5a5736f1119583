"""Figure of a DSC fit: data, fitted curve and residuals, in the instrument's units."""

from __future__ import annotations

import math
from typing import Any


def dsc(fit: Any, ax: Any = None) -> Any:
    """Draw a :class:`chainmelt.dsc.FitResult`.

    The upper panel shows the data points, the fitted curve (model plus any fitted
    baseline) and the fitted baseline; the lower panel the residuals (data - fit).
    Temperatures and heat capacities are in the instrument's units (``fit.units``).

    ``ax``: None (a new figure), one Axes (the residual panel is added below it) or a pair
    (upper, lower).  Returns the Figure (its panels in ``fig.axes``).
    """
    if ax is None:
        import matplotlib.pyplot as plt

        fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 5.5),
                                          gridspec_kw={"height_ratios": [3, 1]},
                                          layout="constrained")
    elif isinstance(ax, (tuple, list)):
        top, bottom = ax
    else:
        from mpl_toolkits.axes_grid1 import make_axes_locatable

        top = ax
        bottom = make_axes_locatable(ax).append_axes("bottom", size="33%", pad=0.1, sharex=ax)
        top.tick_params(labelbottom=False)
    u, c = fit.units, fit.curve
    T = u.T_from_model(c["T"])
    conv = u.Cp_from_model
    top.plot(T, conv(c["Cp"]), "o", ms=3, mfc="none", color="0.35", label="data")
    top.plot(T, conv(c["fit"]), "-", lw=1.6, color="C3", label="model fit")
    if fit.baseline_kind:
        top.plot(T, conv(c["baseline"]), "--", lw=1, color="C0",
                 label=f"{fit.baseline_kind} baseline")
    kind = "Cp" if fit.baseline_kind else "excess Cp"
    top.set_ylabel(f"{kind} ({u.Cp_unit})")
    m = fit.transition["model"]
    parts = [f"Tm = {m['Tm'] - u.T_offset:.2f} {u.T_label}",
             f"ΔHcal = {float(u.enthalpy_from_model(m['H'])):.1f} {u.energy_unit} lipid"]
    if math.isfinite(m["cu_lipids"]):
        parts.append(f"CU = {m['cu_lipids']:.0f} lipids")
    top.legend(title=", ".join(parts), loc="upper left", fontsize="small",
               title_fontsize="small", frameon=False)
    if fit.source:
        import os

        top.set_title(os.path.basename(fit.source), fontsize="medium")
    bottom.axhline(0.0, color="0.6", lw=0.8)
    bottom.plot(T, conv(c["residual"]), ".", ms=3, color="0.35", label="residual")
    bottom.set_ylabel("data − fit")
    bottom.set_xlabel(f"T ({u.T_label})")
    return top.figure
