"""Results as xarray Datasets: a scan as a grid, a task's result along its sweep.

A scan's Dataset has one dimension per scanned field (the fields of a zip
group share one dimension, named by joining them with "_", each field a
coordinate along it) and, for sweeps, the sweep variable (``T``, or ``dH``
for enthalpy sweeps; ``nu`` for the ligand-size task).  The record columns
are its variables, ``status``, ``message`` and ``run`` (the run's number)
are variables over the scanned dimensions alone.  A run that is not ok
holds NaN in every record variable, as does a sweep point a run did not
reach; a grid point with no run yet has the status "" and run 0.  The units are each
variable's ``units`` attribute ("temperature" and "energy": the model's unit,
"k_B", "1"), the base fields of the scan and its kind the Dataset's
attributes.  Names follow the records table: a scanned field that is also a
record column is ``NAME_scan``.

A task's DataFrame (``chainmelt.heat(...)`` and the others) becomes a
Dataset along its sweep variable in the same way, its parameters the
Dataset's attributes.
"""

from __future__ import annotations

import numbers
import os
from typing import Any, Sequence

import numpy as np
import pandas as pd

from ._fields import ENERGY_FIELDS, FIELD_TYPES

#: The file ``--format netcdf`` writes in a results directory.
NETCDF = "records.nc"

_TEMPERATURE_FIELDS = ("T", "Tm", "T_min", "T_max", "dT")
_RUN_VARIABLES = ("run", "status", "message")


def _xarray():
    try:
        import xarray
    except ImportError:
        raise ImportError("chainmelt: Datasets need xarray (Debian: python3-xarray)") from None
    return xarray


def netcdf_missing() -> str | None:
    """What writing NetCDF lacks ("xarray", "netCDF4"), or None."""
    import importlib
    for name in ("xarray", "netCDF4"):
        try:
            importlib.import_module(name)
        except ImportError:
            return name
    return None


def field_unit(name: str) -> str:
    """The unit of a scanned field, in the words of the records' units ("" for
    a field that is not a number)."""
    if FIELD_TYPES.get(name, "number") != "number":
        return ""
    if name in ENERGY_FIELDS:
        return "energy"
    if name in _TEMPERATURE_FIELDS:
        return "temperature"
    if name in ("dS", "dS2"):
        return "k_B"
    return "1"


def _attr_value(v: Any) -> Any:
    """A parameter as a NetCDF attribute holds it: a number or text."""
    if isinstance(v, (bool, np.bool_)):
        return str(bool(v)).lower()
    if isinstance(v, numbers.Integral):
        return int(v)
    if isinstance(v, numbers.Real):
        return float(v)
    if isinstance(v, (list, tuple, np.ndarray)):
        return ":".join(str(_attr_value(x)) for x in v)
    return str(v)


def _parsed(name: str, text: Any) -> Any:
    """A base field of a scan (text in its table) as the number it is."""
    if not isinstance(text, str):
        return text
    kind = FIELD_TYPES.get(name)
    try:
        if kind == "number":
            return float(text)
        if kind in ("variant", "threads", "count"):
            return int(text)
    except ValueError:
        pass
    return text


def _sweep_dim(task: str | None, parameters: dict, columns: Sequence[str]) -> str | None:
    """The record column that the sweep visits, or None (a task that is not
    swept, such as crit)."""
    if task == "crit":
        return None
    if task == "size":
        name = "nu"
    else:
        sweep = str(parameters.get("sweep", "T"))
        name = "dH" if sweep == "H" or "dH-sweep" in parameters or "dH_sweep" in parameters \
            else "T"
    return name if name in columns else None


def _along(values: np.ndarray) -> bool:
    """Values that can index a dimension: no repeats, no NaN."""
    v = pd.Series(values)
    return not v.isna().any() and v.is_unique


def _units(ds: Any, units: dict) -> None:
    for name, unit in units.items():
        if name in ds.variables and unit:
            ds[name].attrs["units"] = unit


