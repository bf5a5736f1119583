"""Reading calorimeter exports and converting between instrument and model units.

The model works per lattice site (one lipid chain) with the Boltzmann constant 1:
temperatures in kelvin, energies as energy/R in kelvin, heat capacities in
multiples of k_B.  Calorimeters report molar heat capacities per mole of lipid.
A lipid has ``chains_per_lipid`` chains, so

    Cp_model = Cp_molar / (R * chains_per_lipid),   R = 8.314462618 J/(mol K).

A heat capacity per gram becomes molar with the lipid's molar mass (g/mol).  The
units are read from the file's header where it names them (see :func:`header_units`).
"""

from __future__ import annotations

import dataclasses
import math
import os
import re
from typing import Any, Iterable

import numpy as np
import pandas as pd

from .._fields import R

CELSIUS_OFFSET = 273.15

#: Heat-capacity units and their size in J/(mol K); the calorie is the thermochemical one.
CP_UNITS = {
    "J/(mol K)": 1.0,
    "kJ/(mol K)": 1000.0,
    "cal/(mol K)": 4.184,
    "kcal/(mol K)": 4184.0,
}
#: Heat-capacity units per gram and their size in J/(g K) (molar with the molar mass).
PER_GRAM_UNITS = {
    "J/(g K)": 1.0,
    "kJ/(g K)": 1000.0,
    "cal/(g K)": 4.184,
    "kcal/(g K)": 4184.0,
}
#: Energy units and their size in J.
ENERGY_UNITS = {"J": 1.0, "kJ": 1000.0, "cal": 4.184, "kcal": 4184.0}
#: What the instrument's units are taken to be when neither the file nor the caller
#: names them.
DEFAULT_T_UNIT = "C"
DEFAULT_CP_UNIT = "kJ/(mol K)"
#: Temperature units and the offset that turns them into kelvin.
T_UNITS = {"K": 0.0, "C": CELSIUS_OFFSET}

_COMMENT_CHARS = ("#", ";", "%")
_SEP_NAMES = {",": "comma", ";": "semicolon", "\t": "tab", " ": "blank"}
_SEP_ALIASES = {",": ",", ";": ";", "\t": "\t", "tab": "\t", " ": " ", "blank": " ",
                "whitespace": " "}
_NUMBER = {
    ".": re.compile(r"[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?"),
    ",": re.compile(r"[+-]?(?:\d+(?:,\d+)?|,\d+)(?:[eE][+-]?\d+)?"),
}
# Interpretations tried when neither sep nor decimal is given, in order of preference.
_CANDIDATES = [(",", "."), (";", "."), (";", ","), ("\t", "."), ("\t", ","),
               (" ", "."), (" ", ",")]


