"""The runs of a scan: a base parameter set and a grid, counted before they
are expanded and expanded one run at a time."""

from __future__ import annotations

import dataclasses
import hashlib
import math
import numbers
import sys
from collections.abc import Mapping, Sequence
from typing import Any, Iterator

from .._fields import FIELD_TYPES, SHORTHANDS, field_text, run_fields, settings

_KEY_LENGTH = 16
#: Runs a grid may hold unless told otherwise (``--max-runs``).
MAX_RUNS = 10_000_000

#: The formats a scan's records can be written in (tsv is records.tsv.gz).
FORMATS = ("tsv", "csv", "jsonl")


def value_text(v: Any) -> str:
    """The text of a scanned value in a run's key: the shortest text that
    reads back as the same double, whole numbers without ".0".  Stored
    directories find their runs by these keys, so the text never changes."""
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


class ScanError(ValueError):
    """A scan that cannot start or go on: a bad description, a directory in
    use or holding another scan, a damaged results table, a cluster without
    workers."""


@dataclasses.dataclass(frozen=True)
class Run:
    """One run of a scan.

    Attributes
    ----------
    number : int
        Its place in the grid, from 1.
    values : dict
        The values of the scanned fields.
    settings : list of (str, str)
        Every field it is run with, as (key, text).
    key : str
        A hash of the text of its settings (see :func:`run_key`).
    """

    number: int
    values: dict
    settings: list
    key: str


def run_key(settings: Sequence) -> str:
    """The key of a run: a hash of the text of every field it sets.

    The thread count is left out, and the fields are taken in name order, so
    the key follows the parameters, not the grid.

    Parameters
    ----------
    settings : sequence of (str, str)
        The run's settings, as (key, text).

    Returns
    -------
    str
        The key, in hexadecimal.
    """
    text = "\n".join("%s=%s" % tuple(kv) for kv in sorted(settings) if kv[0] != "threads")
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:_KEY_LENGTH]


def describe(values: Mapping) -> str:
    """``w = -240, dHcal = 2200``: the values of a run, for messages."""
    return ", ".join("%s = %s" % (k, value_text(v)) for k, v in values.items())


class _Range(Sequence):
    """The values of {min, max, step} or {min, max, num}, made when asked for."""

    def __init__(self, lo: float, hi: float, count: int, step: float | None):
        self.lo, self.hi, self.length, self.step = lo, hi, count, step

    def __len__(self) -> int:
        return self.length

    def __getitem__(self, k):
        if isinstance(k, slice):
            return [self[i] for i in range(*k.indices(self.length))]
        if k < 0:
            k += self.length
        if not 0 <= k < self.length:
            raise IndexError(k)
        if k == self.length - 1:
            return self.hi
        if self.step is None:
            return self.lo + k * (self.hi - self.lo) / (self.length - 1)
        # Each value from the start, not accumulated; the last is max itself.
        return self.lo + k * self.step


def _range(name, given, where):
    keys = set(given)
    if keys not in ({"min", "max", "step"}, {"min", "max", "num"}):
        raise ScanError("%sscan key '%s': expected a list or a table {min, max, step} or "
                        "{min, max, num}, got keys %s" % (where, name, ", ".join(sorted(keys))))
    for k in given:
        v = given[k]
        if isinstance(v, bool) or not isinstance(v, numbers.Real) or not math.isfinite(v):
            raise ScanError("%sscan key '%s': %s must be a finite number, got %r"
                            % (where, name, k, v))
    lo, hi = float(given["min"]), float(given["max"])
    if hi < lo:
        raise ScanError("%sscan key '%s': max %r is below min %r" % (where, name, hi, lo))
    if "num" in given:
        num = given["num"]
        if num != int(num) or num < 1 or (num == 1 and hi != lo):
            raise ScanError("%sscan key '%s': num must be a whole number >= 1 (1 only with "
                            "min = max), got %r" % (where, name, num))
        return _Range(lo, hi, int(num), None)
    step = float(given["step"])
    if step <= 0:
        raise ScanError("%sscan key '%s': step must be positive, got %r" % (where, name, step))
    count = (hi - lo) / step
    n = round(count)
    if not math.isfinite(count) or abs(count - n) > 1e-9 * max(1.0, abs(count)):
        raise ScanError("%sscan key '%s': step %r must divide max - min = %r"
                        % (where, name, step, hi - lo))
    return _Range(lo, hi, int(n) + 1, step)


