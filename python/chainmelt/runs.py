"""Models, runs and their results as pandas DataFrames."""

import functools
import inspect
import logging
import os
import math
import warnings
from typing import Any, Callable

import numpy as np
import pandas as pd

from . import _core
from ._fields import MODEL_FIELDS, check_settings, refusal, run_fields, settings, suggestion
from ._frames import _frame, set_attrs  # noqa: F401  (re-exported)
from ._progress import ProgressMeter, _meter  # noqa: F401  (re-exported)
from ._sweeps import Sweep, _as_sweep, _old_sweep_tuple, _sweep_fields, sweep  # noqa: F401

log = logging.getLogger("chainmelt")


class FatalError(RuntimeError):
    """A fatal numerical condition ended the run.

    Attributes
    ----------
    message : str
        The program's message.
    partial : pandas.DataFrame
        The records completed before it (the same shape as a complete result).
    """

    def __init__(self, message: str, partial: pd.DataFrame) -> None:
        super().__init__(message)
        self.message = message
        self.partial = partial


class NonFiniteWarning(RuntimeWarning):
    """Records with a field that is not a finite number were dropped."""


# The sweep a Model is checked with: one that passes every check.
_PROBE = settings(dict(task="heat", T_min=1, T_max=1, dT=1, sweep="T"))


class _ModelType(type):
    """Names a misspelt field of Model(...) with the field it may have meant
    (the interpreter's own message names the keyword only)."""

    def __call__(cls, *args, **fields):
        unknown = [k for k in fields if k not in MODEL_FIELDS]
        if unknown:
            raise TypeError("Model: unknown field(s): %s (the fields are %s)" % (
                ", ".join(k + suggestion(k, MODEL_FIELDS) for k in unknown),
                ", ".join(MODEL_FIELDS)))
        return super().__call__(*args, **fields)


class Model(metaclass=_ModelType):
    """The parameter set of a run, named and checked as on the command line.

    A Model is immutable and hashable; :meth:`replace` makes a changed copy.
    Energies (w, w2, w3, dH, dH2, e2, dHcal) and temperatures (T, Tm) share one
    unit of your choice (the Boltzmann constant is 1; kelvin with energies as
    energy/R is the usual choice); entropies (dS, dS2) are in units of k_B.

    Parameters
    ----------
    n0 : int
        The model variant: 1, 2, 4, 5 or 8.
    T, w, w2, dH, dS, Tm, dHcal, e2, w3, dH2, dS2, zsave, conc, conc2, z, nu, mode : float
        The fields of the command line of those names (keyword only); every
        field not given is 0.  With ``dH`` = 0 the program derives
        dH = dHcal - b*w (b = 0.5 for n0 = 1, else 3) and dS = dHcal / Tm;
        :attr:`fields` holds the derived values, :attr:`given` those given.

    Raises
    ------
    ValueError
        A field that the command line would refuse, named in the message and
        in ``err.field``.
    TypeError
        An unknown field (the message names the field it may have meant).

    Examples
    --------
    >>> m = chainmelt.Model(n0=2, w=-240, dHcal=2200, Tm=314)
    >>> m.dH, m.replace(w=-250).dH
    (2920.0, 2950.0)
    """

    __slots__ = ("_given", "_fields", "_settings")

    def __init__(self, n0: int, *, T: float = 0, w: float = 0, w2: float = 0, dH: float = 0,
                 dS: float = 0, Tm: float = 0, dHcal: float = 0, e2: float = 0, w3: float = 0,
                 dH2: float = 0, dS2: float = 0, zsave: float = 0, conc: float = 0,
                 conc2: float = 0, z: float = 0, nu: float = 0, mode: float = 0) -> None:
        given = dict(n0=n0, T=T, w=w, w2=w2, dH=dH, dS=dS, Tm=Tm, dHcal=dHcal, e2=e2,
                     w3=w3, dH2=dH2, dS2=dS2, zsave=zsave, conc=conc, conc2=conc2, z=z,
                     nu=nu, mode=mode)
        # The settings of a run start with the model's: made once, here.
        made = settings(given)
        # A sweep that passes every check, so that a refusal is the model's.
        params = check_settings(made + _PROBE)
        object.__setattr__(self, "_given", given)
        object.__setattr__(self, "_fields", {k: params[k] for k in MODEL_FIELDS})
        object.__setattr__(self, "_settings", tuple(made))

    def __setattr__(self, name, value):
        raise AttributeError("a Model is immutable; use replace(%s=...)" % name)

    def __reduce__(self):
        return (_model_from_given, (self._given,))

    def __getattr__(self, name):
        fields = object.__getattribute__(self, "_fields")
        if name in fields:
            return fields[name]
        raise AttributeError(name)

    def _run_settings(self) -> list:
        """The given fields as the settings of a run [(key, text)], made when the
        Model was (it does not change): a loop of one-point runs would otherwise
        turn every field to text at every call."""
        return list(self._settings)

    @property
    def fields(self) -> dict:
        """Every model field as the run uses it (dH and dS derived if dH was 0)."""
        return dict(self._fields)

    @property
    def given(self) -> dict:
        """Every model field as given (0 for those not given)."""
        return dict(self._given)

    def replace(self, **changes: Any) -> "Model":
        """A new Model with some given fields changed.

        The derivation of dH and dS is made again from the given fields, so a
        model given by Tm and dHcal follows a change of w.

        Parameters
        ----------
        **changes
            Fields and their new values.

        Returns
        -------
        Model
        """
        unknown = sorted(set(changes) - set(MODEL_FIELDS))
        if unknown:
            raise TypeError("unknown model field(s): " + ", ".join(
                k + suggestion(k, MODEL_FIELDS) for k in unknown))
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


