"""Synthetic DSC scans made apart from the fit's own code: the engine called directly
(chainmelt.heat), its energies averaged over each data interval here, then converted to
an instrument's units, with a sloped baseline and noise, and written as a scan file."""

from __future__ import annotations

import numpy as np

import chainmelt

R = 8.314462618  # J/(mol K)
KELVIN = 273.15


def _edges(T):
    """Interval edges: mid-points between neighbours, half a step beyond each end."""
    T = np.asarray(T, dtype=float)
    inner = (T[1:] + T[:-1]) / 2
    return np.concatenate([[2 * T[0] - inner[0]], inner, [2 * T[-1] - inner[-1]]])


def lattice_excess(T, **fields):
    """Interval-averaged excess Cp (k_B per chain) of the pair model at the points T (K)."""
    edges = _edges(T)
    table = chainmelt.heat(chainmelt.Model(2, **fields), T=edges, search="equilibrium")
    U = table["U"].to_numpy(dtype=float)
    assert np.allclose(table["T"].to_numpy(), edges)
    return np.diff(U) / np.diff(edges)


def two_state_excess(T, dH_kJ, cu_lipids, Tm):
    """Interval-averaged van 't Hoff two-state peak, J/(mol lipid K): calorimetric
    enthalpy dH_kJ per mole of lipid, cu_lipids lipids per cooperative unit."""
    edges = _edges(T)
    vH = cu_lipids * dH_kJ * 1e3
    K = np.exp(-vH / R * (1 / edges - 1 / Tm))
    H = dH_kJ * 1e3 * K / (1 + K)
    return np.diff(H) / np.diff(edges)


def scan(path, T_C, cp_J, noise, seed, slope=(1.6, 0.015), unit="kJ", header=True):
    """Write a scan: T in °C and Cp = excess (J/(mol K)) + a sloped baseline
    (a + b (T - 25 °C), in the file's unit) + Gaussian noise of ``noise`` times the
    height of the smooth peak (the highest point but for the interval holding a latent
    heat, which a calorimeter records as one tall point).  Cp in kJ/(mol K) (``unit``
    "kJ") or kcal/(mol K) ("kcal")."""
    scale = {"kJ": 1e-3, "kcal": 1e-3 / 4.184}[unit]
    rng = np.random.default_rng(seed)
    cp = cp_J * scale
    y = cp + slope[0] + slope[1] * (np.asarray(T_C) - 25.0)
    y = y + rng.normal(0.0, noise * smooth_height(cp), y.size)
    lines = [f"T (C),Cp ({unit}/(mol K))\n"] if header else []
    lines += [f"{t:.4f},{c:.7g}\n" for t, c in zip(T_C, y)]
    path.write_text("".join(lines), encoding="utf-8")
    return path


def smooth_height(cp):
    """The peak height of a curve, a point standing far above both neighbours (a
    latent heat in one interval) left out."""
    cp = np.asarray(cp, dtype=float)
    i = int(np.argmax(cp))
    if 0 < i < cp.size - 1 and cp[i] > 3 * max(cp[i - 1], cp[i + 1]):
        return float(max(cp[i - 1], cp[i + 1]))
    return float(cp[i])


def per_chain_to_J(cp, chains_per_lipid=2):
    """k_B per chain to J/(mol lipid K)."""
    return np.asarray(cp) * R * chains_per_lipid
