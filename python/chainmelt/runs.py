"""Models, runs and their results as pandas DataFrames."""

import logging
import os
import math
import numbers
import warnings
from typing import Any, Callable

import numpy as np
import pandas as pd

from . import _core
from ._fields import MODEL_FIELDS, check, refusal, run_fields, settings

log = logging.getLogger("chainmelt")


class FatalError(RuntimeError):
    """A fatal numerical condition ended the run.

    ``message`` is the program's message, ``partial`` a DataFrame of the
    records completed before it (the same shape as a complete result).
    """

    def __init__(self, message: str, partial: pd.DataFrame) -> None:
        super().__init__(message)
        self.message = message
        self.partial = partial


class NonFiniteWarning(RuntimeWarning):
    """Records with a field that is not a finite number were dropped."""


class Model:
    """The parameter set of a run: the variant ``n0``, the temperature ``T``
    and the model parameters, named and checked as on the command line.

    Every field not given is 0.  Energies (w, w2, w3, dH, dH2, e2, dHcal) and
    temperatures (T, Tm) share one unit of your choice (the Boltzmann constant
    is 1; kelvin with energies as energy/R is the usual choice); entropies
    (dS, dS2) are in units of k_B.  With ``dH`` = 0 the program derives
    dH = dHcal - b*w (b = 0.5 for n0 = 1, else 3) and dS = dHcal / Tm; the
    derived values are in ``fields``, the given ones in ``given``.  A field
    that the command line would refuse raises ``ValueError`` naming it
    (``err.field``).
    """

    __slots__ = ("_given", "_fields")

    def __init__(self, n0: int, *, T: float = 0, w: float = 0, w2: float = 0, dH: float = 0,
                 dS: float = 0, Tm: float = 0, dHcal: float = 0, e2: float = 0, w3: float = 0,
                 dH2: float = 0, dS2: float = 0, zsave: float = 0, conc: float = 0,
                 conc2: float = 0, z: float = 0, nu: float = 0, mode: float = 0) -> None:
        given = dict(n0=n0, T=T, w=w, w2=w2, dH=dH, dS=dS, Tm=Tm, dHcal=dHcal, e2=e2,
                     w3=w3, dH2=dH2, dS2=dS2, zsave=zsave, conc=conc, conc2=conc2, z=z,
                     nu=nu, mode=mode)
        # A sweep that passes every check, so that a refusal is the model's.
        probe = dict(given, task="heat", T_min=1, T_max=1, dT=1, sweep="T")
        params = check(probe)
        object.__setattr__(self, "_given", given)
        object.__setattr__(self, "_fields", {k: params[k] for k in MODEL_FIELDS})

    def __setattr__(self, name, value):
        raise AttributeError("a Model is immutable; use replace(%s=...)" % name)

    def __getattr__(self, name):
        fields = object.__getattribute__(self, "_fields")
        if name in fields:
            return fields[name]
        raise AttributeError(name)

    @property
    def fields(self) -> dict:
        """Every model field as the run uses it (dH and dS derived if dH was 0)."""
        return dict(self._fields)

    @property
    def given(self) -> dict:
        """Every model field as given (0 for those not given)."""
        return dict(self._given)

    def replace(self, **changes: Any) -> "Model":
        """A new Model with some given fields changed.  The derivation of dH
        and dS is made again from the given fields, so a model given by Tm and
        dHcal follows a change of w."""
        unknown = sorted(set(changes) - set(MODEL_FIELDS))
        if unknown:
            raise TypeError("unknown model field(s): " + ", ".join(unknown))
        return Model(**dict(self._given, **changes))

    def __eq__(self, other):
        return isinstance(other, Model) and self._given == other._given

    def __hash__(self):
        return hash(tuple(sorted(self._given.items())))

    def __repr__(self):
        parts = ["n0=%d" % self._given["n0"]]
        for k in MODEL_FIELDS[1:]:
            v = self._given[k]
            if v != 0:
                parts.append("%s=%r" % (k, v))
        if self._given["dH"] == 0:
            parts.append("derived: dH=%r, dS=%r" % (self._fields["dH"], self._fields["dS"]))
        return "Model(%s)" % ", ".join(parts)


def _frame(result, task):
    names = [c[0] for c in result["columns"]]
    df = pd.DataFrame(result["rows"], columns=names)
    for name, _, integer in result["columns"]:
        if integer and len(df) and np.isfinite(df[name].to_numpy()).all():
            df[name] = df[name].astype(np.int64)
    set_attrs(df, result["kind"], task, result["parameters"],
               {c[0]: c[1] for c in result["columns"]})
    return df


