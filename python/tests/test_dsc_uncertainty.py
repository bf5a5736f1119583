"""Uncertainty methods of DSC fits with the compiled engine, on synthetic scans made here
from the engine's energies (the mean heat capacity over each interval worked out by
hand, not by the fit's code): every method's interval holds the truth, the bootstrap is
the same on threads and on a Dask cluster, and a small calibration of the covariance."""

import json

import numpy as np
import pandas as pd
import pytest

from conftest import ROOT, pycli

pytest.importorskip("chainmelt._core")
import chainmelt as cm  # noqa: E402
from chainmelt import dsc  # noqa: E402
from chainmelt.dsc import uncertainty as unc  # noqa: E402

CONTINUOUS = {"n0": 2, "dH": 0.0, "w": -240.0, "dHcal": 2200.0, "Tm": 314.0}
FIRST_ORDER = {"n0": 2, "dH": 0.0, "w": -300.0, "dHcal": 2600.0, "Tm": 301.0}
NAMES = ("w", "dHcal", "Tm")


def synthetic(true, T, noise, seed):
    """Excess Cp in k_B per chain: [U(right edge) - U(left edge)] / width from the
    engine's equilibrium energies, plus normal noise."""
    mid = 0.5 * (T[1:] + T[:-1])
    edges = np.concatenate([[T[0] - (mid[0] - T[0])], mid, [T[-1] + (T[-1] - mid[-1])]])
    U = cm.heat(cm.Model(**true), T=edges, search="equilibrium")["U"].to_numpy()
    cp = np.diff(U) / np.diff(edges)
    df = pd.DataFrame({"T": T, "Cp": cp + np.random.default_rng(seed).normal(0, noise, T.size)})
    df.attrs.update(dsc.Units("K", "J/(mol K)", 2).to_attrs())
    return df


def start(true, **shift):
    f = dict(true)
    f.update(shift)
    return cm.Model(**f)


@pytest.fixture(scope="module")
def continuous_fit():
    data = synthetic(CONTINUOUS, np.linspace(302.0, 326.0, 100), 3.0, 7)
    return dsc.fit(data, start(CONTINUOUS, w=-230.0, dHcal=2100.0, Tm=313.5), starts=1)


def contains(u, true):
    for n in NAMES:
        lo, hi = u.interval(n)
        assert lo < true[n] < hi, (u.method, n, lo, hi)


def test_each_method_holds_the_truth_and_says_which_it_is(continuous_fit):
    """99 % intervals (about 1 % false failures for each of the 12 checks at an honest
    coverage; the seeds are fixed)."""
    r = continuous_fit
    cov = unc.covariance(r, level=0.99)
    contains(cov, CONTINUOUS)
    assert r.uncertainty is cov and "covariance" in cov.report()
    prof = unc.profile(r, level=0.99)
    contains(prof, CONTINUOUS)
    for n in NAMES:  # the profile of a near-quadratic chi-square is the covariance's
        width = np.subtract(*prof.interval(n)[::-1])
        assert width == pytest.approx(np.subtract(*cov.interval(n)[::-1]), rel=0.25)
    boot = unc.bootstrap(r, n=40, threads=2, seed=3, level=0.99)
    contains(boot, CONTINUOUS)
    assert boot.diagnostics["converged"] == 40 and len(boot.draws) == 40
    mc = unc.mcmc(r, steps=240, walkers=16, seed=4, level=0.99)
    contains(mc, CONTINUOUS)
    d = mc.diagnostics
    assert 0.15 < d["acceptance_fraction"] < 0.8 and set(d["autocorrelation_time"]) == set(NAMES)
    assert any("too short" in w for w in mc.warnings)  # 180 kept steps
    for u in (boot, mc):
        (figs,) = u.derived
        for key in ("T_peak", "fwhm", "cu_lipids"):
            f = figs[key]
            assert f["lower"] <= f["value"] <= f["upper"], (u.method, key, f)
        assert figs["latent_share"]["upper"] == 0.0  # continuous: no latent heat
        assert json.loads(json.dumps(u.to_dict()))["method"] == u.method
    fig = unc.corner(mc)
    assert len(fig.axes) == 9