def _values(name, given, where=""):
    if isinstance(given, dict):
        return _range(name, given, where)
    if isinstance(given, (str, bytes)) or not hasattr(given, "__iter__"):
        raise ScanError("%sscan key '%s': expected a list or a range table, got %r"
                        % (where, name, given))
    # An array's values as Python numbers (numpy is not imported for a scan
    # that has none).
    numpy = sys.modules.get("numpy")
    values = list(given.tolist() if numpy is not None and isinstance(given, numpy.ndarray)
                  else given)
    if not values:
        raise ScanError("%sscan key '%s': expected at least one value" % (where, name))
    for v in values:
        if isinstance(v, numbers.Integral) and not isinstance(v, bool):
            try:
                float(v)
            except OverflowError:
                raise ScanError("%sscan key '%s': expected numbers within the range of a "
                                "double, got an integer of %d digits"
                                % (where, name, len(str(abs(int(v)))))) from None
    return values


def _factors(axes, zip_groups, where):
    """The factors of the product: one per unpaired field or zip group, at
    its first field's place."""
    groups, paired = [], set()
    for group in zip_groups or ():
        group = list(group)
        for name in group:
            if name not in axes:
                raise ScanError("%sscan zip: '%s' is not a scanned field" % (where, name))
            if name in paired:
                raise ScanError("%sscan zip: '%s' is in two groups" % (where, name))
            paired.add(name)
        lengths = {len(axes[n]) for n in group}
        if len(lengths) != 1:
            raise ScanError("%sscan zip: %s have %s values; paired lists must be equally "
                            "long" % (where, ", ".join(group),
                                      " and ".join(str(len(axes[n])) for n in group)))
        groups.append(group)
    factors = []
    for name in axes:
        if name in paired:
            group = next(g for g in groups if name in g)
            if name == next(n for n in axes if n in group):
                factors.append(group)
        else:
            factors.append([name])
    return factors


class Runs(Sequence):
    """The runs of a plan, made one at a time (a grid of millions of runs
    is never held in memory)."""

    def __init__(self, plan: "Plan"):
        self._plan = plan

    def __len__(self) -> int:
        return self._plan.size

    def __getitem__(self, i):
        if isinstance(i, slice):
            return [self[k] for k in range(*i.indices(len(self)))]
        if i < 0:
            i += len(self)
        if not 0 <= i < len(self):
            raise IndexError(i)
        return self._plan.run(i + 1)

    def __iter__(self) -> Iterator[Run]:
        for number in range(1, len(self) + 1):
            yield self._plan.run(number)