@dataclasses.dataclass(frozen=True)
class Units:
    """The instrument's units and the conversion to and from the model's units."""

    T_unit: str = "C"
    Cp_unit: str = "kJ/(mol K)"
    chains_per_lipid: float = 2.0
    #: g/mol of lipid; needed by (and only by) a heat capacity per gram.
    molar_mass: float | None = None

    def __post_init__(self):
        if self.T_unit not in T_UNITS:
            raise ValueError(f"T_unit: expected one of {', '.join(map(repr, T_UNITS))}, "
                             f"got {self.T_unit!r}")
        if self.Cp_unit not in CP_UNITS and self.Cp_unit not in PER_GRAM_UNITS:
            raise ValueError(f"Cp_unit: expected one of "
                             f"{', '.join(map(repr, [*CP_UNITS, *PER_GRAM_UNITS]))}, "
                             f"got {self.Cp_unit!r}")
        c = self.chains_per_lipid
        if isinstance(c, bool) or not isinstance(c, (int, float)) or not math.isfinite(c) \
                or c <= 0:
            raise ValueError(f"chains_per_lipid: expected a positive number, got {c!r}")
        m = self.molar_mass
        if m is not None and (isinstance(m, bool) or not isinstance(m, (int, float))
                              or not math.isfinite(m) or m <= 0):
            raise ValueError(f"molar_mass: expected a positive number of g/mol, got {m!r}")
        if self.per_gram and m is None:
            raise ValueError(f"Cp_unit {self.Cp_unit!r} is per gram: give the lipid's "
                             f"molar mass (molar_mass, g/mol)")

    @property
    def per_gram(self) -> bool:
        return self.Cp_unit in PER_GRAM_UNITS

    @property
    def Cp_size(self) -> float:
        """One unit of the instrument's heat capacity in J/(mol K) of lipid."""
        if self.per_gram:
            return PER_GRAM_UNITS[self.Cp_unit] * float(self.molar_mass)  # type: ignore[arg-type]
        return CP_UNITS[self.Cp_unit]

    @property
    def energy_size(self) -> float:
        """One unit of ``energy_unit`` in J/mol."""
        return ENERGY_UNITS[self.Cp_unit.split("/")[0]]

    @property
    def T_offset(self) -> float:
        return T_UNITS[self.T_unit]

    @property
    def Cp_factor(self) -> float:
        """Model heat capacity (k_B per chain) per unit of the instrument's heat capacity."""
        return self.Cp_size / (R * self.chains_per_lipid)

    @property
    def energy_unit(self) -> str:
        """The molar energy unit that goes with ``Cp_unit``, e.g. 'kJ/mol' (molar for a
        heat capacity per gram too)."""
        return self.Cp_unit.split("/")[0] + "/mol"

    @property
    def T_label(self) -> str:
        return "°C" if self.T_unit == "C" else "K"

    def T_to_model(self, T: Any) -> np.ndarray:
        return np.asarray(T, dtype=float) + self.T_offset

    def T_from_model(self, T: Any) -> np.ndarray:
        return np.asarray(T, dtype=float) - self.T_offset

    def Cp_to_model(self, Cp: Any) -> np.ndarray:
        return np.asarray(Cp, dtype=float) * self.Cp_factor

    def Cp_from_model(self, Cp: Any) -> np.ndarray:
        return np.asarray(Cp, dtype=float) / self.Cp_factor

    def enthalpy_from_model(self, H: Any) -> np.ndarray:
        """Model enthalpy per chain (energy/k_B in K) to the energy unit per mole of lipid."""
        return np.asarray(H, dtype=float) * R * self.chains_per_lipid / self.energy_size

    def molar_energy(self, H: Any) -> np.ndarray:
        """Energy/k_B in K per mole of whatever it counts (no per-lipid factor)."""
        return np.asarray(H, dtype=float) * R / self.energy_size

    def describe(self) -> str:
        T = ("T[K] = T[C] + 273.15" if self.T_unit == "C" else "T[K] = T[K]")
        if self.per_gram:
            size = f"{PER_GRAM_UNITS[self.Cp_unit]:g} * {self.molar_mass:g} g/mol"
        else:
            size = f"{CP_UNITS[self.Cp_unit]:g}"
        return (f"{T}; Cp[k_B per chain] = Cp[{self.Cp_unit}] * {size} / "
                f"({R} * {self.chains_per_lipid:g})")

    def to_attrs(self) -> dict:
        return {"T_unit": self.T_unit, "Cp_unit": self.Cp_unit,
                "chains_per_lipid": self.chains_per_lipid, "molar_mass": self.molar_mass,
                "T_offset": self.T_offset, "Cp_factor": self.Cp_factor, "R": R,
                "conversion": self.describe()}

    @classmethod
    def from_attrs(cls, attrs: dict) -> "Units":
        try:
            return cls(attrs["T_unit"], attrs["Cp_unit"], attrs["chains_per_lipid"],
                       attrs.get("molar_mass"))
        except KeyError:
            raise ValueError("the data carry no units in attrs (read them with dsc.read, "
                             "or give T_unit, Cp_unit and chains_per_lipid)") from None


