"""What the plots share: frames, labels, axes and the transition of a phase sweep."""

import math
from typing import Any

import matplotlib.pyplot as plt
import pandas as pd

# Parameters that do not tell runs apart in a legend.
_NOT_IN_LEGEND = {"approx", "threads"}


def frames_of(df: Any) -> list:
    if isinstance(df, pd.DataFrame):
        return [df]
    frames = list(df)
    if not frames or not all(isinstance(f, pd.DataFrame) for f in frames):
        raise TypeError("expected a DataFrame or a list of DataFrames")
    return frames


def format_value(v: Any) -> str:
    return "%g" % v if isinstance(v, float) else str(v)


def labels(frames: list) -> list:
    """Legend texts: the parameters whose values differ between the frames
    ("w = -240"), else the files they were read from, else numbers."""
    params = [f.attrs.get("parameters") or {} for f in frames]
    keys = []
    for k in params[0] if params else []:
        if k in _NOT_IN_LEGEND:
            continue
        vals = [p.get(k) for p in params]
        if any(not same_value(v, vals[0]) for v in vals[1:]):
            keys.append(k)
    if len(frames) > 1 and keys:
        return [", ".join("%s = %s" % (k, format_value(p.get(k))) for k in keys) for p in params]
    sources = [f.attrs.get("source") for f in frames]
    if len(frames) > 1 and all(sources):
        return sources
    return [None if len(frames) == 1 else "curve %d" % (i + 1) for i in range(len(frames))]


def same_value(a: Any, b: Any) -> bool:
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == b


def axis_label(name: str, df: pd.DataFrame, unit: str | None) -> str:
    """The label of a column: its name and unit; energies and heat
    capacities are per site (one chain)."""
    u = (df.attrs.get("units") or {}).get(name)
    if u == "temperature":
        return "%s (%s)" % (name, unit) if unit else name
    if u == "energy":
        return "%s (%s per site = one chain)" % (name, unit) if unit else \
            "%s (per site = one chain)" % name
    if u == "k_B":
        return "%s (k_B per site = one chain)" % name
    if u and u != "1":
        return "%s (%s)" % (name, u)
    return name


def axes_of(ax: Any) -> Any:
    if ax is None:
        _, ax = plt.subplots()
    return ax


def legend(ax: Any, texts: list) -> None:
    if any(texts):
        ax.legend()


def fluid_columns(df: pd.DataFrame) -> list:
    cols = [c for c in df.columns if c.startswith("x_") and c.endswith("f")]
    if not cols:
        raise ValueError("plot.phase: expected a phase record (columns x_f ...)")
    return cols


def transition(df: pd.DataFrame, column: str | None = None) -> float:
    """The temperature between the two sweep points with the largest jump of
    the fluid fraction (NaN for fewer than two points)."""
    column = column or fluid_columns(df)[0]
    d = df[["T", column]].dropna()
    if len(d) < 2:
        return math.nan
    jumps = d[column].diff().abs().to_numpy()[1:]
    k = int(jumps.argmax())
    return float((d["T"].iloc[k] + d["T"].iloc[k + 1]) / 2)
