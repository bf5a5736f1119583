"""Both minima of a first-order transition from Python: the equilibrium is the lower
of them on each side, the latent heat is the heat curve's, and a refused field is
named."""

import numpy as np
import pytest

import chainmelt
from chainmelt._branches import branches


def test_minima_of_a_jump_match_the_heat_curve_in_any_order():
    m = chainmelt.Model(n0=2, Tm=314, dHcal=2200, w=-300)
    T = np.arange(300.0, 330.01, 0.5)
    shuffled = np.random.default_rng(1).permutation(T)
    r = branches(m, shuffled)
    assert np.array_equal(r["T"], shuffled)
    h = chainmelt.heat(m, T=T)
    order = np.argsort(shuffled)
    assert np.allclose(r["U"][order], h["U"], rtol=1e-12, atol=0)
    (j,) = r["jumps"]
    assert j["latent"] == pytest.approx(h["dU"].max(), rel=1e-9)
    lower = np.fmin(j["F_a"], j["F_b"])
    assert np.allclose(lower, r["F"], rtol=1e-10, atol=1e-9)
    below = shuffled < j["T"]
    assert np.all(np.isfinite(j["F_a"][below])) and np.all(np.isfinite(j["F_b"][~below]))
    assert np.isnan(j["F_b"][shuffled == 300.0]).all()
    assert np.isnan(j["F_a"][shuffled == 330.0]).all()
    # A continuous curve has none.
    assert branches(dict(n0=2, Tm=314, dHcal=2200, w=-100), T)["jumps"] == []


def test_refusals_name_the_field():
    with pytest.raises(ValueError) as e:
        branches(dict(n0=3, Tm=314, dHcal=2200, w=-300), [300.0])
    assert e.value.field == "n0"
    with pytest.raises(ValueError) as e:
        branches(dict(n0=2, Tm=314, dHcal=2200, w=-300), [300.0, -1.0])
    assert e.value.field == "T"