def _model_from_given(given):
    return Model(**given)


# The signature of Model(...) is that of __init__, not of the type's __call__.
Model.__signature__ = inspect.signature(Model.__init__).replace(  # type: ignore[attr-defined]
    parameters=list(inspect.signature(Model.__init__).parameters.values())[1:])


@functools.lru_cache(maxsize=1)
def _cores() -> int:
    # Asked once: the count reads a file of the kernel at every call.
    return os.cpu_count() or 1


def _raw(fields, progress=None, file="", values=None):
    """One run of the engine; returns its result as the compiled module gives
    it, or raises ValueError naming the refused field.  ``values``: a list of
    sweep values evaluated in this one call (see _core.run)."""
    return _run_settings(settings(fields), "threads" in fields, progress, file, values)


def _run_settings(pairs, threads_given, progress=None, file="", values=None, lines=None):
    """_raw with the fields already made settings [(key, text)]; ``lines``:
    whether the sweep points' progress lines are made (default: where a
    callback or the log takes them)."""
    def deliver(kind, line):
        if kind == "progress":
            log.info(line)
            if progress is not None:
                progress(line)
        else:
            log.warning(line)

    if not threads_given and not file:
        # As in the named form of the command line: every core.
        pairs.append(("threads", str(_cores())))
    # The sweep points' progress lines are made only for someone who listens.
    if lines is None:
        lines = progress is not None or log.isEnabledFor(logging.INFO)
    try:
        if values is None:
            return _core.run(pairs, deliver, file, point_lines=lines)
        return _core.run(pairs, deliver, file, values, point_lines=lines)
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


def _execute_sweep(axis, fields, progress):
    try:
        return _execute(fields, progress)
    except ValueError as e:
        if getattr(e, "field", None) in ("T-sweep", "dH-sweep", "T_sweep", "dH_sweep"):
            text = str(e)
            for origin in ("T-sweep", "dH-sweep", "T_sweep", "dH_sweep"):
                if text.startswith(origin + ":"):
                    text = text[len(origin) + 1:].lstrip()
            raise refusal(axis, "%s: %s" % (axis, text)) from None
        raise