def to_dataset(df: pd.DataFrame, runs: pd.DataFrame | None = None) -> Any:
    """An xarray Dataset of a task's result, or of a scan's records.

    Parameters
    ----------
    df : pandas.DataFrame
        A task's result (``chainmelt.heat(...)`` and the others, or
        :func:`chainmelt.read`), or a scan's records.
    runs : pandas.DataFrame, optional
        The scan's runs table; required with a scan's records
        (``to_dataset(*chainmelt.read_scan(DIR))``).

    Returns
    -------
    xarray.Dataset
        A task's result along its sweep variable (the dimension ``record``
        where the sweep is not a column or repeats a value), its parameters
        the Dataset's attributes; a scan over its scanned fields and the sweep
        (see the module's description).  Each variable's unit is its ``units``
        attribute.

    Raises
    ------
    ValueError
        A scan's records without their runs table.
    ImportError
        xarray is not installed.
    """
    if "scan" in df.attrs:
        if runs is None:
            raise ValueError("to_dataset: a scan's records need its runs table "
                             "(to_dataset(*chainmelt.read_scan(DIR)))")
        return _scan_dataset(df, runs)
    xr = _xarray()
    parameters = dict(df.attrs.get("parameters", {}))
    task = df.attrs.get("task", parameters.get("task"))
    dim = _sweep_dim(task, parameters, list(df.columns))
    if dim is None or not _along(df[dim].to_numpy()):
        dim = "record"
        ds = xr.Dataset({c: ("record", df[c].to_numpy()) for c in df.columns})
    else:
        ds = xr.Dataset({c: (dim, df[c].to_numpy()) for c in df.columns if c != dim},
                        coords={dim: df[dim].to_numpy()})
    _units(ds, dict(df.attrs.get("units", {})))
    ds.attrs.update({k: _attr_value(v) for k, v in parameters.items()})
    for key in ("kind", "task"):
        if df.attrs.get(key) is not None:
            ds.attrs[key] = str(df.attrs[key])
    return ds


def _factors(names: list, runs: pd.DataFrame) -> list:
    """The scanned fields grouped as the grid pairs them: neighbours whose
    values determine each other in every run are one zip group.  (The
    directory keeps no description of the grid; in a complete scan fields of
    a product never look paired.  One not yet complete may, in the rare case
    that only runs on a diagonal of two fields are done.)"""
    factors: list = []
    for name in names:
        if factors:
            last = factors[-1][-1]
            pairs = runs[[last, name]].astype(str).drop_duplicates()
            if (len(pairs) > 1 and pairs[last].is_unique and pairs[name].is_unique):
                factors[-1].append(name)
                continue
        factors.append([name])
    return factors


def _place(by_run: pd.DataFrame, factors: list) -> tuple:
    """(dims, coords, shape, flat index of each run's cell) of a grid."""
    dims, coords, index = [], {}, []
    for group in factors:
        dim = "_".join(group)
        # The values in the order the grid visits them (that of the run numbers).
        codes, seen = pd.factorize(pd.MultiIndex.from_frame(by_run[group]))
        index.append(codes)
        dims.append(dim)
        for j, name in enumerate(group):
            values = seen.get_level_values(j).to_numpy()
            field = name[:-5] if name.endswith("_scan") else name
            if FIELD_TYPES.get(field) == "number" and values.dtype.kind in "iu":
                values = values.astype(float)   # whole numbers, written without ".0"
            coords[name] = (dim, values)
    shape = tuple(len(coords[g[0]][1]) for g in factors)
    flat = np.ravel_multi_index(tuple(index), shape) if len(by_run) else np.zeros(0, int)
    return dims, coords, shape, flat


