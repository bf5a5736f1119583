"""The DataFrames of the engine's results."""

import functools
from typing import Any

import numpy as np
import pandas as pd


@functools.lru_cache(maxsize=64)
def _column_index(names: tuple) -> pd.Index:
    # An Index is immutable: frames of the same task and variant share one.
    return pd.Index(names)


class _Layout:
    """What every frame of one record layout shares: the column index, the
    units, and the positions of the integer and the other columns."""

    __slots__ = ("names", "units", "integer", "floating", "placements")

    def __init__(self, columns: tuple) -> None:
        self.names = _column_index(tuple(c[0] for c in columns))
        self.units = {c[0]: c[1] for c in columns}
        self.integer = np.array([j for j, c in enumerate(columns) if c[2]], dtype=np.intp)
        self.floating = np.array([j for j, c in enumerate(columns) if not c[2]], dtype=np.intp)
        # of the blocks where every integer column is whole
        self.placements: tuple[Any, Any] | None = None


@functools.lru_cache(maxsize=64)
def _layout(columns: tuple) -> _Layout:
    return _Layout(columns)


def _public_frame(rows: np.ndarray, layout: _Layout, whole: np.ndarray) -> pd.DataFrame:
    """The frame through the constructor and column assignment only."""
    df = pd.DataFrame(rows, columns=layout.names, index=pd.RangeIndex(len(rows)), copy=False)
    for j in whole:
        df.isetitem(int(j), rows[:, j].astype(np.int64))
    return df


def _block_frame(rows: np.ndarray, layout: _Layout, whole: np.ndarray) -> pd.DataFrame:
    """The same frame made of two blocks at once (doubles, whole numbers), through
    the block interface pandas keeps for other libraries: a frame of a few rows
    is several times cheaper so than with the integer columns set one by one
    (what a loop of one-point calls pays for)."""
    floating = layout.floating
    if len(whole) == len(layout.integer):
        if layout.placements is None:
            layout.placements = (_placement(floating), _placement(whole))
        at_floating, at_whole = layout.placements
    else:
        floating = np.sort(np.concatenate([floating, np.setdiff1d(layout.integer, whole)]))
        at_floating, at_whole = _placement(floating), _placement(whole)
    # Every column a double: the engine's table itself, as the constructor takes it.
    doubles = rows if len(floating) == rows.shape[1] else rows[:, floating]
    blocks = [_make_block(doubles.T, placement=at_floating)]
    if len(whole):
        blocks.append(_make_block(rows[:, whole].T.astype(np.int64), placement=at_whole))
    # The blocks fit the axes by construction: no check of that.
    manager = _BlockManager(tuple(blocks), [layout.names, pd.RangeIndex(len(rows))],
                            verify_integrity=False)
    return _from_manager(manager)


try:
    from pandas._libs.internals import BlockPlacement as _placement
    from pandas.core.internals import BlockManager as _BlockManager
    try:
        # The two-dimensional block of an array whose shape and placement are
        # known to fit, without the checks of the general maker below.
        from pandas.core.internals.blocks import new_block_2d

        def _make_block(values, placement):
            return new_block_2d(values, placement=placement)
    except ImportError:
        from pandas.core.internals.api import make_block as _make_block  # type: ignore[no-redef]

    if hasattr(pd.DataFrame, "_from_mgr"):
        def _from_manager(manager):
            return pd.DataFrame._from_mgr(manager, axes=manager.axes)
    else:
        def _from_manager(manager):
            return pd.DataFrame(manager, copy=False)
    _build = _block_frame
except (ImportError, AttributeError):  # pragma: no cover - a pandas without that interface
    _build = _public_frame
_checked = _build is _public_frame


def _same(a: pd.DataFrame, b: pd.DataFrame) -> bool:
    return (list(a.columns) == list(b.columns) and list(a.dtypes) == list(b.dtypes)
            and a.index.equals(b.index) and a.equals(b)
            and all(np.array_equal(a.iloc[:, j].to_numpy(), b.iloc[:, j].to_numpy(),
                                   equal_nan=True) for j in range(a.shape[1])))


def _check_blocks() -> None:
    """The block path is kept only if its frames equal the public path's, tried once
    on a sample with an integer column whole and one with a missing value (a pandas
    whose block interface has changed falls back)."""
    global _build, _checked
    _checked = True
    sample = _Layout((("a", "", False), ("b", "", True), ("c", "", True), ("d", "", False)))
    rows = np.array([[1.5, 2.0, 3.0, -0.0], [np.nan, -4.0, np.nan, 1e300]])
    try:
        ok = all(_same(_block_frame(r, sample, w), _public_frame(r, sample, w))
                 for r, w in ((rows, sample.integer[:1]), (rows[:1], sample.integer),
                              (rows, sample.integer[:0]), (rows[:0], sample.integer[:0])))
    except Exception:  # noqa: BLE001 - any failure of the interface means: do not use it
        ok = False
    if not ok:
        _build = _public_frame


def _frame(result, task):
    rows = result["rows"]
    columns = result["columns"]
    layout = _layout(tuple(columns))
    rows = rows.reshape(len(rows), len(columns))
    # The integer columns become int64 where every value is a number (a column
    # with a missing value stays a column of doubles).
    whole = layout.integer
    if len(whole):
        whole = (whole[np.isfinite(rows[:, whole]).all(axis=0)] if len(rows)
                 else whole[:0])
    if not _checked:
        _check_blocks()
    df = _build(rows, layout, whole)
    attrs = df.attrs
    attrs["kind"] = result["kind"]
    attrs["task"] = task
    attrs["parameters"] = dict(result["parameters"])
    attrs["units"] = dict(layout.units)
    return df


def set_attrs(df: pd.DataFrame, kind: str, task: str, parameters: dict, units: dict) -> None:
    df.attrs["kind"] = kind
    df.attrs["task"] = task
    df.attrs["parameters"] = dict(parameters)
    df.attrs["units"] = dict(units)
