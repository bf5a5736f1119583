"""Figure of a DSC fit: data, fitted curve and residuals, in the instrument's units."""

from __future__ import annotations

import math
import os
from typing import Any


def dsc(fit: Any, ax: Any = None) -> Any:
    """Draw a :class:`chainmelt.dsc.FitResult`.

    The upper panel shows the data points, the fitted curve (model plus any fitted
    baseline) and the fitted baseline; the lower panel the residuals (data - fit).
    Temperatures and heat capacities are in the instrument's units (``fit.units``).
    The caption (the legend's title, :func:`caption`) gives the transition measured on
    the data (minus the fitted baseline) and on the model on separate lines, and the
    classification when the fit made one; a fit that did not succeed is marked so.

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
    top.legend(loc="upper left", fontsize="small", frameon=False)
    top.text(0.99, 0.97, caption(fit), transform=top.transAxes, ha="right", va="top",
             family="monospace", fontsize="x-small", linespacing=1.3)
    title = os.path.basename(fit.source) if fit.source else ""
    if not getattr(fit, "succeeded", True):
        codes = ", ".join(dict.fromkeys(p["code"] for p in fit.problems))
        title = f"{title}: FIT FAILED ({codes})" if title else f"FIT FAILED ({codes})"
        top.set_title(title, fontsize="medium", color="C3", fontweight="bold")
    elif title:
        top.set_title(title, fontsize="medium")
    bottom.axhline(0.0, color="0.6", lw=0.8)
    bottom.plot(T, conv(c["residual"]), ".", ms=3, color="0.35", label="residual")
    bottom.set_ylabel("data − fit")
    bottom.set_xlabel(f"T ({u.T_label})")
    return top.figure


def caption(fit: Any) -> str:
    """The figure's caption: the transition measured on the data (minus the fitted
    baseline) and on the model side by side, then the classification and the domain
    when the fit made them."""
    u = fit.units
    d, m = fit.transition["data"], fit.transition["model"]

    def cell(x, fmt):
        return format(x, fmt) if math.isfinite(x) else "-"

    rows = [("", "data", "model"),
            (f"Tm ({u.T_label})", cell(d["Tm"] - u.T_offset, ".2f"),
             cell(m["Tm"] - u.T_offset, ".2f")),
            (f"ΔHcal ({u.energy_unit})", cell(float(u.enthalpy_from_model(d["H"])), ".1f"),
             cell(float(u.enthalpy_from_model(m["H"])), ".1f")),
            ("FWHM (K)", cell(d["fwhm"], ".2f"), cell(m["fwhm"], ".2f")),
            ("CU (lipids)", cell(d["cu_lipids"], ".0f"), cell(m["cu_lipids"], ".0f"))]
    width = max(len(r[0]) for r in rows)
    lines = [f"{a:<{width}} {b:>7} {c:>7}" for a, b, c in rows]
    cls = getattr(fit, "classification", None)
    if cls and cls.get("kind"):
        extra = []
        if isinstance(cls.get("w_over_wc"), (int, float)) and math.isfinite(cls["w_over_wc"]):
            extra.append(f"w/w_c {cls['w_over_wc']:.2f}")
        if isinstance(cls.get("latent_share"), (int, float)) and \
                math.isfinite(cls["latent_share"]):
            extra.append(f"latent {cls['latent_share']:.2f}")
        lines.append(f"{cls['kind']}" + (f" ({', '.join(extra)})" if extra else ""))
    dom = getattr(fit, "domain", None)
    if dom and isinstance(dom.get("lipids"), (int, float)) and math.isfinite(dom["lipids"]) \
            and dom.get("chosen") == "domain":
        lines.append(f"domain of {dom['lipids']:.0f} lipids")
    return "\n".join(lines)