def units_of(data: Any = None, T_unit: str | None = None, Cp_unit: str | None = None,
             chains_per_lipid: float | None = None, molar_mass: float | None = None) -> Units:
    """Units given explicitly, completed from ``data.attrs`` where left as None."""
    attrs = getattr(data, "attrs", None) or {}
    if attrs.get("T_unit") is not None:
        base = Units.from_attrs(attrs)
    else:
        if T_unit is None or Cp_unit is None or chains_per_lipid is None:
            raise ValueError("no units: give T_unit, Cp_unit and chains_per_lipid "
                             "(the data carry none in attrs)")
        base = Units()
    return Units(T_unit if T_unit is not None else base.T_unit,
                 Cp_unit if Cp_unit is not None else base.Cp_unit,
                 chains_per_lipid if chains_per_lipid is not None else base.chains_per_lipid,
                 molar_mass if molar_mass is not None else base.molar_mass)


def to_instrument(data: Any, T_unit: str | None = None, Cp_unit: str | None = None,
                  chains_per_lipid: float | None = None,
                  molar_mass: float | None = None) -> Any:
    """Convert model units back to the instrument's.

    ``data`` is a DataFrame in model units (column ``T`` in kelvin, every other column a
    heat capacity in k_B per chain, as made by :func:`read`, the baselines and the fit),
    or a pair ``(T, Cp)`` of arrays.  Units not given are taken from ``data.attrs``.
    Returns a DataFrame (or a pair of arrays) in the instrument's units.
    """
    if isinstance(data, pd.DataFrame):
        u = units_of(data, T_unit, Cp_unit, chains_per_lipid, molar_mass)
        if "T" not in data.columns:
            raise ValueError("to_instrument: the DataFrame has no column 'T'")
        out = pd.DataFrame(index=data.index)
        for name in data.columns:
            out[name] = (u.T_from_model(data[name]) if name == "T"
                         else u.Cp_from_model(data[name]))
        out.attrs = dict(data.attrs)
        out.attrs.update(u.to_attrs())
        out.attrs["in_units"] = "instrument"
        return out
    try:
        T, Cp = data
    except (TypeError, ValueError):
        raise ValueError("to_instrument: expected a DataFrame or a pair (T, Cp)") from None
    u = units_of(None, T_unit, Cp_unit, chains_per_lipid, molar_mass)
    return u.T_from_model(T), u.Cp_from_model(Cp)


def check_T(T: Any, what: str = "data") -> np.ndarray:
    T = np.asarray(T, dtype=float)
    if T.ndim != 1 or T.size < 2:
        raise ValueError(f"{what}: need at least two temperatures")
    if not np.all(np.isfinite(T)) or np.any(np.diff(T) <= 0):
        raise ValueError(f"{what}: temperatures must be finite and strictly increasing")
    return T


# --- units named in a header -----------------------------------------------------------

_SUPERSCRIPT_MINUS_ONE = ("⁻¹", "^-1", "**-1", "-1")


def _unit_key(text: str) -> str:
    """A unit's text reduced for matching: no degree signs, blanks, products or
    brackets, case folded ("kcal/(mol·K)" -> "kcal/molk", "°C" -> "c")."""
    t = text.strip().casefold()
    for ch in ("°", "º", "deg", "·", "⋅", "*", " ", "(", ")", "[", "]", "{", "}"):
        t = t.replace(ch, "")
    return t


def _T_unit_of(text: str) -> str | None:
    t = _unit_key(text)
    if t in ("c", "oc", "celsius", "centigrade"):
        return "C"
    if t in ("k", "kelvin"):
        return "K"
    return None


_ENERGY_KEYS = {"j": "J", "kj": "kJ", "cal": "cal", "kcal": "kcal"}
_HEAT_LIKE = re.compile(r"^(?:[mµμu]?(?:j|cal|w)|k(?:j|cal))(?:/|$)")


