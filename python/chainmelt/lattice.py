"""The exact lattice of the one-lipid model (n0 = 2), beside the pair
approximation: configurations to look at.  The heat-capacity curve and the
equilibrium states of the lattice are ``chainmelt.heat`` and
``chainmelt.phase`` with ``method="montecarlo"``."""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np
import pandas as pd

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


def reweighted(model: Any, T: Any, at: Any, L: int = 48, sweeps: int = 20000,
               equilibration: int = 2000, seed: int = 1,
               threads: int | None = None) -> pd.DataFrame:
    """A smooth heat-capacity curve of the exact lattice by multiple-histogram
    reweighting.

    The lattice is simulated at the temperatures ``T`` (parallel tempering, as
    ``chainmelt.heat(model, T=..., method="montecarlo")`` does) and the measured
    series of all of them are reweighted onto the temperatures ``at``, which must lie
    within the simulated range.

    Parameters
    ----------
    model : chainmelt.Model
        The one-lipid model (n0 = 2).
    T : sequence of float
        The simulated temperatures (the replicas).
    at : sequence of float
        The temperatures of the reweighted curve.
    L, sweeps, equilibration, seed : int
        As for ``chainmelt.heat`` with ``method="montecarlo"``.
    threads : int, optional
        Threads the replicas are spread over (default: every core); the result is
        the same at any number.

    Returns
    -------
    pandas.DataFrame
        One row per temperature of ``T`` and of ``at``, sorted by temperature, with
        ``T``, ``Cp``, ``Cp_err``, ``U``, ``U_err``, ``x_f``, ``x_f_err``, ``y_ff``,
        ``y_ff_err``, ``reliable`` (0 where the error analysis or the overlap of the
        samples is not sound) and ``simulated`` (1 for a simulated temperature, 0 for
        a reweighted one; reweighted rows have no autocorrelation times, NaN there).
        ``df.attrs`` holds "parameters", "units" and the replica exchange rates.

    Raises
    ------
    ValueError
        A refused setting or temperature (``err.field`` names it).
    KeyboardInterrupt
        Ctrl-C during the simulation.
    """
    import os

    from .runs import Model
    if not isinstance(model, Model):
        raise TypeError("expected a chainmelt.Model, got %r" % type(model).__name__)
    given = {k: v for k, v in model.given.items() if k != "T"}
    given.update(L=L, sweeps=sweeps, equilibration=equilibration, seed=seed)
    temps = [float(t) for t in np.atleast_1d(np.asarray(T, dtype=float))]
    points = [float(t) for t in np.atleast_1d(np.asarray(at, dtype=float))]
    try:
        r = _core.lattice_curve(settings(given), temps, points,
                                int(threads) if threads else (os.cpu_count() or 1))
    except ValueError as e:
        if len(e.args) == 2:
            raise refusal(e.args[1], e.args[0]) from None
        raise
    sim = pd.DataFrame(r["simulated"])
    sim["simulated"] = 1
    curve = pd.DataFrame(r["curve"])
    curve["tau_E"] = np.nan
    curve["tau_Nf"] = np.nan
    curve["simulated"] = 0
    df = pd.concat([sim, curve], ignore_index=True).sort_values("T", kind="stable")
    df = df.reset_index(drop=True)
    for c in ("reliable", "simulated"):
        df[c] = df[c].astype(np.int64)
    df.attrs["kind"] = "heat"
    df.attrs["parameters"] = dict(r["parameters"])
    df.attrs["units"] = {"T": "temperature", "Cp": "k_B", "Cp_err": "k_B", "U": "energy",
                         "U_err": "energy", "x_f": "1", "x_f_err": "1", "y_ff": "1",
                         "y_ff_err": "1", "tau_E": "sweeps", "tau_Nf": "sweeps",
                         "reliable": "1", "simulated": "1"}
    df.attrs["exchange_rate"] = list(r["exchange_rate"])
    return df


__all__ = ["snapshot", "reweighted"]
