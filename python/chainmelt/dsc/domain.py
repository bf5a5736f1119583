"""A first-order transition rounded by a finite cooperative domain.

On the infinite lattice a first-order transition is a jump: at T* the equilibrium passes
from minimum a (below T*) to minimum b (above), and the latent heat U_b - U_a is taken up
at that one temperature.  A domain of N sites that melts as one unit sees both minima
with their Boltzmann weights,

    Z = exp(-N F_a / T) + exp(-N F_b / T),     p = 1 / (1 + exp(N (F_b - F_a) / T)),
    U = (1 - p) U_a + p U_b,
    Cp = (1 - p) C_a + p C_b + N p (1 - p) (U_b - U_a)^2 / T^2,

F, U and C per site (energies in kelvin, k_B = 1).  Where only one minimum exists the
domain follows it; N -> infinity gives back the infinite lattice and its latent heat.
The fit compares the model as the mean heat capacity over each data interval, so only
U at the interval edges is needed here: the last term of Cp is then in the differences
of U.

The minima come from ``branches(fields, T) -> dict`` (the engine's
``chainmelt._branches.branches``): ``"U"`` the equilibrium energy per site and
``"jumps"``, one dict per first-order transition with arrays ``F_a``, ``U_a``, ``F_b``,
``U_b`` over T (NaN where that minimum does not exist).
"""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np
from scipy.special import expit


def compiled_branches() -> Callable | None:
    """The engine's two-minima call, or None where this build has none."""
    try:
        from .._branches import branches
    except ImportError:
        return None

    def call(fields: dict, T: np.ndarray) -> dict:
        return branches(dict(fields), np.asarray(T, dtype=float))
    return call


def weight_b(F_a, F_b, T, sites: float) -> np.ndarray:
    """p, the probability that a domain of ``sites`` sites is in minimum b."""
    with np.errstate(invalid="ignore", over="ignore"):
        return expit(-sites * (np.asarray(F_b) - np.asarray(F_a)) / np.asarray(T))


def domain_energy(branches: dict, T: np.ndarray, sites: float) -> np.ndarray:
    """Energy per site of a domain of ``sites`` sites at the temperatures T, from the
    engine's minima ``branches`` at those temperatures (``sites`` = inf: the infinite
    lattice's equilibrium energy)."""
    T = np.asarray(T, dtype=float)
    U = np.array(branches["U"], dtype=float)
    if U.shape != T.shape:
        raise RuntimeError("the engine's minima do not match the temperatures asked")
    if math.isinf(sites):
        return U
    if not sites > 0:
        raise ValueError(f"domain: expected a positive number of sites, got {sites:g}")
    for jump in branches.get("jumps", ()):
        F_a, U_a = np.asarray(jump["F_a"], float), np.asarray(jump["U_a"], float)
        F_b, U_b = np.asarray(jump["F_b"], float), np.asarray(jump["U_b"], float)
        both = np.isfinite(F_a) & np.isfinite(F_b) & np.isfinite(U_a) & np.isfinite(U_b)
        if not np.any(both):
            continue
        p = weight_b(F_a[both], F_b[both], T[both], sites)
        U[both] = (1 - p) * U_a[both] + p * U_b[both]
    return U


def domain_heat_capacity(T, F_a, U_a, C_a, F_b, U_b, C_b, sites: float) -> np.ndarray:
    """Cp per site of a domain of ``sites`` sites at the points T, from the two minima's
    F, U and Cp (the point form of the module's formula; the fit itself differences U)."""
    p = weight_b(F_a, F_b, T, sites)
    T = np.asarray(T, dtype=float)
    dU = np.asarray(U_b) - np.asarray(U_a)
    return (1 - p) * np.asarray(C_a) + p * np.asarray(C_b) + sites * p * (1 - p) * dU ** 2 / T ** 2