def _Cp_unit_of(text: str) -> str | None | bool:
    """The Cp unit a header's text names (a key of CP_UNITS or PER_GRAM_UNITS), None when
    it names none, False when it names an energy or power that is not per mole or per
    gram and kelvin (a raw instrument signal)."""
    t = _unit_key(text)
    for neg in _SUPERSCRIPT_MINUS_ONE:  # "kJ mol-1 K-1": every factor divides
        t = t.replace(neg, "")
    m = re.fullmatch(r"(kj|j|kcal|cal)((?:/?(?:mol|g|k|c))+)", t)
    if m:
        rest = [x for x in re.split(r"/|(?<=mol)|(?<=g)(?=[kc])|(?<=[kc])(?=[mg])", m.group(2))
                if x]
        per = sorted(rest)
        if per in (["k", "mol"], ["c", "mol"]):
            return f"{_ENERGY_KEYS[m.group(1)]}/(mol K)"
        if per in (["g", "k"], ["c", "g"]):
            return f"{_ENERGY_KEYS[m.group(1)]}/(g K)"
    if _HEAT_LIKE.match(t) and "mol" not in t and not re.search(r"(?:^|/)g(?:/|$)", t):
        return False
    return None


def _bracketed(text: str) -> list[tuple[int, str]]:
    """The top-level (...) and [...] groups of ``text`` with their start: nested
    brackets stay inside their group ("Cp (kJ/(mol K))" -> "kJ/(mol K)")."""
    out, depth, start = [], 0, -1
    pairs = {"(": ")", "[": "]"}
    closing = None
    for i, ch in enumerate(text):
        if depth == 0 and ch in pairs:
            depth, start, closing = 1, i, pairs[ch]
        elif depth > 0 and ch in "([":
            depth += 1
        elif depth > 0 and ch in ")]":
            depth -= 1
            if depth == 0:
                out.append((start, text[start + 1:i]))
                if ch != closing:
                    out.pop()
    return out


def _field_unit(field: str) -> tuple[str | None, str | None | bool]:
    """(T unit, Cp unit) a column name names: "Temperature (°C)", "T [K]", "T/K",
    "Cp (kcal/mol/K)", "Cp / (kJ mol-1 K-1)", "Cp in J/(g K)"."""
    candidates = [g for _, g in reversed(_bracketed(field))]
    if "/" in field:
        candidates.append(field.split("/", 1)[1])
    if re.search(r"\bin\b", field):
        candidates.append(re.split(r"\bin\b", field, maxsplit=1)[1])
    for c in candidates:
        t, cp = _T_unit_of(c), _Cp_unit_of(c)
        if t or cp is not None:
            return t, cp
    return None, None


def header_units(header: list[tuple[int, str]], names: list | None = None,
                 T_col: int = 0, Cp_col: int = 1,
                 names_line: int | None = None) -> dict:
    """The temperature and heat-capacity units a file's header names.

    ``header``: (line number, text) of the lines before the first row of numbers,
    comments included.  The column names (``names``, from line ``names_line``) decide
    where they carry a unit; else a unit in brackets anywhere in the header counts when
    it is the only one of its kind.  Returns {"T": (unit, text, line) or None,
    "Cp": (unit or False, text, line) or None}; a Cp unit False is an energy or power
    that is not per mole or per gram and kelvin."""
    found: dict = {"T": None, "Cp": None}
    if names is not None:
        t, _ = _field_unit(str(names[T_col]))
        _, cp = _field_unit(str(names[Cp_col]))
        if t:
            found["T"] = (t, str(names[T_col]), names_line)
        if cp is not None:
            found["Cp"] = (cp, str(names[Cp_col]), names_line)
    seen: dict = {"T": {}, "Cp": {}}
    for n, text in header:
        if n == names_line:
            continue
        for _, g in _bracketed(text):
            t, cp = _T_unit_of(g), _Cp_unit_of(g)
            if t:
                seen["T"].setdefault(t, (t, text.strip(), n))
            if cp:
                seen["Cp"].setdefault(cp, (cp, text.strip(), n))
    for kind in ("T", "Cp"):
        if found[kind] is None and len(seen[kind]) == 1:
            found[kind] = next(iter(seen[kind].values()))
    return found


