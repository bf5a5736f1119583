"""Whether a DSC fit says when it failed, the two-state comparison, and units taken from
the file's header.  Stand-in engines only (the compiled engine is not needed here);
noise from fixed seeds."""

import io
import json

import numpy as np
import pandas as pd
import pytest
from scipy.special import expit

from chainmelt import dsc
from chainmelt.dsc.diagnose import diagnose, noise_level, runs_test
from chainmelt.dsc.io import UnitConflict

TRUE = {"n0": 2, "dH": 0.0, "w": -240.0, "dHcal": 2200.0, "Tm": 314.0}
KJ = dsc.Units("K", "kJ/(mol K)", 2)


def two_state(fields, T):
    """Stand-in lattice: a two-state curve whose cooperative unit grows with |w|."""
    unit = 1 + fields["w"] ** 2 / 480
    return fields["dHcal"] * expit(unit * fields["dHcal"] * (1 / fields["Tm"] - 1 / np.asarray(T)))


def lorentz(fields, T):
    """Stand-in lattice of another shape: a Lorentzian peak of half-width |w|/100 K."""
    return fields["dHcal"] * (0.5 + np.arctan((np.asarray(T) - fields["Tm"])
                                              / (abs(fields["w"]) / 100)) / np.pi)


def scan(curve, fields, T, noise, seed=3, baseline=(100.0, 0.5)):
    """A scan in model units: the interval-mean Cp of curve, a sloped baseline, noise."""
    cp = dsc.model_curve(fields, T, engine=curve)["Cp"].to_numpy()
    rng = np.random.default_rng(seed)
    y = cp + baseline[0] + baseline[1] * (T - T[0]) + rng.normal(0, noise, T.size)
    data = pd.DataFrame({"T": T, "Cp": y})
    data.attrs.update(KJ.to_attrs())
    return data


T = np.arange(300.0, 329.0001, 0.1)


@pytest.fixture(scope="module")
def good():
    return scan(two_state, TRUE, T, noise=2.0)


# --- the pieces ------------------------------------------------------------------------


def test_noise_level_is_the_scatter_not_the_peak():
    rng = np.random.default_rng(5)
    for step in (0.1, 0.25):
        x = np.arange(300, 330, step) + rng.uniform(-0.2, 0.2) * step  # also uneven
        x = np.sort(x + rng.uniform(-0.1, 0.1, x.size) * step)
        peak = 400 * np.exp(-0.5 * ((x - 314) / 0.6) ** 2)  # a sharp peak, 2.4 K wide
        for sd in (1.0, 5.0):
            est = noise_level(x, peak + rng.normal(0, sd, x.size))
            assert 0.7 < est / sd < 1.3, (step, sd, est)  # 3 standard errors
    assert np.isnan(noise_level(x[:23], peak[:23]))  # too few points to say


def test_runs_test_tells_noise_from_structure():
    rng = np.random.default_rng(2)
    assert runs_test(rng.normal(size=300))["p"] > 1e-3
    wave = np.sin(np.linspace(0, 6 * np.pi, 300)) + 0.1 * rng.normal(size=300)
    r = runs_test(wave)
    assert r["p"] < 1e-6 and r["runs"] < 20
    # exact zeros are no sign; all of one sign is one run
    assert runs_test([0.0, 1, -1, 0, 1])["runs"] == 3
    assert runs_test(np.ones(30))["p"] == 0.0


def _params(**kw):
    out = {}
    for name, (v, e, lo, hi) in kw.items():
        out[name] = {"value": v, "stderr": e, "min": lo, "max": hi}
    return out


INF = np.inf


@pytest.mark.parametrize("case, params, codes", [
    ("clean", _params(w=(-240, 3, -INF, INF), Tm=(314.03, 0.01, 300, 329)), []),
    ("zero error", _params(w=(-240, 0.0, -INF, INF)), ["stderr-zero"]),
    ("no errors", _params(w=(-240, np.nan, -INF, INF), dHcal=(2200, np.nan, 0, INF)),
     ["stderr-not-finite"]),
    ("error above value", _params(w=(-2.0, 5.0, -INF, INF)), ["stderr-large"]),
    ("baseline slope near zero", _params(b1=(0.001, 0.02, -INF, INF)), []),
    ("at a bound", _params(dHcal=(0.0, 5.0, 0, INF), Tm=(329.0, 0.1, 300, 329)),
     ["at-bound", "stderr-large", "at-bound"]),
    ("Tm on an edge", _params(Tm=(314.05, 1e-3, 300, 329)), ["Tm-on-edge"]),
    # an error taken on the side of the edge that keeps the jump spans the interval
    ("Tm on an edge, honest error", _params(Tm=(314.05, 0.035, 300, 329)), []),
])
def test_checks_of_parameters(case, params, codes):
    rng = np.random.default_rng(1)
    y = rng.normal(0, 1, T.size)
    _, problems = diagnose(T=T, y=y, excess=np.exp(-((T - 314) / 2) ** 2), residual=y,
                           params=params, converged=True, message="")
    assert [p["code"] for p in problems] == codes, problems
    for p in problems:
        assert "\n" not in p["text"] and p["text"]


