"""Heat-capacity curves of a DPPC-like membrane for three interaction energies.

Kelvin scale: temperatures in K, energies as energy/R in K.  Each chain melts
at Tm = 314 K with a calorimetric enthalpy of 2200 K (about 18 kJ/mol); the
fluid-fluid interaction w sets how sharp the transition is.

    python3 examples/python/dppc.py [figure.png]
"""

import sys

import matplotlib

matplotlib.use("Agg")  # write the file, open no window

import chainmelt

out = sys.argv[1] if len(sys.argv) > 1 else "dppc.png"
base = chainmelt.Model(n0=2, Tm=314, dHcal=2200)  # dH = 0: derived from Tm, dHcal and w

curves = []
for w in (-200, -240, -280):
    # The equilibrium curve (the default search): at w = -280 the membrane
    # melts in a first-order jump, whose latent heat is the dU column.
    df = chainmelt.heat(base.replace(w=w), T=chainmelt.sweep(300, 330, 0.25))
    p = chainmelt.peak(df, unit="kelvin")
    if p.first_order:
        print("w = %d: first-order transition at %.2f K, latent heat %.0f J/mol "
              "(%.0f%% of the enthalpy)" % (w, p.T_jump, p.latent_heat * 2 * chainmelt.R,
                                           100 * p.latent_share))
    else:
        print("w = %d: peak at %.2f K, Cp max %.1f k_B per chain, FWHM %.2f K"
              % (w, p.T_peak, p.Cp_max, p.fwhm))
    curves.append(df)

fig = chainmelt.plot.heat(curves, unit="K")  # one line per w, legend "w = ..."
fig.axes[0].set_title("DPPC-like membrane, pair approximation")
fig.axes[0].legend(loc="upper left")  # keeps the latent heat's label in view
fig.savefig(out, dpi=120)
print("wrote", out)
