"""Plots of results with matplotlib.

Every function takes a DataFrame of a run (or of ``chainmelt.read``), or a
list of them to overlay, and an optional matplotlib Axes; it returns the
Axes it drew on (a list of them for the plots with several panels).
``unit`` names the run's energy and temperature unit in the axis labels
(for example "K").  Curves overlaid are labelled by the parameters in which
their runs differ.
"""

import math

import matplotlib.pyplot as plt
import pandas as pd

# Parameters that do not tell runs apart in a legend.
_NOT_IN_LEGEND = {"approx", "threads"}


def __getattr__(name):
    # The DSC fit's plot lives in a module of its own, loaded when asked for.
    if name == "dsc":
        try:
            from .plot_dsc import dsc
        except ImportError as e:
            raise AttributeError("chainmelt.plot.dsc is not available: %s" % e) from None
        return dsc
    raise AttributeError("module 'chainmelt.plot' has no attribute %r" % name)


def _frames(df):
    if isinstance(df, pd.DataFrame):
        return [df]
    frames = list(df)
    if not frames or not all(isinstance(f, pd.DataFrame) for f in frames):
        raise TypeError("expected a DataFrame or a list of DataFrames")
    return frames


def _format(v):
    return "%g" % v if isinstance(v, float) else str(v)


def labels(frames):
    """Legend texts: the parameters whose values differ between the frames
    ("w = -240"), else the files they were read from, else numbers."""
    params = [f.attrs.get("parameters") or {} for f in frames]
    keys = []
    for k in params[0] if params else []:
        if k in _NOT_IN_LEGEND:
            continue
        vals = [p.get(k) for p in params]
        if any(not _same(v, vals[0]) for v in vals[1:]):
            keys.append(k)
    if len(frames) > 1 and keys:
        return [", ".join("%s = %s" % (k, _format(p.get(k))) for k in keys) for p in params]
    sources = [f.attrs.get("source") for f in frames]
    if len(frames) > 1 and all(sources):
        return sources
    return [None if len(frames) == 1 else "curve %d" % (i + 1) for i in range(len(frames))]


def _same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == b


def _label(name, df, unit):
    u = (df.attrs.get("units") or {}).get(name)
    if u in ("temperature", "energy"):
        return "%s (%s)" % (name, unit) if unit else name
    if u == "k_B":
        return "%s (k_B per chain)" % name
    if u and u != "1":
        return "%s (%s)" % (name, u)
    return name


def _axes(ax):
    if ax is None:
        _, ax = plt.subplots()
    return ax


def _legend(ax, texts):
    if any(texts):
        ax.legend()


def heat(df, ax=None, unit=None):
    """Heat capacity Cp against T (or against dH for a sweep in dH)."""
    frames = _frames(df)
    ax = _axes(ax)
    texts = labels(frames)
    x = frames[0].columns[0]
    for f, text in zip(frames, texts):
        if "Cp" not in f.columns:
            raise ValueError("plot.heat: expected a heat-capacity curve (column Cp)")
        ax.plot(f[f.columns[0]], f["Cp"], label=text)
    ax.set_xlabel(_label(x, frames[0], unit))
    ax.set_ylabel(_label("Cp", frames[0], unit))
    _legend(ax, texts)
    return ax


def _fluid_columns(df):
    cols = [c for c in df.columns if c.startswith("x_") and c.endswith("f")]
    if not cols:
        raise ValueError("plot.phase: expected a phase record (columns x_f ...)")
    return cols


def transition(df, column=None):
    """The temperature between the two sweep points with the largest jump of
    the fluid fraction (NaN for fewer than two points)."""
    column = column or _fluid_columns(df)[0]
    d = df[["T", column]].dropna()
    if len(d) < 2:
        return math.nan
    jumps = d[column].diff().abs().to_numpy()[1:]
    k = int(jumps.argmax())
    return float((d["T"].iloc[k] + d["T"].iloc[k + 1]) / 2)


def phase(df, ax=None, unit=None):
    """Fluid fraction (upper panel) and free energy F (lower panel) against
    T; the transition (largest jump of the fluid fraction) is marked by a
    dashed vertical line.  ``ax``: a pair of Axes, or None."""
    frames = _frames(df)
    if ax is None:
        _, ax = plt.subplots(2, 1, sharex=True)
    top, bottom = ax
    texts = labels(frames)
    for f, text in zip(frames, texts):
        cols = _fluid_columns(f)
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
    bottom.set_ylabel(_label("F", frames[0], unit))
    bottom.set_xlabel(_label("T", frames[0], unit))
    if any(top.get_legend_handles_labels()[1]):
        top.legend()
    return [top, bottom]


def coexist(df, ax=None, unit=None):
    """Coexistence enthalpy dH against T."""
    frames = _frames(df)
    ax = _axes(ax)
    texts = labels(frames)
    for f, text in zip(frames, texts):
        ax.plot(f["T"], f["dH"], marker="o", label=text)
    ax.set_xlabel(_label("T", frames[0], unit))
    ax.set_ylabel(_label("dH", frames[0], unit))
    _legend(ax, texts)
    return ax


def size(df, ax=None, unit=None):
    """Peak temperature, peak height h = T*Cp and width at half height
    against the ligand size nu (three panels; ``ax``: three Axes or None)."""
    frames = _frames(df)
    if ax is None:
        _, ax = plt.subplots(3, 1, sharex=True)
    panels = list(ax)
    texts = labels(frames)
    for f, text in zip(frames, texts):
        for a, col in zip(panels, ("T_peak", "h_max", "width")):
            a.plot(f["nu"], f[col], marker="o", label=text)
    for a, col in zip(panels, ("T_peak", "h_max", "width")):
        a.set_ylabel(_label(col, frames[0], unit))
    panels[-1].set_xlabel("nu (ligand covers nu + 1 chains)")
    _legend(panels[0], texts)
    return panels


#: The plot of each record kind.
BY_KIND = {"heat": heat, "heat-mean-field": heat, "phase": phase, "coexist": coexist,
           "size": size}
