"""The text of a scan's numbers: every place where the scan turns record
numbers into text is in this module.  The records' text is made by
``records_text`` on the workers; the other formats are made from that text
without reading its numbers again."""

from __future__ import annotations

import json
import math
import numbers
import re
from typing import Any, Sequence

import numpy as np

_WHOLE = re.compile(r"\.0(?=[\t\n])")
_NAN = re.compile(r"(?<=[\t\n])nan(?=[\t\n])")

FORMATS = ("tsv", "csv", "jsonl")


def records_text(rows: np.ndarray, prefix: str) -> str:
    """Tab-separated lines of the records after ``prefix``, each number in
    the shortest text that reads back as the same double (whole numbers
    without ".0", NaN empty), as the command line writes them."""
    head = "\n" + prefix + "\t"
    text = head + head.join("\t".join(map(repr, r)) for r in rows.tolist()) + "\n"
    return _NAN.sub("", _WHOLE.sub("", text))[1:]


def value_text(v: Any) -> str:
    """The text of a scanned value in the tables."""
    if isinstance(v, bool):
        return str(v).lower()
    if isinstance(v, numbers.Real):
        v = float(v)
        if v != v:
            return ""
        r = repr(v)
        return r[:-2] if r.endswith(".0") else r
    if isinstance(v, (list, tuple)):
        return ":".join(value_text(x) for x in v)
    return str(v).replace("\t", " ").replace("\n", " ")


def _csv_field(text):
    if any(c in text for c in ',"\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def _json_value(text):
    if text == "":
        return "null"
    try:
        v = float(text)
    except ValueError:
        return json.dumps(text)
    return text if math.isfinite(v) and text.lower() not in ("inf", "nan") else json.dumps(text)


def header(text: str, scanned: Sequence[str], version: str) -> dict:
    """The JSON Lines header object of the records' TSV text (kind, scanned
    fields, columns with their units): also the metadata of records.csv."""
    lines = text.split("\n", 3)
    head = lines[0].split()
    kind = head[-1].partition("=")[2] if head and head[-1].startswith("kind=") else ""
    units = lines[1].split("\t")[1:]
    names = lines[2].split("\t")
    columns = [{"name": n, "unit": u} for n, u in zip(names, [""] + units)]
    if columns and columns[0]["name"] == "run":
        columns[0]["integer"] = True
    return {"chainmelt": version, "kind": kind, "scan": list(scanned), "columns": columns}


def reformat(text: str, fmt: str, scanned: Sequence[str], version: str) -> str:
    """The records' TSV text (header lines, column names, records) again as
    CSV or JSON Lines, in the layouts of the command line's --format, the
    numbers' text unchanged."""
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    head = lines[0].split()
    kind = head[-1].partition("=")[2] if head and head[-1].startswith("kind=") else ""
    units = lines[1].split("\t")[1:]
    names = lines[2].split("\t")
    out = []
    if fmt == "csv":
        out.append(",".join(_csv_field(n) for n in names))
        out.extend(",".join(_csv_field(v) for v in line.split("\t")) for line in lines[3:])
    else:
        columns = [{"name": n, "unit": u} for n, u in zip(names, [""] + units)]
        out.append(json.dumps({"chainmelt": version, "kind": kind, "scan": list(scanned),
                               "columns": columns}))
        for line in lines[3:]:
            values = line.split("\t")
            out.append("{" + ", ".join("%s: %s" % (json.dumps(n), _json_value(v))
                                       for n, v in zip(names, values)) + "}")
    return "\n".join(out) + "\n"
