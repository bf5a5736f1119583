"""Plots of a scan's results: curves overlaid by one scanned field, or a
heat map of one number per run over two scanned fields."""

import math
from typing import Any

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from .base import axes_of, axis_label, format_value, transition

# The curve drawn for each record kind: (x column, y column).
_CURVE = {"heat": (None, "Cp"), "heat-mean-field": ("T", "Cp"), "phase": ("T", None),
          "coexist": ("T", "dH"), "size": ("nu", "T_peak")}


def _scan_column(records, name):
    """The records' column of the scanned field ``name``."""
    names = records.attrs.get("scan") or []
    if name not in names:
        raise ValueError("--by/--map: '%s' is not a scanned field (the scan varies %s)"
                         % (name, ", ".join(names) or "nothing"))
    return name + "_scan" if name + "_scan" in records.columns else name


def curves(records: pd.DataFrame, by: str, ax: Any = None, y: str | None = None,
           unit: str | None = None) -> Any:
    """One curve per run, coloured by the value of the scanned field ``by``;
    the legend names each value once."""
    kind = records.attrs.get("kind")
    col = _scan_column(records, by)
    x, ydef = _CURVE.get(kind, (None, None))
    first = len(records.attrs.get("scan") or []) + 1
    x = x or records.columns[first]
    if y is None:
        y = ydef or next(c for c in records.columns[first:] if c.startswith("x_"))
    if y not in records.columns:
        raise ValueError("plot: the records have no column '%s'" % y)
    ax = axes_of(ax)
    values = sorted(records[col].unique())
    cmap = plt.get_cmap("viridis")
    colour = {v: cmap(i / max(len(values) - 1, 1)) for i, v in enumerate(values)}
    labelled = set()
    for run, g in records.groupby("run", sort=True):
        v = g[col].iloc[0]
        label = None if v in labelled else "%s = %s" % (by, format_value(v))
        labelled.add(v)
        ax.plot(g[x], g[y], color=colour[v], linewidth=1, label=label)
    ax.set_xlabel(axis_label(x, records, unit))
    ax.set_ylabel(axis_label(y, records, unit))
    if len(values) <= 12:
        ax.legend(fontsize="small")
    return ax


def per_run(records: pd.DataFrame, value: str) -> pd.Series:
    """One number per run: ``COL_max`` / ``COL_min`` (largest / smallest
    value of a column), ``X_at_COL_max`` (X where COL is largest, e.g.
    ``T_at_Cp_max``), ``T_transition`` (the largest jump of the fluid
    fraction of a phase sweep).  Returns a Series indexed by run."""
    first = len(records.attrs.get("scan") or []) + 1
    cols = list(records.columns[first:])
    groups = records.groupby("run", sort=True)
    if value == "T_transition":
        return groups.apply(lambda g: transition(g[cols]))
    if "_at_" in value and value.endswith(("_max", "_min")):
        x, _, rest = value.partition("_at_")
        c, how = rest[:-4], rest[-3:]
        for name in (x, c):
            if name not in cols:
                raise ValueError("--value: the records have no column '%s'" % name)

        def at(g):
            s = g[c].dropna()
            if s.empty:
                return math.nan
            return g.loc[s.idxmax() if how == "max" else s.idxmin(), x]
        return groups.apply(at)
    for how in ("max", "min"):
        if value.endswith("_" + how) and value[:-4] in cols:
            return getattr(groups[value[:-4]], how)()
    raise ValueError("--value: expected COL_max, COL_min, X_at_COL_max, X_at_COL_min or "
                     "T_transition with columns of the records (%s), got %r"
                     % (", ".join(cols), value))


def heat_map(records: pd.DataFrame, runs: pd.DataFrame, fields: Any, value: str, ax: Any = None,
             unit: str | None = None) -> Any:
    """A heat map of ``value`` (see per_run) over two scanned fields (x, y)."""
    xname, yname = fields
    for name in fields:
        _scan_column(records, name)
    v = per_run(records, value)
    table = runs.set_index("run")[[xname + "_scan" if xname + "_scan" in runs else xname,
                                   yname + "_scan" if yname + "_scan" in runs else yname]]
    table.columns = ["x", "y"]
    table = table.join(v.rename("v"), how="left")
    grid = table.pivot_table(index="y", columns="x", values="v", aggfunc="first", dropna=False)
    ax = axes_of(ax)
    xs, ys = grid.columns.to_numpy(float), grid.index.to_numpy(float)
    mesh = ax.pcolormesh(_edges(xs), _edges(ys), grid.to_numpy(float), shading="flat",
                         cmap="viridis")
    ax.figure.colorbar(mesh, ax=ax, label=value)
    ax.set_xlabel(axis_label(xname, records, unit) if xname in records.attrs.get("units", {})
                  else xname)
    ax.set_ylabel(yname)
    return ax


def _edges(centres):
    if len(centres) == 1:
        return np.array([centres[0] - 0.5, centres[0] + 0.5])
    mid = (centres[1:] + centres[:-1]) / 2
    return np.concatenate([[2 * centres[0] - mid[0]], mid, [2 * centres[-1] - mid[-1]]])
