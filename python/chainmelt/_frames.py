"""The DataFrames of the engine's results."""

import functools

import numpy as np
import pandas as pd


@functools.lru_cache(maxsize=64)
def _column_index(names: tuple) -> pd.Index:
    # An Index is immutable: frames of the same task and variant share one.
    return pd.Index(names)


def _frame(result, task):
    rows = result["rows"]
    columns = result["columns"]
    # One block of doubles without a copy (the engine's table, which nothing
    # else holds), then the integer columns put in place: a frame of a few
    # rows is made several times faster so than column by column (what a loop
    # of one-point calls pays for).
    names = _column_index(tuple(c[0] for c in columns))
    df = pd.DataFrame(rows.reshape(len(rows), len(columns)), columns=names,
                      index=pd.RangeIndex(len(rows)), copy=False)
    for j, (_, _, integer) in enumerate(columns):
        if integer and len(rows) and np.isfinite(rows[:, j]).all():
            df.isetitem(j, rows[:, j].astype(np.int64))
    set_attrs(df, result["kind"], task, result["parameters"],
              {c[0]: c[1] for c in result["columns"]})
    return df


def set_attrs(df: pd.DataFrame, kind: str, task: str, parameters: dict, units: dict) -> None:
    df.attrs["kind"] = kind
    df.attrs["task"] = task
    df.attrs["parameters"] = dict(parameters)
    df.attrs["units"] = dict(units)