def test_Tm_near_an_edge_counts_when_a_jump_pins_it():
    """With half the enthalpy in one interval (a latent heat), Tm a fiftieth of an
    interval from its edge is pinned there; a smooth peak so placed is not."""
    jump = np.where(np.isclose(T, 314.0), 500.0, 1.0)
    smooth = np.exp(-((T - 314) / 2) ** 2)
    tm = _params(Tm=(314.05 - 0.0015, 0.01, 300, 329))
    y = np.random.default_rng(4).normal(0, 1, T.size)
    for excess, flagged in ((jump, True), (smooth, False)):
        _, problems = diagnose(T=T, y=y, excess=excess, residual=y, params=tm,
                               converged=True, message="")
        assert any(p["code"] == "Tm-on-edge" for p in problems) is flagged


# --- on fits ---------------------------------------------------------------------------


def test_a_good_fit_succeeds_and_says_so(good):
    r = dsc.fit(good, TRUE, engine=two_state, fit_baseline="linear", starts=1)
    assert r.succeeded and r.problems == [], r.problems
    assert r.noise == pytest.approx(2.0, rel=0.2)  # 3 standard errors
    assert 0.8 < r.stats["rms_over_noise"] < 1.2
    assert "Status: fit succeeded" in r.report()
    d = json.loads(json.dumps(r.to_dict()))
    assert d["success"] is d["succeeded"] is True and d["problems"] == []
    assert d["status"] == "fit succeeded" and d["converged"] is True


def test_a_wrong_model_is_a_failed_fit(good):
    """w held far from the truth: the curve is too wide, the residuals rise above the
    noise in long runs of one sign."""
    r = dsc.fit(good, dict(TRUE, w=-120.0), vary=["dHcal", "Tm"], engine=two_state,
                fit_baseline="linear", starts=1)
    codes = {p["code"] for p in r.problems}
    assert {"misfit", "structured-residuals"} <= codes and not r.succeeded
    assert r.success  # the minimiser itself converged: that alone says little
    text = r.report()
    assert "FIT FAILED" in text and "systematic misfit" in text and "runs" in text
    d = r.to_dict()
    assert d["success"] is False and d["converged"] is True
    assert {p["code"] for p in d["problems"]} == codes


def test_a_parameter_without_effect_or_at_its_bound(good):
    def ignores_w2(fields, T):
        return two_state(fields, T)

    r = dsc.fit(good, dict(TRUE, w2=1.0), vary=["w", "dHcal", "Tm", "w2"],
                engine=ignores_w2, fit_baseline="linear", starts=1)
    assert "stderr-not-finite" in {p["code"] for p in r.problems}
    r = dsc.fit(good, dict(TRUE, w=-225.0), engine=two_state, fit_baseline="linear",
                starts=1, bounds={"w": (-230.0, -100.0)})
    found = [p for p in r.problems if p["code"] == "at-bound"]
    assert found and "w = -230" in found[0]["text"] and "lower bound" in found[0]["text"]


# --- the two-state model beside the lattice ----------------------------------------------


