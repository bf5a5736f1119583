"""What a newcomer gets without knowing about searches: equilibrium curves by
default, the classic records on request, and one warning each for inputs
that are accepted but almost always a mistake."""

import logging
import math

import chainmelt

DPPC = chainmelt.Model(n0=2, Tm=314, dHcal=2200, w=-280)  # first order at 314 K
NOTHING_MELTS = ("warning: dH and dHcal are both 0: nothing melts; "
                 "give dHcal (and Tm) or dH and dS")


def test_heat_and_phase_default_to_the_equilibrium_curve():
    T = chainmelt.sweep(300, 330, 0.25)
    df = chainmelt.heat(DPPC, T=T)
    assert df.attrs["parameters"]["search"] == "equilibrium"
    # One latent heat at the symmetric point, no metastable gel branch past
    # it: the classic search's Cp rises to about 300 above 314 K.
    jumps = df[df.dU != 0]
    assert len(jumps) == 1 and math.isclose(jumps.T_jump.iloc[0], 314, abs_tol=1e-6)
    assert df.Cp.max() < 100
    classic = chainmelt.heat(DPPC, T=T, search="classic")
    assert classic.attrs["parameters"]["search"] == "classic"
    assert "dU" not in classic.columns and classic.Cp.max() > 200
    assert df.equals(chainmelt.heat(DPPC, T=T, search="equilibrium"))

    phase = chainmelt.phase(DPPC.replace(conc=0.21), T=chainmelt.sweep(313, 315, 0.05))
    assert phase.attrs["parameters"]["search"] == "equilibrium"
    fluid = phase.x_f > 0.5
    assert not fluid[phase["T"] < 313.99].any() and fluid[phase["T"] > 314.01].all()


def test_coexist_and_crit_default_to_the_robust_search(tmp_path):
    crit = chainmelt.crit(chainmelt.Model(n0=2, w=-250, dH=3850, dS=10, conc=0.01),
                          T="310:310:1")
    assert crit.attrs["parameters"]["search"] == "robust"
    assert math.isclose(crit["T"].iloc[0], 250 / (2 * math.log(1.5)), abs_tol=1e-3)

    m = chainmelt.Model(n0=4, w=-4, dH=30, dS=8, conc=0.1)
    robust = chainmelt.coexist(m, T="2.8:3.2:0.1")
    assert robust.attrs["parameters"]["search"] == "robust"
    # "equilibrium" names the same search for this task.
    assert robust.equals(chainmelt.coexist(m, T="2.8:3.2:0.1", search="equilibrium"))

    # A parameter file without a search key gets the default too.
    f = tmp_path / "c.toml"
    f.write_text('task = "coexist"\nn0 = 4\nw = -4.0\ndH = 30.0\ndS = 8.0\nconc = 0.1\n'
                 'T-sweep = "2.8:3.2:0.1"\n')
    assert chainmelt.run_file(str(f)).equals(robust)


def test_mistakes_are_warned_about_once(caplog):
    with caplog.at_level(logging.WARNING, logger="chainmelt"):
        chainmelt.heat(chainmelt.Model(n0=2, Tm=314, w=-240), T="300:302:1")
    assert [r.getMessage() for r in caplog.records].count(NOTHING_MELTS) == 1

    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="chainmelt"):
        chainmelt.heat(chainmelt.Model(n0=2, Tm=41.4, dHcal=2200, w=-240), T="20:22:0.5")
    celsius = [r.getMessage() for r in caplog.records if "degrees Celsius" in r.getMessage()]
    assert celsius == ["warning: temperatures look like degrees Celsius (all below 150 K "
                       "while dHcal = 2200 K): chainmelt works in kelvin"]

    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="chainmelt"):
        chainmelt.heat(chainmelt.Model(n0=2, Tm=314, dHcal=2200, w=-240), T="300:302:1")
        chainmelt.heat(chainmelt.Model(n0=2, w=-1, dH=10, dS=3.2), T="2.8:3.4:0.1")
    assert not [r for r in caplog.records if r.getMessage().startswith("warning: ")]