def _task(task, model, T, dH, threads, search, progress, points_ok, extra=None):
    if progress is None:
        return _task_inner(task, model, T, dH, threads, search, None, points_ok, extra)
    # Only a bar (progress=True) needs the count of points.
    total = _count(T if T is not None else dH, points_ok) if progress is True else None
    callback, meter = _meter(progress, total)
    try:
        return _task_inner(task, model, T, dH, threads, search, callback, points_ok, extra)
    finally:
        if meter is not None:
            meter.close()


def _count(value, points_ok):
    """The number of points of a task's T= or dH=, or None where unknown."""
    if isinstance(value, (Sweep, str)) or (isinstance(value, tuple) and len(value) == 3
                                           and (not points_ok or _old_sweep_tuple(value))):
        try:
            return len((value if isinstance(value, Sweep) else
                        Sweep.parse(value) if isinstance(value, str) else Sweep(*value)).values)
        except (ValueError, TypeError):
            return None
    if value is not None and not isinstance(value, str):
        return int(np.size(value)) if np.ndim(value) <= 1 else None
    return None


def _task_inner(task, model, T, dH, threads, search, progress, points_ok, extra=None):
    if not isinstance(model, Model):
        raise TypeError("expected a chainmelt.Model, got %r" % type(model).__name__)
    if (T is None) == (dH is None):
        raise TypeError("give exactly one of T= and dH= (a chainmelt.sweep(min, max, step), "
                        "\"min:max:step\" or a list of values)")
    axis, value = ("T", T) if T is not None else ("dH", dH)
    # The run's fields after the model's (whose settings the model keeps).
    fields = {"task": task}
    if threads is not None:
        fields["threads"] = threads
    if search is not None:
        fields["search"] = search
    if extra:
        fields.update(extra)
    if type(value) is float or type(value) is np.ndarray:
        s = None  # the common cases of values, without the tests below
    elif not points_ok and isinstance(value, tuple) and len(value) == 3:
        s = Sweep(*value)  # the task takes a sweep only: nothing else to mean
    else:
        s = _as_sweep(axis, value, stacklevel=4)
    if s is not None:
        fields.update(_sweep_fields(axis, s))
        return _execute_sweep(axis, dict(model.given, **fields), progress)
    if not points_ok:
        raise TypeError("%s: task %s takes a sweep: chainmelt.sweep(min, max, step) or "
                        "\"min:max:step\", got %r" % (axis, task, value))
    merged, values = _point_run(task, model, axis, value, fields, progress, 5)
    out = _finish(merged)
    out.attrs["parameters"].update(T_min=math.nan, T_max=math.nan, dT=math.nan)
    out.attrs["points"] = values.copy()
    return out


def _point_run(task, model, axis, value, fields, progress, stacklevel, lines=None):
    """The run of a task at the values ``value`` of ``axis`` (one number or a
    sequence) in one engine call: (its result as the compiled module gives it,
    the values as an array)."""
    if task == "heat" and model.n0 == 1:
        raise refusal(axis, "%s: heat with n0 = 1 takes its heat capacity from three "
                            "consecutive sweep points; give a sweep, chainmelt.sweep(min, max, "
                            "step)" % axis)
    try:
        values = np.atleast_1d(np.asarray(value, dtype=float))
    except (TypeError, ValueError):
        raise TypeError("%s: expected a sweep (chainmelt.sweep(min, max, step) or "
                        "\"min:max:step\") or a sequence of numbers, got %r"
                        % (axis, value)) from None
    if values.ndim != 1:
        raise ValueError("%s: expected a one-dimensional sequence of values" % axis)
    if len(values) == 0:
        raise ValueError("%s: expected at least one value" % axis)
    if len(values) == 3 and not isinstance(value, tuple) and _old_sweep_tuple(tuple(values)):
        warnings.warn("%s=%s runs the three values given; for the sweep from %g to %g in "
                      "steps of %g write %s=chainmelt.sweep(%g, %g, %g)"
                      % (axis, list(values), *values, axis, *values), UserWarning,
                      stacklevel=stacklevel)
    # One call: phase and heat under the equilibrium searches follow their
    # minima along the sorted values (the equilibrium at each does not depend
    # on the others); otherwise every value is a one-point run of its own,
    # from fresh starts.  The records come in the order of the values.
    fields = dict(fields, sweep="H" if axis == "dH" else "T")
    return _run_settings(model._run_settings() + settings(fields), "threads" in fields,
                         progress, values=values.tolist(), lines=lines), values


