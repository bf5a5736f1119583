"""The default DSC fit on synthetic scans of known parameters, with the real engine.

The scans (synth.py) are made apart from the fit's code: the engine's energies averaged
over each data interval there, converted to kJ/(mol K) per lipid, on a sloped baseline
with Gaussian noise, written to a file and read back.  Every fit starts from the data
alone: the model handed to it holds values far from the truth.  Noise seeds are fixed;
a check within 3 standard errors fails by chance about 0.3 % of the time for each
parameter, so the 18 such checks here would fail together about 5 % of the time on
fresh seeds: the seeds below pass, and a change that makes one fail has changed the fit.
"""

import math

import numpy as np
import pandas as pd
import pytest

import synth
from chainmelt import Model, dsc
from chainmelt.dsc import domain as dom
from chainmelt.dsc import starts as st

FAR = Model(2, w=-100.0, dHcal=1500.0, Tm=305.0)  # nowhere near any truth below


def scan_of(tmp_path, name, T_C, cp_J, seed, noise=0.02):
    path = synth.scan(tmp_path / f"{name}.csv", T_C, cp_J, noise, seed)
    return dsc.read(path, T_unit="C", Cp_unit="kJ/(mol K)")


def assert_recovers(r, truth, success=True):
    assert r.success or not success, r.message
    assert r.succeeded or not success, r.problems
    for name, value in truth.items():
        v, e = r.value(name), r.stderr(name)
        assert math.isfinite(e) and 0 < e < abs(v), (name, v, e)
        assert abs(v - value) <= 3 * e, (name, v, e, value)
        assert abs(v - value) <= 0.02 * abs(value), (name, v, value)


# The grid is not centred on Tm: the jump lands off the middle of its interval.
FIRST_ORDER = {"w": -300.0, "dHcal": 2600.0, "Tm": 301.0}
T_FO = np.arange(17.03, 38.0, 0.1)


@pytest.fixture(scope="module")
def first_order_cp():
    return synth.per_chain_to_J(synth.lattice_excess(T_FO + synth.KELVIN, **FIRST_ORDER))


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_first_order_scan_recovered(tmp_path, first_order_cp, seed):
    data = scan_of(tmp_path, "first", T_FO, first_order_cp, seed)
    r = dsc.fit(data, FAR, fit_baseline="linear")
    # The noise of seeds 3 and 4 puts the best Tm on (within the fit's difference step
    # of) the upper edge of the interval holding the latent heat, the truth lying 0.03 K
    # inside: its standard error is then taken on the side that keeps the jump, not the
    # vanishing one across the edge, which makes it an honest fit: a success.
    on_edge = np.min(np.abs(r.value("Tm") - (T_FO + synth.KELVIN + 0.05))) < 0.004
    assert on_edge == (seed in (3, 4))
    assert_recovers(r, FIRST_ORDER)
    assert r.stderr("Tm") > 0.01
    c = r.classification
    assert c["kind"] == "first order" and c["w_over_wc"] == pytest.approx(1.229, abs=0.01)
    assert 0.7 < c["latent_share"] < 0.85 and "First order" in c["text"]
    assert r.data_starts["sharp"] and r.data_starts["latent"] > 0
    # a domain was tried beside and lost, on its AIC or (where the noise lets it win)
    # because it would round the jump by less than the scan's step
    d = r.domain
    assert d["varied"] and d["chosen"] == "infinite" and math.isinf(d["sites"])
    assert d["aic_infinite"] <= d["aic_domain"] or "cannot resolve" in d["text"]


@pytest.mark.parametrize("seed", [4, 5])
def test_near_critical_scan_recovered(tmp_path, seed):
    truth = {"w": -240.0, "dHcal": 2600.0, "Tm": 301.0}
    T_C = np.arange(13.03, 42.0, 0.1)
    cp = synth.per_chain_to_J(synth.lattice_excess(T_C + synth.KELVIN, **truth))
    r = dsc.fit(scan_of(tmp_path, "near", T_C, cp, seed), FAR, fit_baseline="linear")
    assert_recovers(r, truth)
    assert r.classification["kind"] == "near-critical"
    assert r.data_starts["sharp"]
    # started on both sides of the critical coupling
    w_c = r.classification["w_c"]
    ws = [s["start"]["w"] for s in r.starts]
    assert min(ws) < w_c < max(ws)
    assert not r.domain["effective"] and r.domain["chosen"] == "infinite"


