"""Sweeps MIN:MAX:STEP of a task's temperature or enthalpy."""

import math
import numbers
import warnings

import numpy as np

from ._fields import refusal


class Sweep:
    """A sweep MIN, MIN + STEP, ... MAX, as ``--T-sweep MIN:MAX:STEP`` visits it.

    The values are MIN + k*STEP for k = 0 ... (MAX - MIN)/STEP, the end point
    included; a STEP that does not divide MAX - MIN is refused when a task runs
    it.  Made by :func:`sweep` or from the text ``"MIN:MAX:STEP"``
    (:meth:`parse`).  A Sweep is immutable; it unpacks as ``min, max, step``.

    Parameters
    ----------
    min, max, step : float
        The first value, the last and the step; finite numbers.

    Raises
    ------
    ValueError
        A value that is not a finite number.
    """

    __slots__ = ("min", "max", "step")
    min: float
    max: float
    step: float

    def __init__(self, min: float, max: float, step: float):
        for name, v in (("MIN", min), ("MAX", max), ("STEP", step)):
            if isinstance(v, bool) or not isinstance(v, numbers.Real) or not math.isfinite(v):
                raise ValueError("sweep: %s: expected a finite number, got %r" % (name, v))
        object.__setattr__(self, "min", float(min))
        object.__setattr__(self, "max", float(max))
        object.__setattr__(self, "step", float(step))

    def __setattr__(self, name, value):
        raise AttributeError("a Sweep is immutable")

    @classmethod
    def parse(cls, text: str, axis: str = "T") -> "Sweep":
        """The Sweep of the text ``"MIN:MAX:STEP"``, as ``--T-sweep`` takes it.

        Parameters
        ----------
        text : str
            The sweep.
        axis : str, default "T"
            The field the sweep is for, named by a refusal.

        Raises
        ------
        ValueError
            Not three numbers separated by colons (``err.field`` is ``axis``).
        """
        parts = text.split(":")
        try:
            if len(parts) != 3:
                raise ValueError
            lo, hi, step = (float(p) for p in parts)
        except ValueError:
            raise refusal(axis, "%s: expected \"MIN:MAX:STEP\" of numbers, got %r"
                          % (axis, text)) from None
        return cls(lo, hi, step)

    @property
    def values(self) -> np.ndarray:
        """The values visited, MIN + k*STEP (after the checks of a run)."""
        n = round((self.max - self.min) / self.step) if self.step > 0 else 0
        return self.min + np.arange(n + 1) * self.step

    def text(self) -> str:
        """The sweep as the text ``"MIN:MAX:STEP"``, each number exactly (``repr``)."""
        return ":".join(repr(v) for v in (self.min, self.max, self.step))

    def __iter__(self):
        return iter((self.min, self.max, self.step))

    def __eq__(self, other):
        return isinstance(other, Sweep) and tuple(self) == tuple(other)

    def __hash__(self):
        return hash(tuple(self))

    def __repr__(self):
        return "sweep(%r, %r, %r)" % (self.min, self.max, self.step)


def sweep(min: float, max: float, step: float) -> Sweep:
    """The sweep MIN + k*STEP up to and including MAX, for a task's ``T=`` or ``dH=``.

    Parameters
    ----------
    min, max, step : float
        The first value, the last and the step.

    Returns
    -------
    Sweep
        The sweep; a STEP that does not divide MAX - MIN is refused when the
        task runs.

    Examples
    --------
    301 temperatures, 300.0 ... 330.0, each exactly 300 + k*0.1 (the same as
    ``T="300:330:0.1"`` and as ``--T-sweep 300:330:0.1``):

    >>> chainmelt.heat(m, T=chainmelt.sweep(300, 330, 0.1))  # doctest: +SKIP
    """
    return Sweep(min, max, step)


def _old_sweep_tuple(value) -> bool:
    """Whether a tuple reads as the former ``(min, max, step)`` sweep: three
    numbers with min < max and 0 < step <= max - min (three increasing
    temperatures fail the last test)."""
    if not (isinstance(value, tuple) and len(value) == 3):
        return False
    if not all(isinstance(v, numbers.Real) and not isinstance(v, bool) for v in value):
        return False
    lo, hi, step = value
    return lo < hi and 0 < step <= hi - lo


def _as_sweep(axis, value, stacklevel=4):
    """The Sweep ``value`` stands for, or None for a list of values."""
    if isinstance(value, Sweep):
        return value
    if isinstance(value, str):
        return Sweep.parse(value, axis)
    if _old_sweep_tuple(value):
        lo, hi, step = value
        text = Sweep(lo, hi, step).text()
        warnings.warn("%s=%r: a tuple is a list of values; as a sweep it is read as "
                      "chainmelt.sweep(%r, %r, %r) (MIN + k*STEP, MAX included). Write "
                      "that, or %s=\"%s\", to say so" % (axis, value, lo, hi, step, axis, text),
                      DeprecationWarning, stacklevel=stacklevel)
        return Sweep(lo, hi, step)
    return None


def _sweep_fields(axis, s):
    return {"T_sweep" if axis == "T" else "dH_sweep": s.text()}
