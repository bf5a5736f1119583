"""Reading the result files of the command line into DataFrames."""

import hashlib
import json
import math
import os
import re
import warnings
from typing import Any

import numpy as np
import pandas as pd

from . import _core
from ._fields import FIELD_TYPES, settings, unit_text
from ._output import meta_path, write_table
from .runs import set_attrs

_PAIR = re.compile(r'(\w+)=("(?:[^"\\]|\\.)*"|\S*)')


def _value(name, text):
    if text.startswith('"'):
        return json.loads(text)
    kind = FIELD_TYPES.get(name)
    if name == "exact_sweep":
        return text == "true"
    if kind in ("variant", "threads", "count"):
        return int(text)
    if kind == "number":
        return float(text)
    return text


def _number(text):
    text = text.strip()
    return float(text) if text else math.nan


def _frame(names, rows, kind, parameters, units, integer, path):
    width = len(names)
    data = np.full((len(rows), width), math.nan)
    for i, row in enumerate(rows):
        if len(row) > width:
            raise ValueError("%s: record %d has %d fields, the layout %d"
                             % (path, i + 1, len(row), width))
        data[i, :len(row)] = row
    df = pd.DataFrame(data, columns=names)
    for name in integer:
        if len(df) and np.isfinite(df[name].to_numpy()).all():
            df[name] = df[name].astype(np.int64)
    set_attrs(df, kind, parameters.get("task"), parameters, units)
    df.attrs["source"] = str(path)
    return df


def _layout(parameters):
    """kind, columns, parameters of the run that wrote a file."""
    fields = {k: v for k, v in parameters.items()
              if k in FIELD_TYPES and k not in ("search", "threads")}
    try:
        return _core.columns(settings(fields))
    except ValueError as e:
        raise ValueError("parameters of the file: %s" % e.args[0]) from None


def _kind_from_names(names):
    if not names:
        return None
    if names[0] == "nu":
        return "size"
    if "det" in names:
        return "crit"
    if "x_f_err" in names:  # the Monte Carlo method
        return "heat-montecarlo" if "Cp" in names else "phase-montecarlo"
    if names[:3] == ["T", "z", "theta"]:
        return "heat-mean-field"
    if "Cp" in names:
        return "heat"
    if names[:2] == ["T", "dH"]:
        return "coexist"
    return "phase"


def _read_tsv(lines, path):
    head = lines[0][1:].split(None, 2)
    parameters = {k: _value(k, v) for k, v in _PAIR.findall(head[2] if len(head) > 2 else "")}
    units = lines[1].rstrip("\n").split("\t")[1:]
    names = lines[2].rstrip("\n").split("\t")
    rows = [[_number(x) for x in line.rstrip("\n").split("\t")]
            for line in lines[3:] if line.strip()]
    kind, cols, _ = _layout(parameters)
    integer = [c[0] for c in cols if c[2]]
    return _frame(names, rows, kind, parameters, dict(zip(names, units)), integer, path)


def _read_jsonl(lines, path):
    head = json.loads(lines[0])
    names = [c["name"] for c in head["columns"]]
    units = {c["name"]: c["unit"] for c in head["columns"]}
    rows = []
    for line in lines[1:]:
        if line.strip():
            rec = json.loads(line)
            rows.append([math.nan if rec.get(n) is None else float(rec[n]) for n in names])
    parameters = head.get("parameters", {})
    _, cols, _ = _layout(parameters)
    integer = [c[0] for c in cols if c[2]]
    return _frame(names, rows, head.get("kind"), parameters, units, integer, path)


class MetadataWarning(UserWarning):
    """The metadata file beside a CSV file cannot be used (unreadable, or
    written for other contents of the file); the file is read without it."""


def _read_meta(path, names):
    """The metadata beside a CSV file (see ``write_csv``), None if there is
    none or it does not belong to the file (a warning says which)."""
    where = meta_path(path)
    if not os.path.exists(where):
        return None

    def reject(why):
        warnings.warn("%s: %s; the file is read without it" % (where, why), MetadataWarning,
                      stacklevel=4)

    try:
        with open(where, encoding="utf-8") as f:
            meta = json.load(f)
        columns = [c["name"] for c in meta["columns"]]
    except OSError as e:
        return reject("cannot be read: %s" % (e.strerror or e))
    except (ValueError, KeyError, TypeError) as e:
        return reject("is not metadata of a table (%s)" % e)
    if "sha256" in meta or "bytes" in meta:
        # Either check is optional: a writer may give the length only.
        with open(path, "rb") as raw:
            data = raw.read()
        if "bytes" in meta and meta["bytes"] != len(data):
            return reject("was written for other contents of the file (%s bytes, the file "
                          "has %d)" % (meta["bytes"], len(data)))
        if "sha256" in meta and hashlib.sha256(data).hexdigest() != meta["sha256"]:
            return reject("was written for other contents of the file (its checksum "
                          "differs)")
    if columns != names:
        return reject("names the columns %s, the file has %s"
                      % (",".join(columns), ",".join(names)))
    return meta


def _read_csv(lines, path, given):
    names = lines[0].rstrip("\n").split(",")
    rows = [[_number(x) for x in line.rstrip("\n").split(",")] for line in lines[1:]
            if line.strip()]
    meta = _read_meta(path, names)
    if meta is not None:
        parameters = dict(meta.get("parameters") or {})
        units = {c["name"]: c.get("unit", "") for c in meta["columns"]}
        integer = [c["name"] for c in meta["columns"] if c.get("integer")]
        df = _frame(names, rows, meta.get("kind"), parameters, units, integer, path)
        if meta.get("scan"):
            df.attrs["scan"] = list(meta["scan"])
        return df
    if given:
        kind, cols, parameters = _layout(given)
        units = {c[0]: c[1] for c in cols}
    else:
        kind, parameters, units = _kind_from_names(names), {}, {}
        cols = [(n, "", n.startswith("iter") or n == "branch") for n in names]
    integer = [c[0] for c in cols if c[2] and c[0] in names]
    return _frame(names, rows, kind, parameters, units, integer, path)