def test_critical_coupling_separates_continuous_from_first_order():
    w_c = st.critical_coupling({"n0": 2, "dH": 0.0, "dHcal": 2600.0, "Tm": 301.0, "w": 0.0})
    # at a fixed Tm it does not depend on the enthalpy, and it scales with Tm
    assert st.critical_coupling({"n0": 2, "dH": 0.0, "dHcal": 900.0, "Tm": 301.0}) == \
        pytest.approx(w_c, rel=1e-4)
    assert st.critical_coupling({"n0": 2, "dH": 0.0, "dHcal": 900.0, "Tm": 602.0}) == \
        pytest.approx(2 * w_c, rel=1e-4)
    for w, latent in ((0.99 * w_c, False), (1.01 * w_c, True)):
        f = {"n0": 2, "dH": 0.0, "dHcal": 2600.0, "Tm": 301.0, "w": w}
        assert (st.latent_heat(f) > 0) == latent, w
    c = dsc.fit.__globals__["_classify"](
        {"n0": 2, "dH": 0.0, "dHcal": 2600.0, "Tm": 301.0, "w": 0.5 * w_c})
    assert c["kind"] == "supercritical" and c["latent_share"] == 0


# --- the finite domain -------------------------------------------------------------------


def two_minima(fields, T):
    """A stand-in engine with two minima of constant U (no smooth heat capacity): gel
    (U 0) below Tm, fluid (U dHcal, entropy dHcal/Tm) above, both at every T."""
    T = np.asarray(T, dtype=float)
    H, Tm = fields["dHcal"], fields["Tm"]
    F_a, U_a = np.zeros_like(T), np.zeros_like(T)
    F_b, U_b = H - T * H / Tm, np.full_like(T, H)
    U = np.where(T < Tm, U_a, U_b)
    return {"T": T, "F": np.minimum(F_a, F_b), "U": U,
            "jumps": [{"T": Tm, "latent": H, "F_a": F_a, "U_a": U_a, "F_b": F_b, "U_b": U_b}]}


def test_domain_energy_rounds_the_jump_and_keeps_its_enthalpy():
    f = {"dHcal": 1000.0, "Tm": 300.0}
    T = np.linspace(250, 350, 4001)
    b = two_minima(f, T)
    assert np.array_equal(dom.domain_energy(b, T, math.inf), b["U"])
    small, large = dom.domain_energy(b, T, 50.0), dom.domain_energy(b, T, 5000.0)
    # half and half where the two minima have equal free energy
    assert dom.domain_energy(two_minima(f, [300.0]), np.array([300.0]), 50.0)[0] == \
        pytest.approx(500.0)
    # the same enthalpy across the transition; the larger domain the sharper
    for U in (small, large):
        assert np.all(np.diff(U) >= 0) and U[-1] - U[0] == pytest.approx(1000.0, rel=1e-6)
    assert np.max(np.diff(large)) > 10 * np.max(np.diff(small))
    # the point form of Cp is the temperature derivative of U
    cp = dom.domain_heat_capacity(T, b["jumps"][0]["F_a"], b["jumps"][0]["U_a"], 0.0,
                                  b["jumps"][0]["F_b"], b["jumps"][0]["U_b"], 0.0, 50.0)
    np.testing.assert_allclose(np.gradient(small, T)[1:-1], cp[1:-1], rtol=1e-3, atol=1e-6)
    # its peak: a two-state curve of N (dU)^2 / (4 T^2)
    assert np.max(cp) == pytest.approx(50.0 * 1000.0 ** 2 / (4 * 300.0 ** 2), rel=1e-3)
    # where one minimum does not exist the domain follows the other
    gone = two_minima(f, T)
    gone["jumps"][0]["F_b"] = np.where(T < 299, np.nan, gone["jumps"][0]["F_b"])
    U = dom.domain_energy(gone, T, 50.0)
    assert np.all(U[T < 299] == 0) and np.array_equal(U[T >= 299], small[T >= 299])
    with pytest.raises(ValueError, match="domain"):
        dom.domain_energy(b, T, 0.0)


