"""Plots of a scan's results: curves overlaid by one scanned field, or a
heat map of one number per run over two scanned fields.

``where`` ({FIELD: VALUE}, the command line's ``--where FIELD=VALUE``)
selects the runs to plot.  When the selected runs differ in scanned fields
besides the plotted ones, there is one panel per combination of their
values (each titled by it), up to ``MAX_PANELS``; beyond that the plot is
refused with a message naming ``--where``.  Both functions return the
matplotlib Figure they drew on, as every plot function of the package."""

import math
from typing import Any, Mapping

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from matplotlib.colors import LogNorm

from .._fields import field_unit
from .base import axis_label, format_value, transition

# The curve drawn for each record kind: (x column, y column).
_CURVE = {"heat": (None, "Cp"), "heat-mean-field": ("T", "Cp"), "phase": ("T", None),
          "coexist": ("T", "dH"), "size": ("nu", "T_peak")}
#: Panels of one figure at most; more runs must be selected with ``where``.
MAX_PANELS = 12


def _scan_column(records, name, option="--by/--map"):
    """The records' column of the scanned field ``name``."""
    names = records.attrs.get("scan") or []
    if name not in names:
        raise ValueError("%s: '%s' is not a scanned field (the scan varies %s)"
                         % (option, name, ", ".join(names) or "nothing"))
    return name + "_scan" if name + "_scan" in records.columns else name


def parse_where(pairs: Any) -> dict:
    """The ``{FIELD: VALUE}`` of ``--where FIELD=VALUE`` texts.

    Parameters
    ----------
    pairs : sequence of str or None
        The texts; every VALUE a number.

    Returns
    -------
    dict

    Raises
    ------
    ValueError
        A text that is not FIELD=NUMBER.
    """
    out = {}
    for p in pairs or []:
        key, eq, value = p.partition("=")
        try:
            if not eq or not key:
                raise ValueError
            out[key.strip()] = float(value)
        except ValueError:
            raise ValueError("--where: expected FIELD=VALUE with a number, got %r" % p) from None
    return out


def _per_run_fields(records):
    """DataFrame indexed by run of the scanned fields' values."""
    names = records.attrs.get("scan") or []
    cols = [_scan_column(records, n) for n in names]
    table = records.groupby("run", sort=True)[cols].first()
    table.columns = names
    return table


def select(records: pd.DataFrame, where: Mapping | None) -> pd.DataFrame:
    """The records of the runs whose scanned fields have the given values.

    Parameters
    ----------
    records : pandas.DataFrame
        A scan's records.
    where : dict or None
        ``{field: value}``; a value matches to within 1e-9 relative.

    Returns
    -------
    pandas.DataFrame
        The records of those runs.
    """
    if not where:
        return records
    fields = _per_run_fields(records)
    keep = pd.Series(True, index=fields.index)
    for name, value in where.items():
        _scan_column(records, name, "--where")
        column = fields[name].astype(float)
        match = np.isclose(column, float(value), rtol=1e-9, atol=0)
        if not match.any():
            raise ValueError("--where %s=%s: no run has that value (the scan's values of %s "
                             "are %s)" % (name, format_value(float(value)), name,
                                          _values_text(column)))
        keep &= match
    if not keep.any():
        raise ValueError("--where: no run has all of %s"
                         % ", ".join("%s=%s" % (k, format_value(float(v)))
                                     for k, v in where.items()))
    out = records[records["run"].isin(fields.index[keep.to_numpy()])]
    out.attrs.update(records.attrs)
    return out


def _values_text(column):
    values = sorted(pd.unique(column))
    text = ", ".join(format_value(float(v)) for v in values[:8])
    return text + (", ..." if len(values) > 8 else "")