def _heat_columns(model, T, names, search=None, threads=None):
    """The columns ``names`` of ``heat(model, T=T, search=search,
    threads=threads)`` as arrays of doubles, without making its DataFrame (a
    fit evaluates its curve many times); refusals, warnings and FatalError as
    heat gives them.  The sweep points' progress lines are not made: the
    caller drops the engine's lines."""
    if not isinstance(model, Model):
        raise TypeError("expected a chainmelt.Model, got %r" % type(model).__name__)
    fields = {"task": "heat"}
    if threads is not None:
        fields["threads"] = threads
    if search is not None:
        fields["search"] = search
    merged, _ = _point_run("heat", model, "T", T, fields, None, 3, lines=False)
    if merged["fatal"] or merged["nonfinite"]:
        table = _finish(merged, stacklevel=3)
        return [np.asarray(table[n], dtype=float) for n in names]
    rows = merged["rows"]
    position = {c[0]: j for j, c in enumerate(merged["columns"])}
    return [np.ascontiguousarray(rows[:, position[n]]) for n in names]


_PARAMS_DOC = """
    Parameters
    ----------
    model : Model
        The parameter set of the run.
    T : Sweep, str, float or sequence of float, optional
        The temperatures.  A sweep, ``chainmelt.sweep(min, max, step)`` or
        the text ``"min:max:step"``, visits min + k*step up to and including
        max, as ``--T-sweep`` does; a step that does not divide max - min is
        refused with a ValueError naming ``T``.  A tuple ``(min, max, step)``
        is still read as that sweep, with a DeprecationWarning, where it
        cannot be a list of temperatures (min < max, 0 < step <= max - min).
    dH : Sweep, str, float or sequence of float, optional
        Instead of ``T``: a sweep of the chain melting enthalpy dH at the
        model's ``T``.  Give exactly one of ``T`` and ``dH``.
    threads : int, optional
        Sweep points minimised at once (default: every core).
    search : {"equilibrium", "robust", "classic"}, optional
        ``"equilibrium"`` (the default; for coexist and crit the robust
        search), ``"robust"`` (the same) or ``"classic"`` (the command
        line's own random starts).
    progress : bool or callable, optional
        True shows the progress on standard error: a bar (tqdm) on a
        terminal, else at most one line every 5 seconds.  A callable is
        called with each progress line (``"T = 314.000000 Task: heat"``).
        The lines are also INFO records of the logger ``"chainmelt"`` (shown
        by nothing unless logging is set up), the diagnostics WARNING
        records.
"""

_RETURNS_DOC = """
    Returns
    -------
    pandas.DataFrame
        The task's records, one row each, with the columns of the command
        line's TSV.  ``df.attrs`` holds ``"kind"``, ``"task"``,
        ``"parameters"`` (every field as the run used it) and ``"units"``
        (column to unit: ``"temperature"`` and ``"energy"`` are the model's
        unit, ``"k_B"`` a heat capacity per site, ``"1"`` a pure number).

    Raises
    ------
    ValueError
        A field the command line would refuse, named in the message and in
        ``err.field``.
    FatalError
        A fatal numerical condition ended the run; ``err.partial`` holds the
        records completed before it.
"""