class UnitConflict(ValueError):
    """A unit given by the caller that the file's header contradicts (or that a unit
    the header names makes impossible)."""


_OPTION_NAMES = {"T_unit": "T_unit", "Cp_unit": "Cp_unit", "molar_mass": "molar_mass"}


def _resolve_units(path, found, T_unit, Cp_unit, chains_per_lipid, molar_mass, names):
    """Units from the caller and the header: the header fills what the caller left
    None, a contradiction is refused.  Returns (Units, {"T": source, "Cp": source})."""
    names = {**_OPTION_NAMES, **(names or {})}
    source = {}
    got = {}
    for kind, given, default in (("T", T_unit, DEFAULT_T_UNIT),
                                 ("Cp", Cp_unit, DEFAULT_CP_UNIT)):
        head = found.get(kind)
        option = names[f"{kind}_unit"]
        if head is not None and head[0] is False:
            raise UnitConflict(
                f"{path}, line {head[2]}: the heat-capacity column is in a unit that is not "
                f"per mole or per gram of lipid and kelvin ({head[1]!r}); convert it to a "
                f"molar heat capacity first")
        if head is not None and given is not None and given != head[0]:
            raise UnitConflict(f"{path}: {option} {given} contradicts the header, which "
                               f"names {head[0]} (line {head[2]}: {head[1]!r})")
        if given is not None:
            got[kind], source[kind] = given, "given"
        elif head is not None:
            got[kind], source[kind] = head[0], f"header line {head[2]}: {head[1]!r}"
        else:
            got[kind], source[kind] = default, "default"
    per_gram = got["Cp"] in PER_GRAM_UNITS
    if per_gram and molar_mass is None:
        head = found.get("Cp")
        what = (f"the header names a heat capacity per gram ({got['Cp']}, line {head[2]})"
                if source["Cp"] != "given" and head is not None
                else f"{names['Cp_unit']} {got['Cp']} is per gram")
        raise UnitConflict(f"{path}: {what}; give the lipid's molar mass with "
                           f"{names['molar_mass']}")
    if not per_gram and molar_mass is not None:
        raise UnitConflict(f"{path}: {names['molar_mass']} applies to a heat capacity per "
                           f"gram, but the unit is {got['Cp']} ({source['Cp']})")
    return Units(got["T"], got["Cp"], chains_per_lipid, molar_mass), source


# --- reading -------------------------------------------------------------------------


def _excerpt(text: str, limit: int = 60) -> str:
    text = text.replace("\t", "\\t")
    return repr(text if len(text) <= limit else text[:limit] + "...")


def _split(line: str, sep: str) -> list[str]:
    if sep == " ":
        fields = line.split()
    else:
        fields = [f.strip() for f in line.split(sep)]
        if len(fields) > 1 and fields[-1] == "":
            fields.pop()  # a trailing separator
    return [f[1:-1].strip() if len(f) >= 2 and f[0] == f[-1] == '"' else f for f in fields]


def _numbers(line: str, sep: str, decimal: str):
    fields = _split(line, sep)
    if len(fields) < 2:
        return None
    pattern = _NUMBER[decimal]
    if not all(pattern.fullmatch(f) for f in fields):
        return None
    if decimal == ",":
        fields = [f.replace(",", ".") for f in fields]
    return [float(f) for f in fields]


@dataclasses.dataclass
class _Reading:
    sep: str
    decimal: str
    start: int = -1           # index into the content lines of the first row of numbers
    rows: list = dataclasses.field(default_factory=list)
    failure: int = -1         # index of the first content line that breaks the table

    @property
    def ok(self):
        return self.start >= 0 and self.failure < 0

    @property
    def label(self):
        decimal = "commas" if self.decimal == "," else "points"
        return f"{_SEP_NAMES[self.sep]}-separated with decimal {decimal}"


