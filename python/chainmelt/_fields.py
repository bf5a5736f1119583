"""The fields of a run, their kinds and units, and the physical constants:
one table that every module of the package uses."""

from __future__ import annotations

import difflib
import numbers
from typing import Any, Iterable, Mapping

from . import _core

#: The gas constant, J/(mol K): energies given as energy/R in kelvin times R
#: are molar energies.
R = 8.314462618

#: (name, position on the classic command line, type, help) of every field.
FIELDS: tuple = tuple(_core.fields())
#: name -> type ("number", "variant", "threads", "text", ...).
FIELD_TYPES: dict = {name: kind for name, _, kind, _ in FIELDS}
HELP: dict = {name: text for name, _, _, text in FIELDS}
#: The fields of a model: the variant, the temperature and the parameters.
MODEL_FIELDS: tuple = tuple(name for name, pos, _, _ in FIELDS if 3 <= pos <= 20)
#: The settings of a run besides the model (the sweep, the search, threads).
RUN_FIELDS: tuple = tuple(name for name, pos, _, _ in FIELDS if pos not in range(3, 21))
#: Python names of the named form's sweep shorthands -> their keys in a file.
SHORTHANDS: dict = {"T_sweep": "T-sweep", "dH_sweep": "dH-sweep"}
#: Model fields that are energies (in the run's unit; energy/R in kelvin for
#: calorimetry).
ENERGY_FIELDS: tuple = ("w", "w2", "w3", "dH", "dH2", "e2", "dHcal")

#: The unit codes of record columns (df.attrs["units"]) in words.  Every
#: energy and heat capacity of a record is per lattice site, one lipid chain
#: (a lipid of two chains takes up two sites).
UNIT_TEXT: dict = {
    "temperature": "temperature (the run's unit)",
    "energy": "energy per site (one chain), in the run's unit",
    "k_B": "k_B per site (one chain)",
    "1": "pure number",
    "": "",
}


def field_unit(name: str) -> str:
    """The unit code of a model or sweep field: "energy", "temperature",
    "k_B" or "1"."""
    if name in ENERGY_FIELDS:
        return "energy"
    if name in ("T", "Tm", "T_min", "T_max", "dT"):
        return "temperature"
    if name in ("dS", "dS2"):
        return "k_B"
    return "1"


def unit_text(unit: str | None, energy_unit: str | None = None) -> str:
    """The unit code of a column in words; with ``energy_unit`` (e.g. "K")
    the run's unit is named."""
    if unit is None:
        return ""
    if energy_unit and unit == "temperature":
        return energy_unit
    if energy_unit and unit == "energy":
        return "%s per site (one chain)" % energy_unit
    return UNIT_TEXT.get(unit, unit)


def field_text(name: str, value: Any) -> str:
    """The text of a field value, as the command line would be given it."""
    if isinstance(value, str):
        return value
    # The common cases first, without the abstract number types' checks (a loop
    # of one-point runs pays for every field of every call).
    if type(value) is float and FIELD_TYPES.get(name, "number") == "number":
        return repr(value)
    if type(value) is int:
        kind = FIELD_TYPES.get(name, "number")
        if kind in ("variant", "threads", "count"):
            return str(value)
        if kind == "number" and -2**53 <= value <= 2**53:
            return repr(float(value))  # exactly the double of that integer
    kind = FIELD_TYPES.get(name, "number")
    if isinstance(value, bool) or value is None:
        return repr(value)
    if kind in ("variant", "threads", "count"):
        if isinstance(value, numbers.Integral):
            return str(int(value))
        return repr(value)
    if kind == "number" and isinstance(value, numbers.Real):
        if isinstance(value, numbers.Integral):
            try:
                value = float(value)
            except OverflowError:
                raise refusal(name, "%s: expected a number within the range of a double, "
                                    "got an integer of %d digits"
                              % (name, len(str(abs(int(value)))))) from None
        return repr(float(value))  # the shortest text that reads back exactly
    if name in SHORTHANDS and callable(getattr(value, "text", None)):
        return value.text()  # a chainmelt.Sweep
    if name in SHORTHANDS and isinstance(value, (tuple, list)) and len(value) == 3:
        return ":".join(field_text("T_min", v) for v in value)
    return str(value)


def settings(fields: Mapping[str, Any]) -> list:
    """[(key, text)] of a run's fields, in the order given."""
    return [(SHORTHANDS.get(name, name), field_text(name, value))
            for name, value in fields.items()]


def refusal(field: str, message: str) -> ValueError:
    """The ValueError of a refused field; ``err.field`` names it."""
    err = ValueError(message)
    err.field = field  # type: ignore[attr-defined]
    return err


def suggestion(word: str, candidates: Iterable[str]) -> str:
    """" (did you mean X?)" for the candidate closest to a misspelt word (a
    difference of case first, then by similarity), else ""."""
    bare = {c.lstrip("-"): c for c in candidates}  # an option's dashes are no likeness
    word = word.lstrip("-")
    same = [bare[c] for c in bare if c.lower() == word.lower()]
    close = same or [bare[c] for c in difflib.get_close_matches(word, bare, n=1, cutoff=0.6)]
    if not close:
        lowered = {c.lower(): bare[c] for c in bare}
        close = [lowered[c] for c in difflib.get_close_matches(word.lower(), lowered, n=1,
                                                               cutoff=0.6)]
    return " (did you mean %s?)" % close[0] if close else ""


def unknown_fields(names: Iterable[str]) -> list:
    return sorted(k for k in names if k not in FIELD_TYPES and k not in SHORTHANDS)


def run_fields(task: str | None, given: Mapping[str, Any] | None,
               fields: Mapping[str, Any]) -> dict:
    """The fields of a run: ``given`` (a model's), the task, then ``fields``,
    the sweep shorthands last as the command line applies them."""
    unknown = unknown_fields(fields)
    if unknown:
        known = list(FIELD_TYPES) + list(SHORTHANDS)
        raise TypeError("unknown field(s): %s (the fields are %s, T_sweep, dH_sweep)"
                        % (", ".join(k + suggestion(k, known) for k in unknown),
                           ", ".join(FIELD_TYPES)))
    out = dict(given or {})
    if task is not None:
        out["task"] = task
    for k, v in fields.items():
        if k not in SHORTHANDS:
            out[k] = v
    for k, v in fields.items():
        if k in SHORTHANDS:
            out[k] = v
    return out


def check(fields: Mapping[str, Any]) -> dict:
    """The parameters of a run as the engine would use them, without running
    it; a field the engine refuses raises ValueError naming it (``err.field``)."""
    return check_settings(settings(fields))


def check_settings(pairs: list) -> dict:
    """``check`` of fields already made settings [(key, text)]."""
    try:
        return _core.parameters(pairs)
    except ValueError as e:
        if getattr(e, "field", None) is None and len(e.args) == 2:
            raise refusal(e.args[1], e.args[0]) from None
        raise
