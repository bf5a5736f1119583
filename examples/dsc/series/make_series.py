"""Write the three-scan series of this folder: a lipid with increasing amounts of a
second component (n0 = 4), for global fits.

    python3 examples/dsc/series/make_series.py   (with the chainmelt package importable)

Each scan is the equilibrium excess heat capacity of the n0 = 4 model with the shared
parameters of TRUE and its own fraction ``conc`` of the second component.  The energy U
comes from the engine (chainmelt.heat, equilibrium search) at the edges of the intervals
the data points stand for, and the heat capacity of each point is the mean over its
interval, [U(right edge) - U(left edge)] / width, worked out here by hand.  It is
converted to kJ/(mol K) per mole of lipid (2 chains), a sloped baseline of its own and
normal noise from a fixed seed are added, and the file names ``conc`` in a header line
(``# conc = 0.05``).  Fixed decimals: the files are the same byte for byte on every run.
"""

import os

import numpy as np

import chainmelt as cm

#: The shared parameters (energies as energy/R in kelvin).
TRUE = {"n0": 4, "dH": 0.0, "w": -240.0, "dHcal": 2200.0, "Tm": 314.0, "w3": 100.0}
#: Per scan: file, conc, baseline (value at the first point, slope per K), noise, seed.
SCANS = [("series-conc0.02.csv", 0.02, 1.55, 0.010, 0.03, 21),
         ("series-conc0.05.csv", 0.05, 1.70, 0.006, 0.03, 22),
         ("series-conc0.10.csv", 0.10, 1.62, 0.014, 0.03, 23)]
R = 8.314462618
CHAINS = 2.0
T_C = np.round(np.linspace(27.0, 61.5, 150), 10)   # degrees Celsius, 150 points

HERE = os.path.dirname(os.path.abspath(__file__))


def excess_kJ(conc, T_C):
    """Mean excess heat capacity over each point's interval, kJ/(mol K) per mole of lipid."""
    T = T_C + 273.15
    mid = 0.5 * (T[1:] + T[:-1])
    edges = np.concatenate([[T[0] - (mid[0] - T[0])], mid, [T[-1] + (T[-1] - mid[-1])]])
    curve = cm.heat(cm.Model(**TRUE, conc=conc), T=edges, search="equilibrium")
    U = curve["U"].to_numpy(dtype=float)
    assert len(U) == len(edges)
    cp_site = np.diff(U) / np.diff(edges)           # k_B per chain
    return cp_site * R * CHAINS / 1000.0


def main():
    for name, conc, b0, b1, noise, seed in SCANS:
        rng = np.random.default_rng(seed)
        Cp = excess_kJ(conc, T_C) + b0 + b1 * (T_C - T_C[0]) + rng.normal(0, noise, T_C.size)
        with open(os.path.join(HERE, name), "w", encoding="utf-8", newline="\n") as f:
            f.write("# Synthetic DSC scan made by chainmelt (examples/dsc/series/make_series.py)\n")
            f.write(f"# conc = {conc:g}\n")
            f.write("Temperature (C),Cp (kJ/(mol K))\n")
            for t, c in zip(T_C, Cp):
                f.write(f"{t:.2f},{c:.4f}\n")


if __name__ == "__main__":
    main()