def test_domain_size_fitted_with_a_stand_in_engine():
    truth = {"dHcal": 1200.0, "Tm": 310.0}
    T = np.arange(300.0, 320.0, 0.1)
    edges = np.concatenate([[T[0] - 0.05], T + 0.05])
    U = dom.domain_energy(two_minima(truth, edges), edges, 150.0)
    rng = np.random.default_rng(5)
    cp = np.diff(U) / np.diff(edges)
    frame = pd.DataFrame({"T": T, "Cp": cp + rng.normal(0, 0.01 * cp.max(), T.size)})
    frame.attrs.update(dsc.Units("K", "kJ/(mol K)", 2).to_attrs())

    def engine(fields, T_):
        return two_minima(fields, T_)["U"]

    start = {"n0": 2, "dH": 0.0, "w": -300.0, "dHcal": 1000.0, "Tm": 309.5}
    r = dsc.fit(frame, start, vary=["dHcal", "Tm", "domain"], domain=60, engine=engine,
                branches=two_minima, starts=1)
    assert r.value("domain") == pytest.approx(150.0, rel=0.03)
    assert r.value("dHcal") == pytest.approx(1200.0, rel=0.01)
    assert r.domain["chosen"] == "domain" and r.domain["lipids"] == r.value("domain") / 2
    assert r.classification is None  # a stand-in engine has no critical coupling
    assert "domain" not in r.model  # a parameter of the fit, not a model field
    for kw, needle in [({"domain": 60}, "two minima"),
                       ({"domain": "big"}, "domain: expected 'auto'"),
                       ({"domain": 0.5, "branches": two_minima}, "at least 1 site"),
                       ({"domain": None, "vary": ["Tm", "domain"]}, "needs a start"),
                       ({"starts": "many"}, "starts: expected 'auto'")]:
        with pytest.raises(ValueError, match=needle):
            dsc.fit(frame, start, **{"vary": ["dHcal", "Tm"], "engine": engine,
                                     "starts": 1, **kw})


def test_two_state_shaped_scan_fitted_with_a_domain(tmp_path):
    """A van 't Hoff peak (21 kJ/mol, 80 lipids per cooperative unit), made from the
    two-state formula and not from the lattice: the infinite lattice cannot make it,
    a first-order lattice rounded by a finite domain can."""
    pytest.importorskip("chainmelt._branches")
    Tm = 314.55
    T_C = np.arange(30.02, 52.0, 0.1)
    cp = synth.two_state_excess(T_C + synth.KELVIN, 21.0, 80.0, Tm)
    r = dsc.fit(scan_of(tmp_path, "two_state", T_C, cp, 6), FAR, fit_baseline="linear")
    assert r.success and r.succeeded, (r.message, r.problems)
    d = r.domain
    assert d["chosen"] == "domain" and d["effective"] and d["aic_domain"] < d["aic_infinite"]
    H = r.value("dHcal") * synth.R * 2 / 1000  # kJ per mole of lipid
    assert H == pytest.approx(21.0, rel=0.03)
    assert abs(r.value("Tm") - Tm) <= 0.05
    assert abs(r.transition["model"]["Tm"] - Tm) <= 0.05
    # a two-state peak of about 80 lipids per cooperative unit
    assert r.transition["model"]["cu_lipids"] == pytest.approx(80, rel=0.1)
    assert r.classification["kind"] == "first order"
    assert "lipids" in d["text"] and "AIC" in d["text"]
    # every coupling far enough beyond w_c makes this peak: w is held, not reported as
    # a fitted value with a meaningless error
    assert "w" not in r.params and d["w_held"] < r.classification["w_c"]
    assert r.model.w == d["w_held"] and r.classification["latent_share"] > 0.98