def _scan_dataset(records: pd.DataFrame, runs: pd.DataFrame) -> Any:
    xr = _xarray()
    names = list(records.attrs["scan"])
    parameters = dict(records.attrs.get("parameters", {}))
    units = dict(records.attrs.get("units", {}))
    run_columns = list(runs.columns)
    # The scanned fields by their column names in the records table.
    scan_cols = [c for c in records.columns[1:1 + len(names)]]
    if len(scan_cols) != len(names):
        raise ValueError("to_dataset: the records do not start with the scanned fields")
    by_run = runs.rename(columns=dict(zip(run_columns[2:2 + len(names)], scan_cols)))
    factors = _factors(scan_cols, by_run)
    dims, coords, shape, flat = _place(by_run, factors)
    for name in scan_cols:
        field = name[:-5] if name.endswith("_scan") else name
        if not units.get(name):
            units[name] = field_unit(field)

    data: dict = {}
    number = np.zeros(shape, dtype=np.int64)
    number.flat[flat] = by_run["run"].to_numpy()
    data["run"] = (dims, number)
    for name in ("status", "message"):
        cells = np.full(shape, "", dtype=object)
        cells.flat[flat] = by_run[name].astype(str).to_numpy()
        data[name] = (dims, cells)

    task = parameters.get("task")
    record_cols = [c for c in records.columns[1 + len(names):]]
    ok_runs = set(by_run.loc[by_run["status"] == "ok", "run"])
    rows = records[records["run"].isin(ok_runs)]
    cell_of_run = dict(zip(by_run["run"], flat))
    cell = rows["run"].map(cell_of_run).to_numpy()
    sweep = _sweep_dim(task, parameters, record_cols)
    per_run = rows.groupby("run").size()
    if (sweep is not None and not rows[sweep].isna().any()
            and not rows.duplicated(["run", sweep]).any()):
        along = rows[sweep].to_numpy(dtype=float)
        axis = np.sort(pd.unique(along))
        position = np.searchsorted(axis, along)
        coords[sweep] = (sweep, axis)
        extra = [sweep]
    elif len(per_run) and per_run.max() > 1:
        sweep, extra = None, ["record"]
        position = rows.groupby("run").cumcount().to_numpy()
        axis = np.arange(per_run.max())
    else:
        sweep, extra, position, axis = None, [], np.zeros(0, int), np.zeros(0)
    full = shape + ((len(axis),) if extra else ())
    for c in record_cols:
        if c == sweep:
            continue
        values = rows[c].to_numpy(dtype=float)
        grid = np.full(full, np.nan)
        if extra:
            grid.reshape(int(np.prod(shape)), len(axis))[cell, position] = values
        else:
            grid.reshape(-1)[cell] = values
        data[c] = (dims + extra, grid)
    ds = xr.Dataset(data, coords=coords)
    _units(ds, units)
    ds.attrs.update({k: _attr_value(_parsed(k, v)) for k, v in parameters.items()})
    ds.attrs["kind"] = str(records.attrs.get("kind") or "")
    ds.attrs["scanned"] = " ".join(names)
    return ds


def scan_dataset(directory: Any) -> Any:
    """The xarray Dataset of a scan's results directory.

    The same as ``chainmelt.read_scan(directory).to_xarray()``; see the
    module's description for its dimensions, variables and attributes.

    Parameters
    ----------
    directory : str or os.PathLike
        The results directory of :func:`chainmelt.scan`.

    Returns
    -------
    xarray.Dataset
        The scan over its scanned fields and the sweep variable.

    Raises
    ------
    ScanError
        The directory's tables are damaged (the message names the file and the
        offset).
    """
    from .scan.store import read_scan
    records, runs = read_scan(directory)
    return _scan_dataset(records, runs)


def write_netcdf(ds: Any, path: str | os.PathLike) -> str:
    """Writes a Dataset as NetCDF; a reader sees the old file or the new one, never a part.

    Parameters
    ----------
    ds : xarray.Dataset
        The Dataset.
    path : str or os.PathLike
        The file.

    Returns
    -------
    str
        The path written.
    """
    from ._output import write_output
    return write_output(path, lambda tmp: ds.to_netcdf(tmp, engine="netcdf4"))
