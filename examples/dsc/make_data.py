"""Write the synthetic DSC scans of this folder from the model itself.

    python3 examples/dsc/make_data.py        (with the chainmelt package importable)

Each scan is the equilibrium excess heat capacity of the pair model (n0 = 2) with the
parameters of TRUE, taken as the mean over each data interval as the fit compares it
(chainmelt.dsc.model_curve), converted to the instrument's units, with a sloped
baseline and normally distributed noise from a fixed seed added.  The numbers are
written with a fixed number of decimals, so the files come out byte for byte the same
on every run.
"""

import os

import numpy as np

from chainmelt import dsc

#: The model the scans are made from (kelvin scale: energies as energy/R in K).
TRUE = {"n0": 2, "dH": 0.0, "w": -240.0, "dHcal": 2200.0, "Tm": 314.0}

HERE = os.path.dirname(os.path.abspath(__file__))


def scan(units, T_inst, base0, base1, noise, seed):
    """Heat capacity in the instrument's units at the instrument temperatures T_inst:
    the model curve plus the baseline base0 + base1 * (T_inst - T_inst[0]) plus noise."""
    T = units.T_to_model(T_inst)
    excess = units.Cp_from_model(dsc.model_curve(TRUE, T)["Cp"].to_numpy())
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


def main():
    write_csv(os.path.join(HERE, "scan-celsius.csv"))
    write_txt(os.path.join(HERE, "scan-kelvin.txt"))


if __name__ == "__main__":
    main()
