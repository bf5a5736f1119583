"""Plots of results with matplotlib.

Every function takes a DataFrame of a run (or of ``chainmelt.read``), or a
list of them to overlay, and an optional matplotlib Axes (a sequence of
them for the plots with several panels).  Every plot function of the
package (these, ``dsc`` and those of ``chainmelt.plot.scan``) returns the
matplotlib Figure it drew on: ``fig.savefig("x.png")``, its panels in
``fig.axes`` (``fig.figure`` is the Figure itself, so code written for the
former return value, ``plot.heat(df).figure.savefig(...)``, still works).
``unit`` names the run's energy and temperature unit in the axis labels
(for example "K").  Curves overlaid are labelled by the parameters in which
their runs differ.
"""

import math
from typing import Any

import matplotlib.pyplot as plt

from .base import (axes_of, axis_label, fluid_columns, format_value,  # noqa: F401
                   frames_of, labels, legend, transition)
from ..peak import latent_heats
from .fit import dsc  # noqa: F401  (the figure of a DSC fit)
from .lattice import lattice  # noqa: F401  (a configuration of the exact lattice)
from . import scan  # noqa: F401,E402  (the figures of a parameter scan: plot.scan.curves, .map)


def heat(df: Any, ax: Any = None, unit: str | None = None) -> Any:
    """Heat capacity Cp against T (or against dH for a sweep in dH).

    Curves of the Monte Carlo method (column ``Cp_err``) are drawn as points
    with error bars of one standard error; drawn with curves of the pair
    approximation, the legend names each curve's method.  Each latent heat of a
    curve of the equilibrium search (a first-order transition: column ``dU``)
    is marked at its temperature by a dashed line in the curve's colour,
    labelled with its size (the latent heat per site, as
    :func:`chainmelt.peak` counts it): a jump has no height on a Cp axis, and
    the sharpest transition would otherwise look the weakest.

    Parameters
    ----------
    df : pandas.DataFrame or list of pandas.DataFrame
        A heat-capacity curve (column ``Cp``), or several to overlay, labelled
        by the parameters in which their runs differ.
    ax : matplotlib.axes.Axes, optional
        The Axes to draw on (default: a new figure).
    unit : str, optional
        The run's energy and temperature unit for the axis labels (``"K"``).

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn on (its panels are ``fig.axes``).

    Raises
    ------
    ValueError
        A DataFrame without a ``Cp`` column.
    """
    frames = frames_of(df)
    ax = axes_of(ax)
    texts = labels(frames)
    simulated = ["Cp_err" in f.columns for f in frames]
    if any(simulated) and not all(simulated):
        texts = _method_labels(frames, texts)
    x = frames[0].columns[0]
    for f, text in zip(frames, texts):
        if "Cp" not in f.columns:
            raise ValueError("plot.heat: expected a heat-capacity curve (column Cp)")
        if "Cp_err" in f.columns:
            # A simulated curve: its points with their standard errors.
            ax.errorbar(f[f.columns[0]], f["Cp"], yerr=f["Cp_err"], fmt="o-", markersize=3,
                        linewidth=0.8, capsize=2, label=text)
            continue
        line, = ax.plot(f[f.columns[0]], f["Cp"], label=text)
        _mark_latent_heats(ax, f, line.get_color(), unit)
    ax.set_xlabel(axis_label(x, frames[0], unit))
    ax.set_ylabel(axis_label("Cp", frames[0], unit))
    legend(ax, texts)
    return ax.figure


# Settings of the method and of the sweep: the label names the method instead.
_METHOD_KEYS = ("method", "L", "sweeps", "equilibration", "seed", "search", "T_min", "T_max",
                "dT")


def _method_labels(frames, texts):
    """Legend texts of pair-approximation and lattice curves drawn together:
    the method first, then the other parameters in which the curves differ."""
    out = []
    for f, text in zip(frames, texts):
        p = f.attrs.get("parameters") or {}
        name = ("exact lattice (Monte Carlo, L = %s)" % format_value(p.get("L", "?"))
                if "Cp_err" in f.columns else "pair approximation")
        parts = [] if not text or " = " not in text else [
            part for part in text.split(", ") if part.split(" = ")[0] not in _METHOD_KEYS]
        out.append(", ".join([name] + parts))
    return out