def set_attrs(df: pd.DataFrame, kind: str, task: str, parameters: dict, units: dict) -> None:
    df.attrs["kind"] = kind
    df.attrs["task"] = task
    df.attrs["parameters"] = dict(parameters)
    df.attrs["units"] = dict(units)


def _raw(fields, progress=None, file=""):
    """One run of the engine; returns its result as the compiled module gives
    it, or raises ValueError naming the refused field."""
    def deliver(kind, line):
        if kind == "progress":
            log.info(line)
            if progress is not None:
                progress(line)
        else:
            log.warning(line)

    if "threads" not in fields and not file:
        # As in the named form of the command line: every core.
        fields = dict(fields, threads=os.cpu_count() or 1)
    try:
        return _core.run(settings(fields), deliver, file)
    except ValueError as e:
        if len(e.args) == 2:
            raise refusal(e.args[1], e.args[0]) from None
        raise


def _finish(result, nonfinite=None, stacklevel=4):
    """The DataFrame of a result; warns of records left out, raises
    FatalError after a fatal condition."""
    task = result["parameters"]["task"]
    df = _frame(result, task)
    nonfinite = result["nonfinite"] if nonfinite is None else nonfinite
    if nonfinite:
        warnings.warn("%d record(s) of this %s run had a field that is not a finite number "
                      "and were left out (the 'chainmelt' log names them)"
                      % (nonfinite, task), NonFiniteWarning, stacklevel=stacklevel)
    if result["fatal"]:
        raise FatalError(result["message"], df)
    return df


def _execute(fields, progress=None, file=""):
    """One run of the engine; returns its DataFrame or raises FatalError."""
    return _finish(_raw(fields, progress, file))


def _concat(frames, template):
    if not frames:
        return template
    df = pd.concat(frames, ignore_index=True)
    for k, v in template.attrs.items():
        df.attrs[k] = v
    return df


def _is_points(value):
    if isinstance(value, tuple):
        return False
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        return True
    return isinstance(value, (list, np.ndarray, pd.Series, pd.Index, range))


def _task(task, model, T, dH, threads, search, progress, points_ok):
    if not isinstance(model, Model):
        raise TypeError("expected a chainmelt.Model, got %r" % type(model).__name__)
    if (T is None) == (dH is None):
        raise TypeError("give exactly one of T=(min, max, step) and dH=(min, max, step)")
    axis, value = ("T", T) if T is not None else ("dH", dH)
    fields = dict(model.given, task=task)
    if threads is not None:
        fields["threads"] = threads
    if search is not None:
        fields["search"] = search
    sweep = "H" if axis == "dH" else "T"
    if not _is_points(value):
        try:
            lo, hi, step = value
        except (TypeError, ValueError):
            raise TypeError("%s: expected a tuple (min, max, step)%s, got %r" % (
                axis, " or a sequence of values" if points_ok else "", value)) from None
        fields.update(T_min=lo, T_max=hi, dT=step, sweep=sweep)
        return _execute(fields, progress)
    if not points_ok:
        raise TypeError("%s: task %s takes a sweep tuple (min, max, step), got %r"
                        % (axis, task, value))
    if task == "heat" and model.n0 == 1:
        raise ValueError("%s: heat with n0 = 1 takes its heat capacity from three consecutive "
                         "sweep points; give a tuple (min, max, step)" % axis)
    values = np.atleast_1d(np.asarray(value, dtype=float))
    if values.ndim != 1:
        raise ValueError("%s: expected a one-dimensional sequence of values" % axis)
    if len(values) == 0:
        raise ValueError("%s: expected at least one value" % axis)
    # Every value is a sweep of its own: the result at a value does not depend
    # on the values before it.  The rows are gathered and made into one
    # DataFrame at the end (a fit evaluates hundreds of such points).
    results = []
    for v in values:
        # One point: nothing to share among threads.
        results.append(_raw(dict(fields, T_min=v, T_max=v, dT=1, sweep=sweep, threads=1),
                            progress))
        if results[-1]["fatal"]:
            break
    last = results[-1]
    merged = dict(last, rows=np.concatenate([r["rows"] for r in results], axis=0))
    out = _finish(merged, nonfinite=sum(r["nonfinite"] for r in results))
    out.attrs["parameters"] = dict(out.attrs["parameters"], T_min=math.nan, T_max=math.nan,
                                   dT=math.nan)
    out.attrs["points"] = values.copy()
    return out