def _read_classic(lines, path, given):
    if "task" not in given or "n0" not in given:
        raise ValueError("%s: a classic output file holds numbers only; give the run's "
                         "task and n0 (and mode, sweep where they matter), e.g. "
                         "read(path, task='heat', n0=2) or read(path, 'heat', model=m)" % path)
    kind, cols, parameters = _layout(given)
    names = [c[0] for c in cols]
    rows = [[float(x) for x in line.split()] for line in lines
            if line.strip() and not line.startswith("#")]
    return _frame(names, rows, kind, parameters, {c[0]: c[1] for c in cols},
                  [c[0] for c in cols if c[2]], path)


def read(path: Any, task: str | None = None, model: Any = None, **fields: Any) -> pd.DataFrame:
    """Read a result file of the command line into the DataFrame a run returns.

    Every output format is read: TSV (with its parameters and units), JSON
    Lines, CSV and the classic "output.out".

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    task : str, optional
        The task that wrote a classic file (or a CSV file without metadata),
        which does not say so itself.
    model : Model, optional
        The fields of that run, as a Model.
    **fields
        The fields of that run, named as the command line's fields (applied
        after ``model``).

    Returns
    -------
    pandas.DataFrame
        The records, with ``kind``, ``parameters`` and ``units`` in
        ``df.attrs`` as a run gives them.

    Raises
    ------
    ValueError
        The file is empty or its contents are not a result of the command line.
    OSError
        The file cannot be read.

    Warns
    -----
    MetadataWarning
        The metadata file beside a CSV file does not belong to it.

    Notes
    -----
    A CSV file's parameters, kind and units are read from its metadata file
    ``FILE.csv.meta.json`` beside it (written with it; see :func:`write_csv`);
    that file is used only if it belongs to the CSV file (its checksum and
    column names match), else a MetadataWarning says why.  Classic records hold
    six decimals only.

    Examples
    --------
    >>> df = chainmelt.read("curve.tsv")                          # doctest: +SKIP
    >>> df = chainmelt.read("output.out", "heat", model=m)        # doctest: +SKIP
    """
    with open(path, encoding="utf-8") as f:
        lines = f.readlines()
    given = {}
    if model is not None:
        given.update(model.given)
    given.update(fields)
    if task is not None:
        given["task"] = task
    if not any(line.strip() for line in lines):
        raise ValueError("%s: the file is empty (no header, no records)" % path)
    first = lines[0] if lines else ""
    if first.startswith("# chainmelt"):
        return _read_tsv(lines, path)
    if first.startswith("{"):
        return _read_jsonl(lines, path)
    if first and re.match(r"[A-Za-z_]", first):
        return _read_csv(lines, path, given)
    return _read_classic(lines, path, given)


def _csv_number(v, integer):
    if isinstance(v, (int, np.integer)) and not isinstance(v, bool):
        return str(int(v))
    v = float(v)
    if math.isnan(v):
        return ""
    if integer and v == math.floor(v) and abs(v) < 9e15:
        return str(int(v))
    return repr(v)


def write_csv(df: pd.DataFrame, path: Any) -> str:
    """Write a DataFrame of a run (or of :func:`read`) as CSV with its metadata.

    The layout is that of the command line's ``--format csv`` (every number's
    shortest exact text, a missing value empty); the kind, parameters and
    units go to ``PATH.meta.json`` beside it, so that ``read(path)`` gives the
    same DataFrame back.  Both files are replaced whole, never half written.

    Parameters
    ----------
    df : pandas.DataFrame
        The records.
    path : str or os.PathLike
        The CSV file.

    Returns
    -------
    str
        The path written.

    Raises
    ------
    ValueError
        A column name that cannot be written in CSV (a comma, quote or line
        break in it).
    """
    names = [str(c) for c in df.columns]
    for n in names:
        if "," in n or "\n" in n or '"' in n:
            raise ValueError("write_csv: column name %r cannot be written as CSV" % n)
    integer = [df[c].dtype.kind in "iu" for c in df.columns]
    lines = [",".join(names)]
    for row in df.itertuples(index=False, name=None):
        lines.append(",".join(_csv_number(v, i) for v, i in zip(row, integer)))
    units = df.attrs.get("units") or {}
    meta = {"chainmelt": _core.version, "kind": df.attrs.get("kind"),
            "parameters": _json_safe(df.attrs.get("parameters") or {}),
            "columns": [{"name": n, "unit": units.get(n, ""), "integer": i,
                         "meaning": unit_text(units.get(n))} for n, i in zip(names, integer)]}
    if df.attrs.get("scan"):
        meta["scan"] = list(df.attrs["scan"])
    return write_table(path, "\n".join(lines) + "\n", meta)


def _json_safe(parameters):
    out = {}
    for k, v in parameters.items():
        if isinstance(v, (np.integer,)):
            v = int(v)
        elif isinstance(v, np.floating):
            v = float(v)
        elif isinstance(v, np.bool_):
            v = bool(v)
        out[k] = v  # NaN is written as NaN, which Python's json reads back
    return out