def test_bootstrap_is_the_same_on_threads_and_on_a_dask_cluster(continuous_fit):
    from distributed import Client, LocalCluster
    one = unc.bootstrap(continuous_fit, n=12, threads=1, seed=11, derived=False)
    with LocalCluster(n_workers=1, threads_per_worker=2, processes=False, protocol="tcp",
                      host="127.0.0.1", dashboard_address=None, silence_logs=50) as lc, \
            Client(lc, timeout=30) as client:
        dask = unc.bootstrap(continuous_fit, n=12, client=client, seed=11, derived=False)
    assert "Dask" in dask.diagnostics["where"]
    pd.testing.assert_frame_equal(one.draws, dask.draws)


def test_first_order_draws_carry_the_latent_share():
    data = synthetic(FIRST_ORDER, np.linspace(290.0, 312.0, 89), 1.0, 2)
    r = dsc.fit(data, start(FIRST_ORDER), starts=1)
    u = unc.bootstrap(r, n=16, threads=2, seed=1)
    (figs,) = u.derived
    assert figs["latent_share"]["lower"] > 0.5  # most of the enthalpy is latent
    assert np.isnan(figs["fwhm"]["value"])      # a jump has no width


def test_small_calibration_of_the_covariance_intervals():
    """Eight noise replicates of a continuous scan: the 95 % intervals hold the truth in at
    least 6 of 8 for each parameter (at a true coverage of 95 % the chance of 5 or fewer
    is 0.6 % per parameter; the seeds are fixed, so the test is deterministic)."""
    T = np.linspace(302.0, 326.0, 80)
    hits = {n: 0 for n in NAMES}
    for seed in range(8):
        r = dsc.fit(synthetic(CONTINUOUS, T, 3.0, 100 + seed), start(CONTINUOUS, w=-235.0),
                    starts=1)
        u = unc.covariance(r)
        for n in NAMES:
            lo, hi = u.interval(n)
            hits[n] += lo < CONTINUOUS[n] < hi
    assert all(h >= 6 for h in hits.values()), hits


def domain_scan(true, T, sites, seed):
    """A first-order lattice in a domain of ``sites`` sites, from the engine's two minima
    at the interval edges: the domain is in b with p = 1 / (1 + exp(sites (F_b - F_a) /
    T)), its energy (1 - p) U_a + p U_b; noise 2 % of the peak's height."""
    from chainmelt._branches import branches
    mid = 0.5 * (T[1:] + T[:-1])
    edges = np.concatenate([[T[0] - (mid[0] - T[0])], mid, [T[-1] + (T[-1] - mid[-1])]])
    b = branches(true, edges)
    U = np.array(b["U"], dtype=float)
    (jump,) = b["jumps"]
    F_a, U_a, F_b, U_b = (np.asarray(jump[k], dtype=float) for k in ("F_a", "U_a", "F_b", "U_b"))
    both = np.isfinite(F_a) & np.isfinite(F_b)
    with np.errstate(over="ignore"):
        p = 1.0 / (1.0 + np.exp(sites * (F_b[both] - F_a[both]) / edges[both]))
    U[both] = (1 - p) * U_a[both] + p * U_b[both]
    cp = np.diff(U) / np.diff(edges)
    noisy = cp + np.random.default_rng(seed).normal(0, 0.02 * cp.max(), T.size)
    df = pd.DataFrame({"T": T, "Cp": noisy})
    df.attrs.update(dsc.Units("K", "J/(mol K)", 2).to_attrs())
    return df


DOMAIN_NAMES = NAMES + ("domain",)


def test_small_calibration_with_a_finite_domain():
    """Eight noise replicates of a first-order scan rounded by a domain of 200 sites (a
    peak four data intervals wide), the domain's size fitted too: the covariance's 95 %
    intervals hold the truth in at least 6 of 8 for w, dHcal, Tm and the domain (at a
    true coverage of 95 % the chance of 5 or fewer is 0.6 % per parameter, 2.4 % for
    the four; the seeds are fixed, so the test is deterministic)."""
    pytest.importorskip("chainmelt._branches")
    T = np.linspace(290.0, 312.0, 100)
    true = dict(FIRST_ORDER, domain=200.0)
    hits = {n: 0 for n in DOMAIN_NAMES}
    for seed in range(8):
        r = dsc.fit(domain_scan(FIRST_ORDER, T, 200.0, 300 + seed), start(FIRST_ORDER),
                    vary=DOMAIN_NAMES, domain=200.0, starts=1)
        u = unc.covariance(r)
        assert set(u.intervals) == set(DOMAIN_NAMES)
        for n in DOMAIN_NAMES:
            lo, hi = u.interval(n)
            hits[n] += lo < true[n] < hi
    assert all(h >= 6 for h in hits.values()), hits