_COMMON_DOC = """
    model: a chainmelt.Model.
    T: the sweep in temperature, a tuple (min, max, step): the program's own
       sweep, min, min + step, ... (the step accumulated) while not above max.
    dH: instead, a sweep of the chain melting enthalpy dH at the model's T.
    threads: sweep points minimised at once (default: every core).
    search: "classic" (default), "equilibrium" or "robust".
    progress: called with each progress line ("T = 314.000000 Task: heat");
       the lines are also INFO records of the logger "chainmelt", the
       diagnostics WARNING records.

    Returns a pandas.DataFrame with the task's columns; df.attrs holds
    "kind", "task", "parameters" (every field as the run used it) and
    "units" (column -> unit: "temperature" and "energy" are the model's unit,
    "k_B" heat capacity per site, "1" a pure number).  Raises FatalError
    (with err.partial) when a fatal numerical condition ends the run and
    ValueError naming the field that the command line would refuse.
"""

_POINTS_DOC = """
    T or dH may also be a list or array of values (or one number): each is
    run as a sweep of its own (one point, from fresh random starts), in
    order, and the records are concatenated.
"""


def phase(model: "Model", T: Any = None, dH: Any = None, *, threads: int | None = None,
          search: str | None = None, progress: Callable | None = None) -> pd.DataFrame:
    return _task("phase", model, T, dH, threads, search, progress, True)


def heat(model: "Model", T: Any = None, dH: Any = None, *, threads: int | None = None,
         search: str | None = None, progress: Callable | None = None) -> pd.DataFrame:
    return _task("heat", model, T, dH, threads, search, progress, True)


def coexist(model: "Model", T: Any = None, dH: Any = None, *, threads: int | None = None,
            search: str | None = None, progress: Callable | None = None) -> pd.DataFrame:
    return _task("coexist", model, T, dH, threads, search, progress, False)


def size(model: "Model", T: Any = None, dH: Any = None, *, threads: int | None = None,
         search: str | None = None, progress: Callable | None = None) -> pd.DataFrame:
    return _task("size", model, T, dH, threads, search, progress, False)


def crit(model: "Model", T: Any = None, dH: Any = None, *, threads: int | None = None,
         search: str | None = None, progress: Callable | None = None) -> pd.DataFrame:
    return _task("crit", model, T, dH, threads, search, progress, False)


phase.__doc__ = ("Equilibrium state (fluid fraction, pair probabilities, free energy F per "
                 "site) at every sweep point.\n" + _COMMON_DOC + _POINTS_DOC)
heat.__doc__ = ("Heat-capacity curve: Cp (k_B per site) at every sweep point.\n"
                + _COMMON_DOC + _POINTS_DOC)
coexist.__doc__ = ("Coexistence enthalpy dH at every temperature of the sweep (order-1 "
                   "energy scale).\n" + _COMMON_DOC)
size.__doc__ = ("Heat-capacity peak against ligand size nu = -1 ... 18 (n0 = 1); T is the "
                "temperature sweep of every size.\n" + _COMMON_DOC)
crit.__doc__ = ("Critical point by a downhill simplex started at (dH, T_min); the sweep's "
                "max and step must pass the usual checks.\n" + _COMMON_DOC)


def run(task: str, model: "Model | None" = None, *, progress: Callable | None = None,
        **fields: Any) -> pd.DataFrame:
    """Runs a task with its fields named as on the command line
    (``run("heat", n0=2, w=-240, Tm=314, dHcal=2200, T_min=290, T_max=340,
    dT=0.5)``; the fields of ``model`` first, if given).  ``T_sweep=(min,
    max, step)`` and ``dH_sweep=...`` are the named form's sweeps, which
    visit min + k*step (not accumulated) up to and including max.  Returns a
    DataFrame as ``heat`` does."""
    return _execute(run_fields(task, None if model is None else model.given, fields), progress)


def run_file(path: Any, *, progress: Callable | None = None, **overrides: Any) -> pd.DataFrame:
    """Runs a parameter file (TOML, the keys named as the fields), the
    overrides applied after it as ``--set`` does."""
    return _execute(run_fields(None, None, overrides), progress, file=str(path))


def columns(task: str, **fields: Any) -> tuple:
    """(kind, [(name, unit, integer)], parameters) of the records of a task
    and variant, without running it."""
    return _core.columns(settings(dict(fields, task=task)))