def _numeric_somehow(text) -> bool:
    return any(_numbers(text, s, d) is not None for s, d in _CANDIDATES)


def _try(lines, sep, decimal) -> _Reading:
    r = _Reading(sep, decimal)
    ncols = None
    for k, (_, text) in enumerate(lines):
        row = _numbers(text, sep, decimal)
        if r.start < 0:
            if row is not None:
                r.start, ncols = k, len(row)
                r.rows.append(row)
            elif _numeric_somehow(text):
                r.failure = k  # a row of numbers in another layout cannot be a preamble
                return r
            continue
        if row is None or len(row) != ncols:
            r.failure = k
            return r
        r.rows.append(row)
    return r


def _content_lines(path, comments: list | None = None) -> list[tuple[int, str]]:
    try:
        with open(path, "rb") as fh:
            raw = fh.read()
    except OSError as e:
        raise ValueError(f"{path}: cannot read: {e.strerror or e}") from None
    if b"\0" in raw:
        raise ValueError(f"{path}: not a text file (it contains NUL bytes)")
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        text = raw.decode("latin-1")
    out = []
    for n, line in enumerate(text.splitlines(), start=1):
        s = line.strip()
        if s and not s.startswith(_COMMENT_CHARS):
            out.append((n, s))
        elif s and comments is not None:
            comments.append((n, s.lstrip("#;% ")))
    return out


def _choose(path, lines, sep, decimal) -> _Reading:
    cands = [(s, d) for s, d in _CANDIDATES
             if (sep is None or s == sep) and (decimal is None or d == decimal)]
    readings = [_try(lines, s, d) for s, d in cands]
    good = [r for r in readings if r.ok]
    if good:
        first = good[0]
        for other in good[1:]:
            same = (other.start == first.start and len(other.rows) == len(first.rows)
                    and np.array_equal(np.array(other.rows), np.array(first.rows)))
            if not same:
                hint = (f'decimal="{other.decimal}"' if other.decimal != first.decimal
                        else f'sep="{other.sep}"'.replace("\t", "\\t"))
                mine = (f'decimal="{first.decimal}"' if other.decimal != first.decimal
                        else f'sep="{first.sep}"'.replace("\t", "\\t"))
                raise ValueError(
                    f"{path}: ambiguous layout: it reads as {first.label} "
                    f"({len(first.rows[0])} columns) and as {other.label} "
                    f"({len(other.rows[0])} columns); pass {mine} or {hint}")
        return first
    started = [r for r in readings if r.start >= 0]
    if not started:
        n, text = lines[next((r.failure for r in readings if r.failure >= 0), 0)]
        layouts = [f"{_SEP_NAMES[s]}-separated with decimal "
                   f"{'commas' if d == ',' else 'points'}" for s, d in _CANDIDATES
                   if _numbers(text, s, d) is not None]
        if layouts and (sep is not None or decimal is not None):
            raise ValueError(f"{path}, line {n}: {_excerpt(text)} reads as {layouts[0]}, not "
                             f"with the given sep/decimal")
        how = "" if sep is None and decimal is None else " with the given sep/decimal"
        raise ValueError(f"{path}: no numeric rows{how} (line {n}: {_excerpt(text)} is not a "
                         f"row of two or more numbers)")
    best = max(started, key=lambda r: len(r.rows))
    n, text = lines[best.failure]
    ncols = len(best.rows[0])
    for s, d in _CANDIDATES:
        row = _numbers(text, s, d)
        if row is not None and s != best.sep and len(row) == ncols:
            raise ValueError(f"{path}, line {n}: {_SEP_NAMES[s]}-separated row among "
                             f"{_SEP_NAMES[best.sep]}-separated ones (mixed separators): "
                             f"{_excerpt(text)}")
    raise ValueError(f"{path}, line {n}: expected {ncols} {_SEP_NAMES[best.sep]}-separated "
                     f"numbers like the rows above, got {_excerpt(text)}")