_POINTS_DOC = """
    Notes
    -----
    ``T`` or ``dH`` may also be values: one number, or a list, tuple, array,
    range or Series of them whatever its type (``T=[300, 310, 320]`` and
    ``T=(300, 310, 320)`` are three temperatures), evaluated in one call of
    the engine and returned in the order given.  Under the equilibrium
    searches phase and heat follow their minima along the sorted values;
    under the classic search each value is a one-point run of its own, from
    fresh random starts.
"""


def phase(model: "Model", T: Any = None, dH: Any = None, *, threads: int | None = None,
          search: str | None = None, progress: Callable | None = None,
          method: str | None = None, L: int | None = None, sweeps: int | None = None,
          equilibration: int | None = None, seed: int | None = None) -> pd.DataFrame:
    return _task("phase", model, T, dH, threads, search, progress, True,
                 _lattice_fields(method, L, sweeps, equilibration, seed))


def heat(model: "Model", T: Any = None, dH: Any = None, *, threads: int | None = None,
         search: str | None = None, progress: Callable | None = None,
         method: str | None = None, L: int | None = None, sweeps: int | None = None,
         equilibration: int | None = None, seed: int | None = None) -> pd.DataFrame:
    return _task("heat", model, T, dH, threads, search, progress, True,
                 _lattice_fields(method, L, sweeps, equilibration, seed))


def _lattice_fields(method, L, sweeps, equilibration, seed):
    """The fields of the method and of the Monte Carlo that were given."""
    given = {"method": method, "L": L, "sweeps": sweeps, "equilibration": equilibration,
             "seed": seed}
    return {k: v for k, v in given.items() if v is not None}


def coexist(model: "Model", T: Any = None, dH: Any = None, *, threads: int | None = None,
            search: str | None = None, progress: Callable | None = None) -> pd.DataFrame:
    return _task("coexist", model, T, dH, threads, search, progress, False)


def size(model: "Model", T: Any = None, dH: Any = None, *, threads: int | None = None,
         search: str | None = None, progress: Callable | None = None) -> pd.DataFrame:
    return _task("size", model, T, dH, threads, search, progress, False)


def crit(model: "Model", T: Any = None, dH: Any = None, *, threads: int | None = None,
         search: str | None = None, progress: Callable | None = None) -> pd.DataFrame:
    return _task("crit", model, T, dH, threads, search, progress, False)


_METHOD_DOC = """
    method : {"pair", "montecarlo"}, optional
        ``"pair"`` (the default: the pair approximation) or
        ``"montecarlo"``: a Monte Carlo simulation of the exact lattice
        (n0 = 2, a sweep in T), every temperature of a sweep a replica of
        one parallel-tempering simulation spread over ``threads``.  Its
        records carry standard errors (``Cp_err``, ``x_f_err``, ``y_ff_err``,
        ``U_err``), the autocorrelation times ``tau_E`` and ``tau_Nf`` (in
        sweeps) and ``reliable`` (0 where a block of the error analysis is
        shorter than 10 autocorrelation times: give more sweeps; a warning
        says so), and no F.  The same seed gives the same records at any
        thread count.  A list of values runs each value as a simulation of
        its own.
    L : int, optional
        Side of the periodic triangular lattice: a multiple of 3 from 6 to
        3000 (default 48).
    sweeps : int, optional
        Sweeps measured at every temperature, at least 32 (default 20000).
    equilibration : int, optional
        Sweeps discarded first (default 2000).
    seed : int, optional
        Random seed, a whole number (default 1).
"""

phase.__doc__ = ("Equilibrium state at every sweep point: fluid fraction, pair probabilities "
                 "and free energy F per site.\n" + _PARAMS_DOC + _METHOD_DOC + _RETURNS_DOC
                 + _POINTS_DOC)
heat.__doc__ = ("Heat-capacity curve: Cp (k_B per site) at every sweep point.\n"
                + _PARAMS_DOC + _METHOD_DOC + _RETURNS_DOC + _POINTS_DOC)
