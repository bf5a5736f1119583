"""The exact lattice beside a fit of the pair approximation: the shipped scan (made by
the pair model) is fitted far better by the pair model than by the lattice at the
same parameters, and the comparison says so in words."""

import math

import pytest

import chainmelt
from chainmelt import dsc
from chainmelt.dsc.lattice_check import _grid, check_lattice
from conftest import ROOT


def test_the_lattice_at_a_pair_fit_of_pair_made_data_fits_worse():
    data = dsc.read(ROOT / "examples" / "dsc" / "scan-celsius.csv")
    model = chainmelt.Model(n0=2, w=-240.0, dHcal=2200.0, Tm=314.0)
    fit = dsc.fit(data, model, fit_baseline="linear", starts=1)
    c = check_lattice(fit, L=24, sweeps=4000, equilibration=500, seed=3, threads=2)
    assert len(c["T"]) >= 25 and c["T"][0] <= fit.curve["T"].iloc[0]
    assert c["T"][-1] >= fit.curve["T"].iloc[-1]
    assert c["chisqr_pair"] == pytest.approx(fit.nfree, rel=1e-9)
    # Made by the pair model: its own curve wins by far.
    assert c["ratio"] > 2 and math.isfinite(c["peak"]["lattice"]["T"])
    assert "L = 24" in c["text"] and "would need" in c["text"]
    # The same seed, the same comparison.
    again = check_lattice(fit, L=24, sweeps=4000, equilibration=500, seed=3, threads=1)
    assert again["chisqr_lattice"] == c["chisqr_lattice"]


def test_grid_divides_the_scan_and_other_variants_are_refused():
    for T0, T1 in [(298.15, 328.15), (300.0, 301.0), (250.0, 400.0)]:
        import numpy as np
        lo, hi, step = _grid(np.array([T0, T1]), 25)
        assert lo <= T0 and hi >= T1 and math.isclose((hi - lo) / step, round((hi - lo) / step))

    class Fake:
        model = chainmelt.Model(n0=4, w=-240.0, dHcal=2200.0, Tm=314.0, conc=0.1)
    with pytest.raises(ValueError, match="n0 = 2"):
        check_lattice(Fake())


def test_the_command_line_checks_against_the_lattice_and_refuses_what_it_cannot_simulate(
        tmp_path):
    from conftest import pycli
    scan = ROOT / "examples" / "dsc" / "scan-celsius.csv"
    r = pycli("fit", scan, "--fit-baseline", "linear", "--starts", "1", "--check-lattice", "12",
              "--json", timeout=300)
    assert r.returncode == 0, r.stderr
    import json
    c = json.loads(r.stdout)["lattice_check"]
    assert c["L"] == 12 and c["ratio"] > 1 and len(c["T"]) == len(c["Cp"])
    for bad in (["--check-lattice", "50"], ["--check-lattice", "12", "--n0", "4"]):
        r = pycli("fit", scan, *bad, timeout=120)
        assert r.returncode == 2 and "--check-lattice" in r.stderr
        assert len(r.stderr.strip().splitlines()) == 1
