"""Write the synthetic DSC scans of this folder from the model itself.

    python3 examples/dsc/make_data.py        (with the chainmelt package importable)

Each scan is the equilibrium excess heat capacity of the pair model (n0 = 2) with the
parameters of TRUE, taken as the mean over each data interval: the equilibrium energy
from chainmelt.heat at the interval edges (mid-points between the temperatures, half a
step beyond the ends), differenced and divided by the interval, here and not through
the fitting code.  It is converted to the instrument's units, with a sloped baseline
and normally distributed noise from a fixed seed added.  The numbers are
written with a fixed number of decimals, so the files come out byte for byte the same
on every run.
"""

import os

import numpy as np

import chainmelt
from chainmelt import dsc

#: The model the scans are made from (kelvin scale: energies as energy/R in K).
TRUE = {"n0": 2, "dH": 0.0, "w": -240.0, "dHcal": 2200.0, "Tm": 314.0}

HERE = os.path.dirname(os.path.abspath(__file__))


def interval_mean_cp(fields, T):
    """Mean heat capacity over the interval each temperature stands for (k_B per site)."""
    mid = 0.5 * (T[1:] + T[:-1])
    edges = np.concatenate([[T[0] - (mid[0] - T[0])], mid, [T[-1] + (T[-1] - mid[-1])]])
    U = chainmelt.heat(chainmelt.Model(**fields), T=edges)["U"].to_numpy(dtype=float)
    return np.diff(U) / np.diff(edges)


def scan(units, T_inst, base0, base1, noise, seed):
    """Heat capacity in the instrument's units at the instrument temperatures T_inst:
    the model curve plus the baseline base0 + base1 * (T_inst - T_inst[0]) plus noise."""
    T = units.T_to_model(T_inst)
    excess = units.Cp_from_model(interval_mean_cp(TRUE, T))
    rng = np.random.default_rng(seed)
    return excess + base0 + base1 * (T_inst - T_inst[0]) + rng.normal(0.0, noise, T.size)


def write_csv(path):
    """A CSV with a header: degrees Celsius and kJ/(mol K) per mole of lipid."""
    units = dsc.Units("C", "kJ/(mol K)", 2)
    T = np.round(np.linspace(25.0, 55.0, 151), 10)
    Cp = scan(units, T, base0=1.60, base1=0.012, noise=0.04, seed=14)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("Temperature (C),Cp (kJ/(mol K))\n")
        for t, c in zip(T, Cp):
            f.write(f"{t:.2f},{c:.4f}\n")


def write_txt(path):
    """A tab-separated export with comment lines and decimal commas: kelvin and
    kcal/(mol K) per mole of lipid."""
    units = dsc.Units("K", "kcal/(mol K)", 2)
    T = np.round(np.linspace(299.0, 329.0, 121), 10)
    Cp = scan(units, T, base0=0.40, base1=-0.002, noise=0.008, seed=41)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("# Synthetic DSC scan made by chainmelt (examples/dsc/make_data.py)\n")
        f.write("# Scan rate 1 K/min, heating; lipid concentration 1 mM\n")
        f.write("# Columns: T [K], Cp [kcal/(mol K)]\n")
        for t, c in zip(T, Cp):
            f.write(f"{t:.2f}\t{c:.5f}\n".replace(".", ","))


def write_export(path):
    """An instrument-like export with a header block naming its units (°C and
    kcal/(mol K) per mole of lipid), so that it is fitted right without unit options."""
    units = dsc.Units("C", "kcal/(mol K)", 2)
    T = np.round(np.linspace(28.0, 52.0, 161), 10)
    Cp = scan(units, T, base0=0.45, base1=0.003, noise=0.01, seed=7)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("Synthetic DSC export made by chainmelt (examples/dsc/make_data.py)\n")
        f.write("Sample: lipid vesicles, 1 mM\n")
        f.write("Scan: heating at 60 K/h\n")
        f.write("Temperature (°C)\tCp (kcal/mol/K)\n")
        for t, c in zip(T, Cp):
            f.write(f"{t:.3f}\t{c:.5f}\n")


FILES = {"scan-celsius.csv": write_csv, "scan-kelvin.txt": write_txt,
         "scan-export.txt": write_export}


def main():
    for name, write in FILES.items():
        write(os.path.join(HERE, name))


if __name__ == "__main__":
    main()