def test_two_state_comparison_picks_the_model_that_made_the_data():
    Tm, dHcal, cu = 314.0, 1263.0, 160.0  # 21 kJ/mol of lipid, 80 lipids per unit
    x = np.arange(305.0, 323.0001, 0.1)
    vh = dHcal * cu
    f = expit(vh * (1 / Tm - 1 / x))
    rng = np.random.default_rng(8)
    y = dHcal * vh / x**2 * f * (1 - f) + 80 + 0.3 * (x - 305) + rng.normal(0, 2.0, x.size)
    data = pd.DataFrame({"T": x, "Cp": y})
    data.attrs.update(KJ.to_attrs())
    r = dsc.fit(data, {"n0": 2, "dH": 0.0, "w": -500.0, "dHcal": 1200.0, "Tm": 314.0},
                engine=lorentz, fit_baseline="linear", starts=1)
    c = r.comparison
    assert c["preferred"] == "two-state" and c["delta_aic"] > 10
    p = r.two_state["params"]
    assert p["dHcal"]["value"] == pytest.approx(dHcal, rel=0.03)
    assert p["Tm"]["value"] == pytest.approx(Tm, abs=0.05)
    assert r.two_state["cu_sites"] == pytest.approx(cu, rel=0.05)
    text = r.report()
    assert "prefer the two-state model" in text and "AIC" in text and "BIC" in text
    d = r.to_dict()
    assert d["comparison"]["preferred"] == "two-state"
    assert d["two_state"]["cu_lipids"] == pytest.approx(80, rel=0.05)
    # the other way round: a Lorentzian scan prefers the Lorentzian "lattice"
    lz = scan(lorentz, dict(TRUE, w=-150.0), x, noise=2.0)
    r = dsc.fit(lz, dict(TRUE, w=-150.0), engine=lorentz, fit_baseline="linear", starts=1)
    assert r.comparison["preferred"] == "lattice" and r.comparison["delta_aic"] > 10


# --- units from the file -------------------------------------------------------------------


def write(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text, encoding="utf-8")
    return p


ROWS = "20.0\t1.5\n20.5\t1.75\n21.0\t2.0\n"


@pytest.mark.parametrize("head, T_unit, Cp_unit", [
    ("Temperature (°C)\tCp (kcal/mol/K)\n", "C", "kcal/(mol K)"),
    ("T [K]\tCp [J/(mol·K)]\n", "K", "J/(mol K)"),
    ("T/K\tCp / (kJ mol-1 K-1)\n", "K", "kJ/(mol K)"),
    ("# instrument export\n# Columns: T [K], Cp [cal/(mol K)]\n", "K", "cal/(mol K)"),
    ("Sample: vesicles (1 mM)\nT\tCp (kcal K-1 mol-1)\n", "C", "kcal/(mol K)"),
    ("T\tCp\n", "C", "kJ/(mol K)"),
    ("# cell [K], jacket [°C]\nT\tCp\n", "C", "kJ/(mol K)"),  # two: the header names none
])
def test_units_read_from_the_header(tmp_path, head, T_unit, Cp_unit):
    text = ROWS if T_unit == "C" else ROWS.replace("20.", "300.").replace("21.", "301.")
    df = dsc.read(write(tmp_path, "s.txt", head + text))
    assert (df.attrs["T_unit"], df.attrs["Cp_unit"]) == (T_unit, Cp_unit)
    size = dsc.CP_UNITS[Cp_unit]
    assert df["Cp"].iloc[0] == pytest.approx(1.5 * size / (dsc.R * 2))
    named = head != "T\tCp\n" and "cell" not in head
    source = df.attrs["units_source"]
    assert (source["Cp"] != "default") is named
    if "Sample" in head:
        assert source["T"] == "default" and source["Cp"].startswith("header line 2")


def test_units_the_header_contradicts_or_cannot_convert(tmp_path):
    path = write(tmp_path, "k.txt", "Temperature (°C)\tCp (kcal/mol/K)\n" + ROWS)
    assert dsc.read(path, Cp_unit="kcal/(mol K)", T_unit="C").attrs["Cp_unit"] == "kcal/(mol K)"
    contradiction = ("Cp_unit kJ/(mol K) contradicts the header, which names kcal/(mol K) "
                     "(line 1: 'Cp (kcal/mol/K)')")
    for kw, needle in [({"Cp_unit": "kJ/(mol K)"}, contradiction),
                       ({"T_unit": "K"}, "T_unit K contradicts the header"),
                       ({"molar_mass": 734.0}, "molar_mass applies to a heat capacity per gram")]:
        with pytest.raises(UnitConflict) as err:
            dsc.read(path, **kw)
        assert needle in str(err.value) and "\n" not in str(err.value)
    raw = write(tmp_path, "raw.txt", "T (°C)\tCp (mcal/°C)\n" + ROWS)
    with pytest.raises(ValueError, match="not per mole or per gram"):
        dsc.read(raw)
    gram = write(tmp_path, "g.txt", "T (°C)\tCp (J/(g K))\n" + ROWS)
    with pytest.raises(ValueError, match="give the lipid's molar mass with molar_mass"):
        dsc.read(gram)
    df = dsc.read(gram, molar_mass=734.0)
    assert df["Cp"].iloc[0] == pytest.approx(1.5 * 734.0 / (dsc.R * 2))
    u = dsc.units_of(df)
    assert u.per_gram and u.energy_unit == "J/mol"
    assert u.enthalpy_from_model(1000.0) == pytest.approx(1000.0 * dsc.R * 2)
    back = dsc.to_instrument(df)
    np.testing.assert_allclose(back["Cp"], [1.5, 1.75, 2.0])