class Plan:
    """The runs of a scan, counted before they are expanded.

    Parameters
    ----------
    base : mapping
        The fields every run shares.
    grid : mapping
        ``{field: values}``, as :func:`chainmelt.scan` takes it.
    zip : sequence of sequence of str, optional
        Groups of fields that are paired instead of combined.
    where : str, optional
        What to name in a refusal (the description file), as its prefix.
    max_runs : int, default 10 000 000
        A grid of more runs is refused with its size before anything is
        expanded.

    Attributes
    ----------
    names : list of str
        The scanned fields, in grid order.
    size : int
        How many runs the grid holds.
    base : dict
        The fields every run shares.
    runs : sequence of Run
        The runs, each made as it is asked for.

    Raises
    ------
    ScanError
        A grid that cannot be scanned, naming the field.
    """

    def __init__(self, base: Mapping[str, Any], grid: Mapping[str, Any], zip: Sequence = (),
                 where: str = "", max_runs: int = MAX_RUNS):
        self.base = dict(base)
        self.where = where
        grid = dict(grid)
        if not grid:
            raise ScanError("%sscan: expected at least one scanned field" % where)
        for name in grid:
            name = SHORTHANDS.get(name, name)
            if name not in FIELD_TYPES and name not in SHORTHANDS.values():
                raise ScanError("%sscan key '%s': not a field (the fields are %s)"
                                % (where, name, ", ".join(FIELD_TYPES)))
        self._axes = {name: _values(name, given, where) for name, given in grid.items()}
        self._factors = _factors(self._axes, zip, where)
        self._lengths = [len(self._axes[f[0]]) for f in self._factors]
        self.names = [n for f in self._factors for n in f]
        self.size = math.prod(self._lengths)
        if self.size > max_runs:
            raise ScanError("%sscan: the grid has %d runs, more than the %d allowed (--max-runs)"
                            % (where, self.size, max_runs))
        # Fails early on a base the runs cannot be made of.
        self.base_settings = self._settings(dict(self.base))
        self._template: list | None = None
        self.runs = Runs(self)
        self._check_repeats()

    def _settings(self, fields):
        try:
            ordered = run_fields(None, None, fields)
        except TypeError as e:
            raise ScanError(self.where + str(e)) from None
        return settings(ordered)

    def _number(self, indices):
        number = 0
        for i, n in zip(indices, self._lengths):
            number = number * n + i
        return number + 1

    def run(self, number: int) -> Run:
        """Run ``number`` (from 1) of the grid."""
        values, s = self._made(number)
        return Run(number, values, s, run_key(s))

    def unkeyed(self) -> Iterator[tuple]:
        """``(number, values, settings)`` of every run, without the keys (for
        checking the runs before any is made)."""
        for number in range(1, self.size + 1):
            yield (number,) + self._made(number)

    def _made(self, number):
        rest, indices = number - 1, []
        for n in reversed(self._lengths):
            rest, i = divmod(rest, n)
            indices.append(i)
        values = {}
        for f, i in zip(self._factors, reversed(indices)):
            for name in f:
                values[name] = self._axes[name][i]
        if self._template is None:
            s = self._settings(dict(self.base, **values))
            # Every run has the same fields in the same order: the base
            # fields' texts are kept, the scanned ones written per run.
            names = run_fields(None, None, dict(self.base, **values))
            self._template = [(name, key, None if name in values else text)
                              for name, (key, text) in zip(names, s)]
        else:
            s = [(key, field_text(name, values[name]) if text is None else text)
                 for name, key, text in self._template]
        return values, s

    def _check_repeats(self):
        """Two runs are the same run when a factor repeats a value: found
        per factor, without going through the grid."""
        for k, f in enumerate(self._factors):
            n = self._lengths[k]
            if isinstance(self._axes[f[0]], _Range) and n > 1_000_000:
                continue
            seen: dict = {}
            for i in range(n):
                text = tuple(value_text(self._axes[name][i]) for name in f)
                if text in seen:
                    first = [0] * len(self._factors)
                    second = list(first)
                    first[k], second[k] = seen[text], i
                    a, b = self._number(first), self._number(second)
                    raise ScanError("%sscan: runs %d and %d are the same run (%s); give each "
                                    "value once" % (self.where, a, b,
                                                    describe(self.run(b).values)))
                seen[text] = i


def _toml_key(key: str) -> str:
    """A parameter file's key as run() names it (T-sweep is T_sweep)."""
    for name, key_in_file in SHORTHANDS.items():
        if key == key_in_file:
            return name
    return key


def load(path: Any, max_runs: int = MAX_RUNS) -> Plan:
    """Read a scan description (TOML).

    Parameters
    ----------
    path : str or os.PathLike
        The file: the base fields at the top level, the scanned fields in a
        ``[scan]`` table (and ``zip``).
    max_runs : int, default 10 000 000
        Grids of more runs are refused with their size.

    Returns
    -------
    Plan
        The runs of the grid, counted but not yet made.

    Raises
    ------
    ScanError
        A description that cannot be read or scanned, naming the file and the
        key.
    """
    import tomllib
    path = str(path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ScanError("%s: cannot read: %s" % (path, e.strerror or e)) from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        line = data[:e.start].count(b"\n") + 1
        raise ScanError("%s, line %d: not UTF-8 text (byte 0x%02x at offset %d)"
                        % (path, line, data[e.start], e.start)) from None
    try:
        doc = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise ScanError("%s: %s" % (path, e)) from None
    where = "%s: " % path
    grid = doc.pop("scan", None)
    if not isinstance(grid, dict):
        raise ScanError("%sexpected a [scan] table of the scanned fields" % where)
    grid = dict(grid)
    zip_groups = grid.pop("zip", [])
    if not isinstance(zip_groups, list) or not all(
            isinstance(g, list) and all(isinstance(n, str) for n in g) for g in zip_groups):
        raise ScanError("%sscan key 'zip': expected a list of lists of field names, "
                        "e.g. zip = [[\"w\", \"dHcal\"]]" % where)
    base = {}
    for key, value in doc.items():
        if isinstance(value, dict):
            raise ScanError("%skey '%s': unexpected table (the base fields are top-level "
                            "keys, the scanned ones in [scan])" % (where, key))
        base[_toml_key(key)] = value
    grid = {_toml_key(k): v for k, v in grid.items()}
    return Plan(base, grid, zip_groups, where, max_runs)