_SWEEP_ONLY_DOC = """
    Notes
    -----
    This task takes a sweep only: ``T=(min, max, step)`` is that sweep too.
"""

coexist.__doc__ = ("Coexistence enthalpy dH at every temperature of the sweep (order-1 "
                   "energy scale).\n" + _PARAMS_DOC + _RETURNS_DOC + _SWEEP_ONLY_DOC)
size.__doc__ = ("Heat-capacity peak against the ligand size nu = -1 ... 18 (n0 = 1).\n\n"
                "    ``T`` is the temperature sweep of every size.\n"
                + _PARAMS_DOC + _RETURNS_DOC + _SWEEP_ONLY_DOC)
crit.__doc__ = ("Critical point by a downhill simplex started at (dH, T_min).\n\n"
                "    The sweep's max and step are not used but must pass the usual checks.\n"
                + _PARAMS_DOC + _RETURNS_DOC + _SWEEP_ONLY_DOC)


def run(task: str, model: "Model | None" = None, *, progress: Callable | None = None,
        **fields: Any) -> pd.DataFrame:
    """Run a task with its fields named as on the command line.

    Parameters
    ----------
    task : str
        ``"phase"``, ``"heat"``, ``"coexist"``, ``"size"`` or ``"crit"``.
    model : Model, optional
        Its fields are applied first; ``fields`` override them.
    progress : bool or callable, optional
        As for :func:`heat`.
    **fields
        Every field of the command line by name (``T_min``, ``T_max``,
        ``dT``, ``sweep``, ``search``, ``threads``, ...).  ``T_sweep=(min,
        max, step)`` and ``dH_sweep=...`` are the named form's sweeps, which
        visit min + k*step (not accumulated) up to and including max (given
        as a tuple, a :func:`chainmelt.sweep` or the text ``"min:max:step"``).

    Returns
    -------
    pandas.DataFrame
        The records, as :func:`heat` returns them.

    Examples
    --------
    >>> df = chainmelt.run("heat", n0=2, w=-240, Tm=314, dHcal=2200,
    ...                    T_min=290, T_max=340, dT=0.5)  # doctest: +SKIP
    """
    callback, meter = _meter(progress, None)
    try:
        return _execute(run_fields(task, None if model is None else model.given, fields),
                        callback)
    finally:
        if meter is not None:
            meter.close()


def run_file(path: Any, *, progress: Callable | None = None, **overrides: Any) -> pd.DataFrame:
    """Run a parameter file.

    Parameters
    ----------
    path : str or os.PathLike
        A TOML file whose keys are the fields (as for ``chainmelt run FILE``).
    progress : bool or callable, optional
        As for :func:`heat`.
    **overrides
        Fields applied after the file, as ``--set KEY=VALUE`` does.

    Returns
    -------
    pandas.DataFrame
        The records, as :func:`heat` returns them.

    Raises
    ------
    OSError
        The file cannot be read (the message names it and the reason).
    ValueError
        A key or value the command line would refuse.
    """
    try:
        with open(path, "rb"):
            pass  # an unreadable file is named with the reason
    except OSError as e:
        raise type(e)(e.errno, "cannot read the parameter file: %s" % e.strerror,
                      str(path)) from None
    callback, meter = _meter(progress, None)
    try:
        return _execute(run_fields(None, None, overrides), callback, file=str(path))
    finally:
        if meter is not None:
            meter.close()


def columns(task: str, **fields: Any) -> tuple:
    """The layout of a task's records, without running it.

    Parameters
    ----------
    task : str
        The task's name.
    **fields
        The fields of the run (at least ``n0``).

    Returns
    -------
    tuple
        ``(kind, columns, parameters)``: the record kind, a list of
        ``(name, unit, integer)`` for every column, and every field as the
        run would use it.
    """
    return _core.columns(settings(dict(fields, task=task)))