def test_report_states_where_the_units_came_from(tmp_path, good):
    plain = write(tmp_path, "plain.csv", "".join(f"{t - 273.15:.2f},{c:.4f}\n" for t, c in
                                                 zip(good["T"], KJ.Cp_from_model(good["Cp"]))))
    r = dsc.fit(dsc.read(plain), TRUE, engine=two_state, fit_baseline="linear", starts=1)
    assert "Units: T in °C, Cp in kJ/(mol K): the defaults" in r.report()
    assert r.to_dict()["units"]["source"] == {"T": "default", "Cp": "default"}


# --- the command line and the figure -----------------------------------------------------


def run_cli(args):
    out, err = io.StringIO(), io.StringIO()
    status = dsc.main_fit([str(a) for a in args], engine=two_state, stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


def test_command_line_status_and_unit_refusal(tmp_path, good, capsys):
    inst = dsc.Units("C", "kcal/(mol K)", 2)
    rows = "".join(f"{t - 273.15:.2f}\t{c:.5f}\n"
                   for t, c in zip(good["T"], inst.Cp_from_model(good["Cp"])))
    path = write(tmp_path, "scan.txt", "Temperature (°C)\tCp (kcal/mol/K)\n" + rows)
    status, out, err = run_cli([path, "--fit-baseline", "linear", "--starts", "1"])
    assert status == 0 and err == "" and "Cp in kcal/(mol K)" in out
    status, out, err = run_cli([path, "--Cp-unit", "kJ/(mol K)"])
    assert status == 2 and out == "" and err.count("\n") == 1
    assert "--Cp-unit kJ/(mol K) contradicts the header" in err and "'Cp (kcal/mol/K)'" in err
    # a wrong model: the report, JSON and figure are written, the status is 3
    png = tmp_path / "bad.png"
    status, out, err = run_cli([path, "--fit-baseline", "linear", "--starts", "1", "--w",
                                "-120", "--vary", "dHcal,Tm", "--json", "-o", png])
    d = json.loads(out)
    assert status == 3 and d["succeeded"] is False and d["problems"]
    assert err.count("\n") == 1 and "did not succeed (misfit" in err
    assert png.read_bytes()[:4] == b"\x89PNG"
    assert run_cli(["--help"])[0] == 0
    assert "3 the fit did not succeed" in " ".join(capsys.readouterr().out.split())


def test_figure_caption_shows_data_and_model_apart(good):
    from chainmelt.plot import dsc as plot
    from chainmelt.plot.fit import caption

    r = dsc.fit(good, TRUE, engine=two_state, fit_baseline="linear", starts=1)
    r.classification = {"kind": "supercritical", "w_c": -300.0, "w_over_wc": 0.8,
                        "latent_share": 0.0, "text": "continuous transition"}
    r.domain = {"sites": np.inf, "lipids": np.inf, "varied": False, "effective": False,
                "aic_infinite": 1.0, "aic_domain": None, "chosen": "infinite",
                "text": "the transition is continuous: the domain has no effect"}
    lines = caption(r).splitlines()
    assert lines[0].split() == ["data", "model"] and lines[1].startswith("Tm (K)")
    d, m = r.transition["data"], r.transition["model"]
    assert lines[3].split()[-2:] == [f"{d['fwhm']:.2f}", f"{m['fwhm']:.2f}"]
    assert lines[-1] == "supercritical (w/w_c 0.80, latent 0.00)"
    text = r.report()
    assert "Classification: supercritical (w/w_c = 0.8, latent share 0.00): continuous" in text
    assert "Domain: the transition is continuous" in text
    j = json.loads(json.dumps(r.to_dict()))
    assert j["classification"]["kind"] == "supercritical" and j["domain"]["sites"] is None
    top = plot(r).axes[0]
    assert top.get_title() == "" or "FAILED" not in top.get_title()