def test_domain_fit_with_tm_on_an_interval_edge_succeeds():
    """A domain rounds the jump over several data intervals, so the objective is smooth
    in Tm: a Tm that ends on an interval's edge (here the truth is one) is no problem."""
    pytest.importorskip("chainmelt._branches")
    T = np.linspace(290.0, 312.0, 100)
    r = dsc.fit(domain_scan(FIRST_ORDER, T, 200.0, 3102), start(FIRST_ORDER),
                vary=DOMAIN_NAMES, domain=200.0, starts=1)
    step = T[1] - T[0]
    edge = 0.5 * (T[49] + T[50])
    assert abs(r.value("Tm") - edge) < 1e-3 * step  # the case the check was made for
    assert r.succeeded, r.problems
    assert abs(r.value("Tm") - 301.0) < 3 * r.stderr("Tm")


def test_domain_fit_draws_measure_the_rounded_peak():
    """The derived figures of a domain fit are those of its rounded peak: it has a
    width (the infinite lattice's jump would have none) about 3.5 T^2 / (N latent)."""
    pytest.importorskip("chainmelt._branches")
    data = domain_scan(FIRST_ORDER, np.linspace(290.0, 312.0, 100), 200.0, 5)
    r = dsc.fit(data, start(FIRST_ORDER), vary=DOMAIN_NAMES, domain=200.0, starts=1)
    u = unc.bootstrap(r, n=16, threads=2, seed=1)
    lo, hi = u.interval("domain")
    assert lo < r.value("domain") < hi
    (figs,) = u.derived
    assert 0.5 < figs["fwhm"]["lower"] <= figs["fwhm"]["upper"] < 1.2, figs["fwhm"]
    assert 300.5 < figs["T_peak"]["value"] < 301.5
    assert figs["latent_share"]["value"] > 0.5


def test_shell_uncertainty_and_corner(tmp_path):
    corner = tmp_path / "corner.png"
    scan = ROOT / "examples" / "dsc" / "scan-celsius.csv"
    p = pycli("fit", scan, "--fit-baseline", "linear", "--starts", "1", "--uncertainty",
              "bootstrap", "--replicates", "16", "--json", "--corner", corner)
    assert p.returncode == 0, p.stderr
    u = json.loads(p.stdout)["uncertainty"]
    assert u["method"] == "bootstrap" and u["diagnostics"]["replicates"] == 16
    assert set(u["intervals"]) == set(NAMES)
    assert corner.read_bytes()[:4] == b"\x89PNG"
    p = pycli("fit", scan, "--corner", corner)
    assert p.returncode == 2 and "--corner needs --uncertainty bootstrap or mcmc" in p.stderr


@pytest.mark.parametrize("call,message", [
    (lambda r: unc.estimate(r, "jackknife"), "expected one of covariance, profile"),
    (lambda r: unc.bootstrap(r, n=5), "at least 10 replicates"),
    (lambda r: unc.bootstrap(r, threads=0), "threads: expected at least 1"),
    (lambda r: unc.mcmc(r, walkers=4), "at least twice the 3 free parameters"),
    (lambda r: unc.mcmc(r, steps=100, burn=100), "burn: expected 0 to 99"),
    (lambda r: unc.covariance(r, level=95), "level: expected a probability"),
    (lambda r: unc.corner(unc.covariance(r)), "bootstrap or mcmc draws"),
    (lambda r: unc.covariance(object()), "expected the result of chainmelt.dsc.fit"),
], ids=["method", "replicates", "threads", "walkers", "burn", "level", "corner", "result"])
def test_refusals(continuous_fit, call, message):
    with pytest.raises(ValueError, match=message):
        call(continuous_fit)
