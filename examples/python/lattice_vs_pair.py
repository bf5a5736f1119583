"""The pair approximation against the exact lattice at the DPPC-like example.

Kelvin scale (temperatures in K, energies as energy/R in K): w = -240,
dHcal = 2200, Tm = 314.  The upper panel overlays the heat-capacity curve of
the pair approximation and that of a Monte Carlo simulation of the same
model on a periodic triangular lattice (error bars: one standard error); the
lower panels are configurations of the lattice below, at and above Tm.

    python3 examples/python/lattice_vs_pair.py [figure.png] [L] [sweeps]

The defaults (L = 48, 20000 sweeps) take about a minute on two cores.
"""

import sys

import matplotlib

matplotlib.use("Agg")  # write the file, open no window

import matplotlib.pyplot as plt  # noqa: E402

import chainmelt  # noqa: E402

out = sys.argv[1] if len(sys.argv) > 1 else "lattice-vs-pair.png"
L = int(sys.argv[2]) if len(sys.argv) > 2 else 48
sweeps = int(sys.argv[3]) if len(sys.argv) > 3 else 20000
model = chainmelt.Model(n0=2, w=-240, dHcal=2200, Tm=314)

pair = chainmelt.heat(model, T=chainmelt.sweep(296, 332, 0.25), search="equilibrium")
mc = chainmelt.heat(model, T=chainmelt.sweep(296, 332, 1), method="montecarlo", L=L,
                    sweeps=sweeps, equilibration=sweeps // 10, seed=1, progress=True)
for name, df in (("pair approximation", pair), ("exact lattice, L = %d" % L, mc)):
    p = chainmelt.peak(df, unit="kelvin")
    print("%-24s peak at %.2f K, Cp max %.1f k_B per chain, FWHM %.2f K"
          % (name, p.T_peak, p.Cp_max, p.fwhm))
unreliable = int((mc["reliable"] == 0).sum())
if unreliable:
    print("%d lattice point(s) with unreliable errors: give more sweeps" % unreliable)

fig = plt.figure(figsize=(10, 8.5))
grid = fig.add_gridspec(2, 3, height_ratios=[1.25, 1])
top = fig.add_subplot(grid[0, :])
chainmelt.plot.heat([pair, mc], ax=top, unit="K")
top.set_title("DPPC-like membrane (w = -240 K, dHcal = 2200 K, Tm = 314 K)")
for k, T in enumerate((310, 314, 318)):
    ax = fig.add_subplot(grid[1, k])
    snap = chainmelt.lattice.snapshot(model, T, L, seed=1, sweeps=2000)
    chainmelt.plot.lattice(snap, ax=ax, title="T = %g K: fluid fraction %.2f" % (T, snap.mean()))
    if k < 2:
        ax.get_legend().remove()
fig.tight_layout()
fig.savefig(out, dpi=110)
print("wrote", out)