def _panels(records, plotted, what):
    """[(title, records of the panel)]: one per combination of the values of
    the scanned fields besides ``plotted`` that differ among the runs."""
    fields = _per_run_fields(records)
    others = [n for n in fields.columns if n not in plotted and fields[n].nunique() > 1]
    if not others:
        return [("", records)], others
    combos = fields[others].drop_duplicates().sort_values(others)
    if len(combos) > MAX_PANELS:
        raise ValueError(
            "%s: the runs also differ in %s (%d combinations, more than %d panels); select "
            "runs with --where, e.g. %s" % (
                what, ", ".join("%s (%d values: %s)" % (n, fields[n].nunique(),
                                                        _values_text(fields[n]))
                                for n in others),
                len(combos), MAX_PANELS,
                " ".join("--where %s=%s" % (n, format_value(float(fields[n].iloc[0])))
                         for n in others)))
    out = []
    for _, combo in combos.iterrows():
        mask = np.ones(len(fields), dtype=bool)
        for n in others:
            mask &= (fields[n] == combo[n]).to_numpy()
        runs = fields.index[mask]
        part = records[records["run"].isin(runs)]
        part.attrs.update(records.attrs)
        out.append((", ".join("%s = %s" % (n, format_value(float(combo[n]))) for n in others),
                    part))
    return out, others


def _figure(ax, n):
    """Axes for n panels: new ones, or those given (as many as panels)."""
    if ax is None:
        cols = min(n, 3)
        rows = math.ceil(n / cols)
        fig, axes = plt.subplots(rows, cols, squeeze=False, sharex=True, sharey=True,
                                 figsize=(4.8 * cols if n > 1 else 6.4, 3.6 * rows if n > 1
                                          else 4.8))
        axes = list(axes.ravel())
        for extra in axes[n:]:
            extra.remove()
        return fig, axes[:n]
    axes = list(ax) if isinstance(ax, (list, tuple, np.ndarray)) else [ax]
    if len(axes) != n:
        raise ValueError("ax: %d Axes given for %d panels (select runs with where=)"
                         % (len(axes), n))
    return axes[0].figure, axes


def field_label(name: str, unit: str | None) -> str:
    """The axis label of a scanned field, with its unit."""
    kind = field_unit(name)
    if kind in ("energy", "temperature"):
        return "%s (%s)" % (name, unit) if unit else "%s (%s)" % (name, kind)
    if kind == "k_B":
        return "%s (k_B)" % name
    return name


def curves(records: pd.DataFrame, by: str, ax: Any = None, y: str | None = None,
           unit: str | None = None, where: Mapping | None = None) -> Any:
    """One curve per run of a scan, coloured by the value of the scanned field ``by``.

    The legend names each value once, with every other scanned field whose
    value differs among the curves of its panel.  Runs that differ in scanned
    fields not plotted get a panel for each combination of their values (up to
    12).

    Parameters
    ----------
    records : pandas.DataFrame
        A scan's records (:func:`chainmelt.read_scan`).
    by : str
        The scanned field that colours the curves.
    ax : matplotlib.axes.Axes or sequence of them, optional
        One Axes per panel (default: a new figure).
    y : str, optional
        The record column to draw (default: the task's usual one, ``Cp`` for
        heat).
    unit : str, optional
        The run's energy and temperature unit for the axis labels.
    where : dict, optional
        ``{field: value}``: only the runs with these scanned values.

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn on (its panels are ``fig.axes``).

    Raises
    ------
    ValueError
        ``by`` or a field of ``where`` is not a scanned field, or ``y`` is not a
        record column.
    """
    col = _scan_column(records, by)
    records = select(records, where)
    kind = records.attrs.get("kind")
    x, ydef = _CURVE.get(kind, (None, None))
    first = len(records.attrs.get("scan") or []) + 1
    x = x or records.columns[first]
    if y is None:
        y = ydef or next(c for c in records.columns[first:] if c.startswith("x_"))
    if y not in records.columns:
        raise ValueError("plot: the records have no column '%s'" % y)
    panels, _ = _panels(records, [by], "--by %s" % by)
    fig, axes = _figure(ax, len(panels))
    values = sorted(records[col].unique())
    cmap = plt.get_cmap("viridis")
    colour = {v: cmap(i / max(len(values) - 1, 1)) for i, v in enumerate(values)}
    for a, (title, part) in zip(axes, panels):
        fields = _per_run_fields(part)
        differ = [by] + [n for n in fields.columns if n != by and fields[n].nunique() > 1]
        labelled = set()
        for run, g in part.groupby("run", sort=True):
            key = tuple(fields.loc[run, n] for n in differ)
            label = None if key in labelled else ", ".join(
                "%s = %s" % (n, format_value(float(v))) for n, v in zip(differ, key))
            labelled.add(key)
            a.plot(g[x], g[y], color=colour[g[col].iloc[0]], linewidth=1, label=label)
        a.set_xlabel(axis_label(x, records, unit))
        a.set_ylabel(axis_label(y, records, unit))
        if title:
            a.set_title(title, fontsize="medium")
        if len(labelled) <= 12:
            a.legend(fontsize="small")
    return fig


