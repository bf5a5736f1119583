"""The equilibrium curve with both minima of each first-order transition: what a
finite cooperative domain mixes."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from . import _core
from ._fields import refusal, settings


def branches(model: Any, T: Any, threads: int = 1) -> dict:
    """The equilibrium curve of ``model`` at the temperatures ``T`` (any order) in one
    call of the continuation engine, and both minima of every first-order transition on
    it, each followed over all of ``T`` as far as it exists.

    ``model``: a ``chainmelt.Model`` or a dict of its fields (as given: with dH = 0, dHcal
    and Tm derive dH and dS).  Returns a dict: ``T`` (as given), ``F`` and ``U`` (free
    energy and energy per site of the equilibrium), ``unresolved`` (intervals where the
    equilibrium changed minimum without a located crossing), ``parameters`` and ``jumps``,
    one dict per transition in order of temperature: ``T`` (the crossing), ``latent``
    (U_b - U_a there), ``F`` (the common free energy there) and ``F_a``, ``U_a``, ``F_b``,
    ``U_b``: arrays over ``T`` of the minimum below the crossing (a) and above it (b), NaN
    where that minimum does not exist.  Raises ValueError naming a refused field."""
    if isinstance(model, Mapping):
        fields = dict(model)
    elif isinstance(getattr(model, "given", None), Mapping):
        fields = dict(model.given)
    else:
        raise ValueError("model: expected a chainmelt.Model or a dict of model fields")
    temps = np.ascontiguousarray(np.atleast_1d(np.asarray(T, dtype=float)))
    if temps.ndim != 1:
        raise refusal("T", "T: expected a one-dimensional list of temperatures")
    try:
        return _core.branches(settings(fields), temps, int(threads))
    except ValueError as e:
        if len(e.args) == 2:
            raise refusal(e.args[1], e.args[0]) from None
        raise
