"""The exact lattice of the one-lipid model (n0 = 2), beside the pair
approximation: configurations to look at.  The heat-capacity curve and the
equilibrium states of the lattice are ``chainmelt.heat`` and
``chainmelt.phase`` with ``method="montecarlo"``."""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np

from . import _core
from ._fields import field_text, refusal, settings


def snapshot(model: Any, T: float, L: int, seed: int = 1, sweeps: int = 2000) -> np.ndarray:
    """One configuration of the exact lattice at the temperature T.

    The periodic L x L triangular lattice after ``sweeps`` Metropolis sweeps
    from a random start.  Site (x, y) neighbours (x +- 1, y), (x, y +- 1),
    (x + 1, y - 1) and (x - 1, y + 1): drawn with row y shifted by y/2 sites
    the lattice is triangular (:func:`chainmelt.plot.lattice` draws it so).
    The same seed gives the same picture.  Ctrl-C ends the sweeps with
    KeyboardInterrupt.

    Parameters
    ----------
    model : Model
        The model; it must have n0 = 2.
    T : float
        The temperature.
    L : int
        Side of the lattice, a multiple of 3 from 6 to 3000.
    seed : int, default 1
        Random seed.
    sweeps : int, default 2000
        Metropolis sweeps before the picture is taken.

    Returns
    -------
    numpy.ndarray
        An (L, L) array of uint8, ``a[y, x]`` 1 for a fluid site and 0 for a
        gel site.

    Raises
    ------
    ValueError
        A refused value, named in the message and in ``err.field``.
    """
    from .runs import Model
    if not isinstance(model, Model):
        raise TypeError("expected a chainmelt.Model, got %r" % type(model).__name__)
    if model.n0 != 2:
        raise refusal("n0", "n0: expected 2 (the exact lattice is that of the one-lipid "
                            "model), got %d" % model.n0)
    if isinstance(T, bool) or not isinstance(T, numbers.Real) or not (
            math.isfinite(T) and T > 0):
        raise refusal("T", "T: expected a positive finite temperature, got %r" % (T,))
    if isinstance(sweeps, bool) or not isinstance(sweeps, numbers.Integral) or sweeps < 0:
        raise refusal("sweeps", "sweeps: expected a whole number of sweeps (>= 0), got %r"
                      % (sweeps,))
    given = {k: v for k, v in model.given.items() if k != "T"}
    try:
        return _core.lattice_snapshot(settings(given), float(T), field_text("L", L),
                                      field_text("seed", seed), int(sweeps))
    except ValueError as e:
        if len(e.args) == 2:
            raise refusal(e.args[1], e.args[0]) from None
        raise


__all__ = ["snapshot"]