def _column(path, which, default, names, ncols, role):
    if which is None:
        which = default
    if isinstance(which, (int, np.integer)) and not isinstance(which, bool):
        if not 0 <= which < ncols:
            raise ValueError(f"{path}: {role}={which}: the file has columns 0 to {ncols - 1}")
        return int(which)
    if isinstance(which, str):
        if names is None:
            raise ValueError(f"{path}: {role}={which!r}: the file has no header line with "
                             f"{ncols} column names; choose the column by index")
        folded = [n.casefold() for n in names]
        if which.strip().casefold() in folded:
            return folded.index(which.strip().casefold())
        raise ValueError(f"{path}: {role}={which!r}: no such column; the header names "
                         f"{', '.join(map(repr, names))}")
    raise ValueError(f"{role}: expected a column index or name, got {which!r}")


def read(path: Any, T_unit: str | None = None, Cp_unit: str | None = None,
         chains_per_lipid: float = 2, T_col: Any = None, Cp_col: Any = None,
         sep: str | None = None, decimal: str | None = None, molar_mass: float | None = None,
         *, option_names: dict | None = None) -> pd.DataFrame:
    """Read a DSC scan exported as text and convert it to the model's units.

    Layout: rows of numbers separated by commas, semicolons, tabs or blanks (runs of
    blanks and tabs), with decimal points or decimal commas; lines starting with ``#``,
    ``;`` or ``%`` and blank lines are ignored.  Lines before the first row of numbers
    are a preamble; the column names are taken from the first preamble line with as many
    fields as the table has columns.  ``sep`` (",", ";", "\\t" or "tab", " " or "blank")
    and ``decimal`` ("." or ",") are detected when not given; a file that reads
    consistently in two different ways is refused, naming the option that settles it.

    ``T_col`` and ``Cp_col`` choose the columns by 0-based index or by header name
    (case-insensitive); the defaults are the first two columns.  The temperature column
    must be strictly monotonic; a cooling scan is returned in ascending order
    (``attrs["scan"] == "down"``).

    Units: ``T_unit`` ("C" or "K") and ``Cp_unit`` (a key of ``CP_UNITS``, or of
    ``PER_GRAM_UNITS`` with the lipid's ``molar_mass`` in g/mol) are read from the header
    where it names them: the column names ("Temperature (°C)", "Cp [kcal/(mol K)]",
    "T/K"), else a unit in brackets in the comment and preamble lines above the table
    (when only one of its kind is named there).  A unit given here that the header
    contradicts is refused (a ValueError, :class:`UnitConflict`); without either, the
    defaults are °C and kJ/(mol K), and ``attrs["units_source"]`` says so.  A
    heat-capacity column in a unit that is no molar heat capacity (mcal/°C, µW) is
    refused.  ``option_names`` maps "T_unit", "Cp_unit" and "molar_mass" to the names a
    refusal uses for them (the command line's options).

    Returns a DataFrame with ``T`` in kelvin and ``Cp`` in k_B per lattice site (per
    chain): Cp_model = Cp_molar / (R * chains_per_lipid).  ``attrs`` records the units,
    where each came from (``units_source``: "given", "header line N: 'text'" or
    "default"), the conversion, the layout and the source.  Every refusal is a one-line
    ValueError naming the file and, where there is one, the line.
    """
    # The options on their own, before the file is opened.
    Units(T_unit or DEFAULT_T_UNIT, Cp_unit if Cp_unit in CP_UNITS else DEFAULT_CP_UNIT,
          chains_per_lipid, molar_mass)
    if Cp_unit is not None and Cp_unit not in PER_GRAM_UNITS:
        Units(DEFAULT_T_UNIT, Cp_unit, chains_per_lipid)
    if sep is not None:
        if sep not in _SEP_ALIASES:
            raise ValueError(f"sep: expected one of ',', ';', '\\t' (or 'tab'), ' ' (or "
                             f"'blank'), got {sep!r}")
        sep = _SEP_ALIASES[sep]
    if decimal not in (None, ".", ","):
        raise ValueError(f"decimal: expected '.' or ',', got {decimal!r}")
    if sep == "," and decimal == ",":
        raise ValueError('sep="," and decimal="," cannot both hold')
    path = os.fspath(path)
    comments: list = []
    lines = _content_lines(path, comments)
    if not lines:
        raise ValueError(f"{path}: no numeric rows (the file is empty or holds only comments)")
    r = _choose(path, lines, sep, decimal)
    table = np.array(r.rows, dtype=float)
    ncols = table.shape[1]
    names, names_line = None, None
    for n, text in lines[:r.start]:
        fields = _split(text, r.sep)
        if len(fields) == ncols:
            names, names_line = fields, n
            break
    ti = _column(path, T_col, 0, names, ncols, "T_col")
    ci = _column(path, Cp_col, 1, names, ncols, "Cp_col")
    if ti == ci:
        raise ValueError(f"{path}: T_col and Cp_col name the same column ({ti})")
    first = lines[r.start][0]
    header = sorted([c for c in comments if c[0] < first] + list(lines[:r.start]))
    found = header_units(header, names, ti, ci, names_line)
    units, source = _resolve_units(path, found, T_unit, Cp_unit, chains_per_lipid,
                                   molar_mass, option_names)
    if len(table) < 2:
        raise ValueError(f"{path}: only one row of numbers (line {lines[r.start][0]})")
    T, Cp = table[:, ti], table[:, ci]
    if not (np.all(np.isfinite(T)) and np.all(np.isfinite(Cp))):
        k = int(np.flatnonzero(~(np.isfinite(T) & np.isfinite(Cp)))[0])
        raise ValueError(f"{path}, line {lines[r.start + k][0]}: number out of range")
    step = np.diff(T)
    up = step[0] > 0
    bad = np.flatnonzero(step <= 0 if up else step >= 0)
    if step[0] == 0 or bad.size:
        k = 1 if step[0] == 0 else int(bad[0]) + 1
        n, text = lines[r.start + k]
        order = "increasing" if up else "decreasing"
        raise ValueError(f"{path}, line {n}: temperature {T[k]:g} breaks the "
                         f"{'strictly ' + order if step[0] else 'strict'} order of the rows "
                         f"above (column {ti}); the temperature column must be monotonic")
    T_K = units.T_to_model(T)
    if T_K.min() <= 0:
        raise ValueError(f"{path}: temperatures down to {T.min():g} {units.T_unit} are not "
                         f"above absolute zero; is T_unit right?")
    rows = slice(None) if up else slice(None, None, -1)
    df = pd.DataFrame({"T": T_K[rows], "Cp": units.Cp_to_model(Cp)[rows]})
    df.attrs.update(units.to_attrs())
    df.attrs.update({
        "source": path, "sep": r.sep, "decimal": r.decimal,
        "columns": list(names) if names else None, "T_col": ti, "Cp_col": ci,
        "scan": "up" if up else "down",
        "first_line": lines[r.start][0], "units_source": source,
    })
    return df


def format_rows(T: Iterable[float], Cp: Iterable[float], sep: str = ",", decimal: str = ".",
                header: tuple = ("T", "Cp"), comments: tuple = ()) -> str:
    """Text of a two-column table in an instrument-like layout (for examples and tests)."""
    out = [f"# {c}" for c in comments]
    if header:
        out.append(sep.join(header))
    for t, c in zip(T, Cp):
        a, b = f"{t:.4f}", f"{c:.6g}"
        if decimal == ",":
            a, b = a.replace(".", ","), b.replace(".", ",")
        out.append(f"{a}{sep}{b}")
    return "\n".join(out) + "\n"