def per_run(records: pd.DataFrame, value: str) -> pd.Series:
    """One number per run of a scan.

    Parameters
    ----------
    records : pandas.DataFrame
        A scan's records.
    value : str
        ``COL_max`` or ``COL_min`` (the largest or smallest value of a record
        column), ``X_at_COL_max`` (X where COL is largest, e.g.
        ``T_at_Cp_max``) or ``T_transition`` (the largest jump of the fluid
        fraction of a phase sweep).

    Returns
    -------
    pandas.Series
        Indexed by run.
    """
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


def value_label(records: pd.DataFrame, value: str, unit: str | None) -> str:
    """The colour-bar label of a per-run value, with the unit of its column."""
    if value == "T_transition":
        column = "T"
    elif "_at_" in value:
        column = value.partition("_at_")[0]
    else:
        column = value[:-4]
    label = axis_label(column, records, unit)
    return value + label[len(column):]


def heat_map(records: pd.DataFrame, runs: pd.DataFrame, fields: Any, value: str, ax: Any = None,
             unit: str | None = None, where: Mapping | None = None, log: bool = False) -> Any:
    """A heat map of one number per run over two scanned fields.

    Parameters
    ----------
    records, runs : pandas.DataFrame
        A scan's tables (:func:`chainmelt.read_scan`).
    fields : pair of str
        The scanned fields of the x and the y axis.
    value : str
        The number of each run, as :func:`per_run` names it (``"Cp_max"``,
        ``"T_at_Cp_max"``, ``"T_transition"``).
    ax : matplotlib.axes.Axes or sequence of them, optional
        One Axes per panel (default: a new figure).
    unit : str, optional
        The run's energy and temperature unit for the axis labels.
    where : dict, optional
        ``{field: value}``: only the runs with these scanned values.
    log : bool, default False
        A logarithmic colour scale (the values must be positive).

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn on (its panels are ``fig.axes``).
    """
    xname, yname = fields
    if xname == yname:
        raise ValueError("--map: expected two different fields, got %s twice" % xname)
    for name in fields:
        _scan_column(records, name)
    records = select(records, where)
    panels, _ = _panels(records, [xname, yname], "--map %s,%s" % (xname, yname))
    per_panel = [(title, per_run(part, value), _per_run_fields(part)) for title, part in panels]
    allv = pd.concat([v for _, v, _ in per_panel]).to_numpy(float)
    finite = allv[np.isfinite(allv)]
    norm = None
    if log:
        if finite.size and (finite <= 0).any():
            raise ValueError("--log: %s has values that are not positive (smallest %s); a "
                             "log colour scale needs positive values"
                             % (value, format_value(float(finite.min()))))
        if finite.size:
            norm = LogNorm(vmin=finite.min(), vmax=finite.max())
    fig, axes = _figure(ax, len(panels))
    vmin, vmax = (finite.min(), finite.max()) if finite.size and norm is None else (None, None)
    mesh = None
    for a, (title, v, table) in zip(axes, per_panel):
        table = table[[xname, yname]].set_axis(["x", "y"], axis=1)
        table = table.join(v.rename("v"), how="left")
        grid = table.pivot_table(index="y", columns="x", values="v", aggfunc="first",
                                 dropna=False)
        xs, ys = grid.columns.to_numpy(float), grid.index.to_numpy(float)
        mesh = a.pcolormesh(_edges(xs), _edges(ys), grid.to_numpy(float), shading="flat",
                            cmap="viridis", norm=norm, vmin=vmin, vmax=vmax)
        a.set_xlabel(field_label(xname, unit))
        a.set_ylabel(field_label(yname, unit))
        if title:
            a.set_title(title, fontsize="medium")
    fig.colorbar(mesh, ax=axes, label=value_label(records, value, unit))
    return fig


def _edges(centres):
    if len(centres) == 1:
        return np.array([centres[0] - 0.5, centres[0] + 0.5])
    mid = (centres[1:] + centres[:-1]) / 2
    return np.concatenate([[2 * centres[0] - mid[0]], mid, [2 * centres[-1] - mid[-1]]])
