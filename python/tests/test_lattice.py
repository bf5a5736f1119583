"""The Monte Carlo method from Python: heat and phase through the run's
fields, configurations of the lattice and their pictures."""

import matplotlib.figure
import numpy as np
import pytest

import chainmelt
from conftest import BINARY, interrupted_child

DPPC = chainmelt.Model(n0=2, w=-240, dHcal=2200, Tm=314)
SHORT = dict(method="montecarlo", L=12, sweeps=640, equilibration=100, seed=3)


def test_heat_by_montecarlo_has_errors_and_is_reproducible():
    a = chainmelt.heat(DPPC, T=chainmelt.sweep(304, 324, 4), threads=1, **SHORT)
    b = chainmelt.heat(DPPC, T="304:324:4", threads=2, **SHORT)
    assert a.attrs["kind"] == "heat-montecarlo"
    assert list(a.columns) == ["T", "Cp", "Cp_err", "x_f", "x_f_err", "y_ff", "y_ff_err", "U",
                               "U_err", "tau_E", "tau_Nf", "reliable"]
    assert a.attrs["units"]["Cp_err"] == "k_B" and a.attrs["units"]["U_err"] == "energy"
    assert a.attrs["parameters"]["method"] == "montecarlo"
    assert a.attrs["parameters"]["L"] == 12
    np.testing.assert_array_equal(a.to_numpy(), b.to_numpy())
    assert (a["Cp_err"] > 0).all() and np.all(np.diff(a["x_f"]) > 0)
    assert a["reliable"].dtype == np.int64
    # The peak of the lattice is lower and wider than that of the pair
    # approximation (about 94 against 263 k_B per chain at L = 48).
    assert 40 < a["Cp"].max() < 150
    other = chainmelt.heat(DPPC, T="304:324:4", **dict(SHORT, seed=4))
    assert not np.array_equal(a["Cp"].to_numpy(), other["Cp"].to_numpy())


def test_command_line_records_read_back_as_the_same_kind(tmp_path):
    import subprocess
    args = [str(BINARY), "run", "--task", "heat", "--n0", "2", "--Tm", "314", "--dHcal", "2200",
            "--w", "-240", "--T-sweep", "304:324:4", "--method", "montecarlo", "--L", "12",
            "--sweeps", "640", "--equilibration", "100", "--seed", "3", "--threads", "2"]
    py = chainmelt.heat(DPPC, T="304:324:4", **SHORT)
    for fmt in ("tsv", "csv"):  # CSV without metadata: the kind from the columns
        subprocess.run(args + ["--format", fmt, "-o", str(tmp_path / ("r." + fmt))], check=True,
                       capture_output=True, timeout=60)
        df = chainmelt.read(tmp_path / ("r." + fmt))
        assert df.attrs["kind"] == "heat-montecarlo"
        np.testing.assert_array_equal(df.to_numpy(float), py.to_numpy(float))


def test_phase_by_montecarlo_and_refusals():
    df = chainmelt.phase(DPPC, T=[310, 318], **SHORT)
    assert list(df["T"]) == [310, 318] and "F" not in df.columns
    assert df["x_f"].iloc[0] < 0.5 < df["x_f"].iloc[1]
    with pytest.raises(ValueError, match="L: expected a multiple of 3") as e:
        chainmelt.heat(DPPC, T="300:310:5", **dict(SHORT, L=10))
    assert e.value.field == "L"
    with pytest.raises(ValueError, match="method: expected pair for n0 = 4"):
        chainmelt.heat(DPPC.replace(n0=4), T="300:310:5", **SHORT)
    with pytest.raises(ValueError, match="method: expected one of the methods"):
        chainmelt.heat(DPPC, T="300:310:5", method="exact")


