"""Corner figure of parameter draws (a bootstrap's or a posterior sample's), and the
figure of a global DSC fit."""

from __future__ import annotations

import math
from typing import Any

import numpy as np


def corner(draws: Any, truths: dict | None = None, level: float = 0.95, bins: int = 30,
           fig: Any = None, max_points: int = 4000) -> Any:
    """A corner figure: the histogram of each parameter on the diagonal, each pair's
    draws below it.  ``draws``: DataFrame, one column per parameter; ``truths``: values
    marked by lines (the best fit); the ``level`` interval is shaded on the diagonal.
    Returns the Figure."""
    import pandas as pd
    if not isinstance(draws, pd.DataFrame) or draws.shape[1] < 1 or len(draws) < 2:
        raise ValueError("corner: expected a DataFrame of draws, one column per parameter")
    names = list(draws.columns)
    k = len(names)
    if fig is None:
        from matplotlib.figure import Figure
        fig = Figure(figsize=(1.9 * k + 1, 1.9 * k + 1), layout="constrained")
    axes = np.array(fig.subplots(k, k, squeeze=False))
    step = max(1, len(draws) // max_points)
    lo, hi = 50 * (1 - level), 50 * (1 + level)
    for i, a in enumerate(names):
        x = draws[a].to_numpy(dtype=float)
        for j, b in enumerate(names):
            ax = axes[i, j]
            if j > i:
                ax.set_axis_off()
                continue
            if i == j:
                ax.hist(x, bins=bins, color="0.45", histtype="stepfilled", alpha=0.7)
                a_lo, a_hi = np.percentile(x, lo), np.percentile(x, hi)
                ax.axvspan(a_lo, a_hi, color="C0", alpha=0.15)
                ax.set_title(f"{a}: [{a_lo:.6g}, {a_hi:.6g}]", fontsize="x-small")
                if truths and a in truths and math.isfinite(truths[a]):
                    ax.axvline(truths[a], color="C3", lw=1)
                ax.set_yticks([])
            else:
                y = draws[b].to_numpy(dtype=float)
                ax.plot(y[::step], x[::step], ".", ms=1.5, color="0.3", alpha=0.4,
                        rasterized=True)
                if truths and a in truths and b in truths:
                    ax.axhline(truths[a], color="C3", lw=0.8)
                    ax.axvline(truths[b], color="C3", lw=0.8)
            if i == k - 1:
                ax.set_xlabel(b)
            else:
                ax.tick_params(labelbottom=False)
            if j == 0 and i > 0:
                ax.set_ylabel(a)
            elif j > 0:
                ax.tick_params(labelleft=False)
            ax.tick_params(labelsize="x-small")
            ax.ticklabel_format(useOffset=False, style="plain")
            ax.tick_params(axis="x", labelrotation=40)
    return fig


def global_fit(result: Any, fig: Any = None) -> Any:
    """The figure of a :class:`chainmelt.dsc.GlobalFitResult`: one column per scan with
    the data, the model (plus any fitted baseline) and the residuals below, in each scan's
    instrument units, and a last panel overlaying every scan's excess heat capacity (data
    less the fitted baseline) with its model curve.  Returns the Figure."""
    n = len(result.scans)
    if fig is None:
        from matplotlib.figure import Figure
        fig = Figure(figsize=(3.6 * (n + 1), 5.2), layout="constrained")
    grid = fig.add_gridspec(2, n + 1, height_ratios=[3, 1])
    for k, s in enumerate(result.scans):
        top = fig.add_subplot(grid[0, k])
        bottom = fig.add_subplot(grid[1, k], sharex=top)
        u, c = s.units, s.curve
        T = u.T_from_model(c["T"])
        conv = u.Cp_from_model
        top.plot(T, conv(c["Cp"]), "o", ms=2.5, mfc="none", color="0.35", label="data")
        top.plot(T, conv(c["fit"]), "-", lw=1.4, color=f"C{k}", label="model")
        if s.baseline_kind:
            top.plot(T, conv(c["baseline"]), "--", lw=0.9, color="0.5", label="baseline")
        known = ", ".join(f"{f} = {v[k]:g}" for f, v in result.known.items())
        top.set_title(f"{s.label}" + (f"\n{known}" if known else ""), fontsize="small")
        top.tick_params(labelbottom=False)
        if k == 0:
            top.set_ylabel(f"Cp ({u.Cp_unit})")
            bottom.set_ylabel("data − fit")
        top.legend(fontsize="x-small", frameon=False, loc="upper left")
        bottom.axhline(0.0, color="0.6", lw=0.8)
        bottom.plot(T, conv(c["residual"]), ".", ms=2.5, color="0.35")
        bottom.set_xlabel(f"T ({u.T_label})")
    ax = fig.add_subplot(grid[:, n])
    for k, s in enumerate(result.scans):
        u, c = s.units, s.curve
        T = u.T_from_model(c["T"])
        known = ", ".join(f"{f} = {v[k]:g}" for f, v in result.known.items())
        ax.plot(T, u.Cp_from_model(c["data_excess"]), "o", ms=2, mfc="none", color=f"C{k}",
                alpha=0.6)
        ax.plot(T, u.Cp_from_model(c["excess"]), "-", lw=1.4, color=f"C{k}",
                label=known or s.label)
    u0 = result.scans[0].units
    ax.set_xlabel(f"T ({u0.T_label})")
    ax.set_ylabel(f"excess Cp ({u0.Cp_unit})")
    shared = ", ".join(f"{n} = {p['value']:.4g}" for n, p in result.params.items())
    ax.set_title("all scans, excess", fontsize="small")
    ax.legend(title=shared, fontsize="x-small", title_fontsize="x-small", frameon=False)
    return fig
