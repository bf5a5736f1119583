"""Plots of results with matplotlib.

Every function takes a DataFrame of a run (or of ``chainmelt.read``), or a
list of them to overlay, and an optional matplotlib Axes; it returns the
Axes it drew on (a list of them for the plots with several panels).
``unit`` names the run's energy and temperature unit in the axis labels
(for example "K").  Curves overlaid are labelled by the parameters in which
their runs differ.
"""

import math
from typing import Any

import matplotlib.pyplot as plt

from .base import (axes_of, axis_label, fluid_columns, format_value, frames_of, labels,  # noqa: F401
                   legend, transition)
from .fit import dsc  # noqa: F401  (the figure of a DSC fit)

def heat(df: Any, ax: Any = None, unit: str | None = None) -> Any:
    """Heat capacity Cp against T (or against dH for a sweep in dH)."""
    frames = frames_of(df)
    ax = axes_of(ax)
    texts = labels(frames)
    x = frames[0].columns[0]
    for f, text in zip(frames, texts):
        if "Cp" not in f.columns:
            raise ValueError("plot.heat: expected a heat-capacity curve (column Cp)")
        ax.plot(f[f.columns[0]], f["Cp"], label=text)
    ax.set_xlabel(axis_label(x, frames[0], unit))
    ax.set_ylabel(axis_label("Cp", frames[0], unit))
    legend(ax, texts)
    return ax


def phase(df: Any, ax: Any = None, unit: str | None = None) -> list:
    """Fluid fraction (upper panel) and free energy F (lower panel) against
    T; the transition (largest jump of the fluid fraction) is marked by a
    dashed vertical line.  ``ax``: a pair of Axes, or None."""
    frames = frames_of(df)
    if ax is None:
        _, ax = plt.subplots(2, 1, sharex=True)
    top, bottom = ax
    texts = labels(frames)
    for f, text in zip(frames, texts):
        cols = fluid_columns(f)
        for c in cols:
            lab = text if len(cols) == 1 else "%s%s" % (c, ", " + text if text else "")
            line, = top.plot(f["T"], f[c], label=lab)
        bottom.plot(f["T"], f["F"], color=line.get_color(), label=text)
        t = transition(f)
        if not math.isnan(t):
            for a in (top, bottom):
                a.axvline(t, color=line.get_color(), linestyle="--", linewidth=0.8)
            top.annotate("T = %.6g" % t, (t, 0.5), xycoords=("data", "axes fraction"),
                         rotation=90, va="center", ha="right")
    top.set_ylabel("fluid fraction")
    bottom.set_ylabel(axis_label("F", frames[0], unit))
    bottom.set_xlabel(axis_label("T", frames[0], unit))
    if any(top.get_legend_handles_labels()[1]):
        top.legend()
    return [top, bottom]


def coexist(df: Any, ax: Any = None, unit: str | None = None) -> Any:
    """Coexistence enthalpy dH against T."""
    frames = frames_of(df)
    ax = axes_of(ax)
    texts = labels(frames)
    for f, text in zip(frames, texts):
        ax.plot(f["T"], f["dH"], marker="o", label=text)
    ax.set_xlabel(axis_label("T", frames[0], unit))
    ax.set_ylabel(axis_label("dH", frames[0], unit))
    legend(ax, texts)
    return ax


def size(df: Any, ax: Any = None, unit: str | None = None) -> list:
    """Peak temperature, peak height h = T*Cp and width at half height
    against the ligand size nu (three panels; ``ax``: three Axes or None)."""
    frames = frames_of(df)
    if ax is None:
        _, ax = plt.subplots(3, 1, sharex=True)
    panels = list(ax)
    texts = labels(frames)
    for f, text in zip(frames, texts):
        for a, col in zip(panels, ("T_peak", "h_max", "width")):
            a.plot(f["nu"], f[col], marker="o", label=text)
    for a, col in zip(panels, ("T_peak", "h_max", "width")):
        a.set_ylabel(axis_label(col, frames[0], unit))
    panels[-1].set_xlabel("nu (ligand covers nu + 1 chains)")
    legend(panels[0], texts)
    return panels


#: The plot of each record kind.
BY_KIND = {"heat": heat, "heat-mean-field": heat, "phase": phase, "coexist": coexist,
           "size": size}