def _mark_latent_heats(ax, f, colour, unit):
    if "dU" not in f.columns:
        return
    xname = f.columns[0]
    d = f.dropna(subset=[xname, "Cp"]).sort_values(xname)
    jumps = latent_heats(d[xname].to_numpy(float), d["Cp"].to_numpy(float),
                         d["dU"].to_numpy(float),
                         d["T_jump"].to_numpy(float) if "T_jump" in d and xname == "T" else None)
    for t, latent in jumps:
        ax.axvline(t, color=colour, linestyle="--", linewidth=1)
        ax.annotate("latent heat %.4g%s\nat %s = %.6g" % (latent, " " + unit if unit else "",
                                                          xname, t),
                    (t, 0.97), xycoords=("data", "axes fraction"), ha="left", va="top",
                    fontsize="small", color=colour, xytext=(3, 0), textcoords="offset points")


def phase(df: Any, ax: Any = None, unit: str | None = None) -> Any:
    """Fluid fraction (upper panel) and free energy F (lower panel) against T.

    The transition (the largest jump of the fluid fraction) is marked by a
    dashed vertical line.  Simulated states are drawn with their standard
    errors, and have no free energy.

    Parameters
    ----------
    df : pandas.DataFrame or list of pandas.DataFrame
        The result of ``chainmelt.phase``, or several to overlay.
    ax : pair of matplotlib.axes.Axes, optional
        The two panels (default: a new figure).
    unit : str, optional
        The run's energy and temperature unit for the axis labels.

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn on (its panels are ``fig.axes``).
    """
    frames = frames_of(df)
    if ax is None:
        _, ax = plt.subplots(2, 1, sharex=True)
    top, bottom = ax
    texts = labels(frames)
    for f, text in zip(frames, texts):
        cols = fluid_columns(f)
        for c in cols:
            lab = text if len(cols) == 1 else "%s%s" % (c, ", " + text if text else "")
            if c + "_err" in f.columns:  # simulated: with standard errors
                line = top.errorbar(f["T"], f[c], yerr=f[c + "_err"], fmt="o-", markersize=3,
                                    linewidth=0.8, capsize=2, label=lab).lines[0]
            else:
                line, = top.plot(f["T"], f[c], label=lab)
        if "F" in f.columns:  # a simulation measures no free energy
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
    return top.figure


def coexist(df: Any, ax: Any = None, unit: str | None = None) -> Any:
    """Coexistence enthalpy dH against T.

    Parameters
    ----------
    df : pandas.DataFrame or list of pandas.DataFrame
        The result of ``chainmelt.coexist``, or several to overlay.
    ax : matplotlib.axes.Axes, optional
        The Axes to draw on (default: a new figure).
    unit : str, optional
        The run's energy and temperature unit for the axis labels (``"K"``).

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn on (its panels are ``fig.axes``).
    """
    frames = frames_of(df)
    ax = axes_of(ax)
    texts = labels(frames)
    for f, text in zip(frames, texts):
        ax.plot(f["T"], f["dH"], marker="o", label=text)
    ax.set_xlabel(axis_label("T", frames[0], unit))
    ax.set_ylabel(axis_label("dH", frames[0], unit))
    legend(ax, texts)
    return ax.figure


def size(df: Any, ax: Any = None, unit: str | None = None) -> Any:
    """Peak temperature, height h = T*Cp and width against the ligand size nu.

    Three panels: the peak temperature, the peak height h = T*Cp and the width
    at half height.

    Parameters
    ----------
    df : pandas.DataFrame or list of pandas.DataFrame
        The result of ``chainmelt.size``, or several to overlay.
    ax : sequence of three matplotlib.axes.Axes, optional
        The three panels (default: a new figure).
    unit : str, optional
        The run's energy and temperature unit for the axis labels.

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn on (its panels are ``fig.axes``).
    """
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
    return panels[0].figure


#: The plot of each record kind.
BY_KIND = {"heat": heat, "heat-mean-field": heat, "phase": phase, "coexist": coexist,
           "size": size, "heat-montecarlo": heat, "phase-montecarlo": phase}