def test_snapshot_is_an_array_of_sites_and_plots_as_a_figure():
    s = chainmelt.lattice.snapshot(DPPC, 314, 24, seed=5, sweeps=200)
    assert s.shape == (24, 24) and s.dtype == np.uint8
    assert set(np.unique(s)) <= {0, 1}
    np.testing.assert_array_equal(s, chainmelt.lattice.snapshot(DPPC, 314, 24, seed=5,
                                                                sweeps=200))
    # Well below and above the transition the lattice is mostly gel, mostly
    # fluid.
    assert chainmelt.lattice.snapshot(DPPC, 290, 12, sweeps=200).mean() < 0.2
    assert chainmelt.lattice.snapshot(DPPC, 340, 12, sweeps=200).mean() > 0.8
    for bad, field in ((dict(L=10), "L"), (dict(T=-1), "T"), (dict(seed=-1), "seed")):
        args = dict(dict(T=314, L=12, seed=1), **bad)
        with pytest.raises(ValueError) as e:
            chainmelt.lattice.snapshot(DPPC, **args)
        assert e.value.field == field
    with pytest.raises(ValueError, match="n0: expected 2"):
        chainmelt.lattice.snapshot(DPPC.replace(n0=4), 314, 12)

    fig = chainmelt.plot.lattice(s)
    assert isinstance(fig, matplotlib.figure.Figure)
    assert len(fig.axes[0].collections[0].get_paths()) == 24 * 24
    with pytest.raises(ValueError, match="L x L"):
        chainmelt.plot.lattice(np.zeros((3, 4)))


def test_plot_heat_overlays_the_methods_with_error_bars():
    mc = chainmelt.heat(DPPC, T="304:324:4", **SHORT)
    pair = chainmelt.heat(DPPC, T=chainmelt.sweep(304, 324, 1), search="equilibrium")
    fig = chainmelt.plot.heat([pair, mc], unit="K")
    assert isinstance(fig, matplotlib.figure.Figure)
    texts = [t.get_text() for t in fig.axes[0].get_legend().get_texts()]
    assert texts == ["pair approximation", "exact lattice (Monte Carlo, L = 12)"]
    assert fig.axes[0].containers  # the error bars
    # A pair curve alone is drawn as before: one line, no legend.
    alone = chainmelt.plot.heat(pair)
    assert len(alone.axes[0].lines) == 1 and alone.axes[0].get_legend() is None


_CHILD = """
import signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignoring it
import chainmelt
m = chainmelt.Model(n0=2, w=-240, dHcal=2200, Tm=314)
print("go", flush=True)
try:
    if sys.argv[1] == "heat":
        chainmelt.heat(m, T="300:330:1", method="montecarlo", L=96, sweeps=10**5, threads=1)
    else:
        chainmelt.lattice.snapshot(m, 314, 600, sweeps=10**7)
except KeyboardInterrupt:
    print("KeyboardInterrupt", time.monotonic(), flush=True)
    sys.exit(3)
"""


@pytest.mark.parametrize("what", ["heat", "snapshot"])
def test_ctrl_c_ends_a_simulation(what):
    """A simulation of minutes in a child interpreter ends within half a
    second after SIGINT (the run polls between rounds of sweeps).  Every wait is bounded; the
    child is killed by its pid if anything goes wrong."""
    status, out, err, sent = interrupted_child(_CHILD, what)
    assert status == 3, err
    assert float(out.split()[1]) - sent < 0.5


def test_reweighted_curve_between_the_simulated_temperatures():
    """The reweighted curve keeps the simulation's own records (same seed, same
    numbers as chainmelt.heat) and agrees with them where both exist, within 4
    standard errors (a false failure about once in 10^4 per point, fixed seed);
    a temperature outside the simulated range is refused naming T."""
    import numpy as np

    from chainmelt.lattice import reweighted
    m = chainmelt.Model(n0=2, w=-240.0, dHcal=2200.0, Tm=314.0)
    sim_T = np.arange(300.0, 330.1, 2.0)
    df = reweighted(m, sim_T, np.arange(302.0, 328.01, 1.0), L=24, sweeps=4000,
                    equilibration=500, seed=2, threads=2)
    h = chainmelt.heat(m, T=chainmelt.sweep(300, 330, 2), method="montecarlo", L=24,
                       sweeps=4000, equilibration=500, seed=2, threads=1)
    sim = df[df["simulated"] == 1].reset_index(drop=True)
    assert np.array_equal(sim["T"], h["T"]) and np.array_equal(sim["Cp"], h["Cp"])
    curve = df[df["simulated"] == 0].set_index("T")
    both = sim[sim["T"].isin(curve.index)]
    assert len(both) == 14
    for _, row in both.iterrows():
        c = curve.loc[row["T"]]
        assert abs(c["Cp"] - row["Cp"]) < 4 * np.hypot(c["Cp_err"], row["Cp_err"]), row["T"]
    assert curve["tau_E"].isna().all() and (df["reliable"] == 1).all()
    with pytest.raises(ValueError) as e:
        reweighted(m, sim_T, [299.0], L=24, sweeps=64, equilibration=10)
    assert e.value.field == "T"
