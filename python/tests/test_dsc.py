"""DSC reading, units, baselines, fitting, figure and command line, on a stand-in engine.

The stand-in is a two-state (van 't Hoff) melting curve whose cooperative unit grows
with |w|, so that w, dHcal and Tm each shape the curve: dHcal the area, Tm the position,
w the width.  The compiled engine is not needed here.
"""

import io
import json
import warnings

import matplotlib

matplotlib.use("Agg")

import numpy as np
import pandas as pd
import pytest
from scipy.special import expit

from chainmelt import dsc

TRUE = {"n0": 2, "dH": 0.0, "w": -240.0, "dHcal": 2200.0, "Tm": 314.0}


def two_state(fields, T):
    unit = 1 + fields["w"] ** 2 / 480  # chains per cooperative unit
    vH = unit * fields["dHcal"]
    return fields["dHcal"] * expit(vH * (1 / fields["Tm"] - 1 / np.asarray(T)))


def write(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text, encoding="utf-8")
    return p


def synthetic(units, T_inst, noise=0.2, seed=1):
    """A scan in instrument units: the stand-in's curve, a sloped baseline and noise
    (``noise`` in the instrument's unit)."""
    T = units.T_to_model(T_inst)
    cp = dsc.model_curve(TRUE, T, engine=two_state)["Cp"].to_numpy()
    base = dsc.Units("K", "kJ/(mol K)", 2).Cp_to_model(1.5 + 0.02 * (T - 298.15))
    rng = np.random.default_rng(seed)
    return units.Cp_from_model(cp + base) + rng.normal(0, noise, T.size)


# --- reading ---------------------------------------------------------------------------

LAYOUTS = {
    "comma, header": ("T (C),Cp\n20.0,1.5\n20.5,1.75\n21.0,2.0\n", {}),
    "tab, no header": ("20.0\t1.5\n20.5\t1.75\n21.0\t2.0\n", {}),
    "blank, comments": ("# scan 1\n% instrument X\n\n  20.0   1.5  \n; rate 1 K/min\n"
                        "20.5 1.75\n21.0    2.0\n", {}),
    "semicolon, decimal comma": ("T;Cp\n20,0;1,5\n20,5;1,75\n21,0;2\n", {}),
    "blank, decimal comma": ("20,0 1,5\n20,5 1,75\n21,0 2,0\n", {}),
    "three columns by name": ("time,Temp,Cp\n0,20.0,1.5\n1,20.5,1.75\n2,21.0,2.0\n",
                              {"T_col": "temp", "Cp_col": 2}),
    "cooling scan": ("21.0,2.0\n20.5,1.75\n20.0,1.5\n", {}),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_read_layouts(tmp_path, layout):
    text, kw = LAYOUTS[layout]
    df = dsc.read(write(tmp_path, "scan.txt", text), **kw)
    np.testing.assert_allclose(df["T"], [293.15, 293.65, 294.15])
    np.testing.assert_allclose(df["Cp"], np.array([1.5, 1.75, 2.0]) * 1000 / (dsc.R * 2))
    assert df.attrs["T_unit"] == "C" and df.attrs["chains_per_lipid"] == 2
    assert "8.314462618" in df.attrs["conversion"]
    assert df.attrs["scan"] == ("down" if layout == "cooling scan" else "up")


REFUSALS = {
    "empty": ("# only a comment\n\n", "no numeric rows"),
    "words only": ("T,Cp\nabc,def\n", "no numeric rows"),
    "mixed separators": ("20.0,1.5\n20.5,1.6\n21.0\t1.7\n", "line 3: tab-separated"),
    "not monotonic": ("# up\n20.0,1\n20.5,1\n20.4,1\n21,1\n", "line 4: temperature 20.4"),
    "repeated T": ("20.0,1\n20.0,1\n", "line 2"),
    "ragged row": ("20.0,1,3\n20.5,1,3\n21.0,1\n", "line 3: expected 3"),
    "trailer": ("20.0,1\n20.5,1\nend of data\n", "line 3"),
    "ambiguous": ("25 ,1\n26 ,2\n", 'decimal=","'),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_read_refusals_are_one_line_naming_file_and_line(tmp_path, case):
    text, needle = REFUSALS[case]
    path = write(tmp_path, "bad.csv", text)
    with pytest.raises(ValueError) as err:
        dsc.read(path)
    msg = str(err.value)
    assert "\n" not in msg and str(path) in msg and needle in msg


def test_read_ambiguity_settled_by_option_and_bad_options(tmp_path):
    path = write(tmp_path, "amb.txt", "25 ,1\n26 ,2\n")
    assert dsc.read(path, decimal=".")["Cp"].iloc[1] == pytest.approx(2 * 1000 / (dsc.R * 2))
    assert dsc.read(path, decimal=",")["Cp"].iloc[1] == pytest.approx(0.2 * 1000 / (dsc.R * 2))
    good = write(tmp_path, "good.csv", "T,Cp\n20,1\n21,2\n")
    for kw, needle in [({"T_col": "Temp"}, "no such column"), ({"Cp_col": 5}, "columns 0 to 1"),
                       ({"T_unit": "F"}, "T_unit"), ({"Cp_unit": "kJ/mol"}, "Cp_unit"),
                       ({"chains_per_lipid": 0}, "chains_per_lipid"), ({"sep": "|"}, "sep")]:
        with pytest.raises(ValueError, match=needle):
            dsc.read(good, **kw)
    with pytest.raises(ValueError, match="no header"):
        dsc.read(write(tmp_path, "nohead.csv", "20,1\n21,2\n"), T_col="T")


@pytest.mark.parametrize("T_unit, Cp_unit, chains", [("C", "kJ/(mol K)", 2),
                                                    ("K", "kcal/(mol K)", 1),
                                                    ("C", "J/(mol K)", 2)])
def test_units_round_trip(tmp_path, T_unit, Cp_unit, chains):
    T = np.linspace(300, 330, 7) - (273.15 if T_unit == "C" else 0)
    Cp = np.linspace(1, 7, 7) * (1000 if Cp_unit == "J/(mol K)" else 1)
    path = write(tmp_path, "s.csv", "".join(f"{t!r},{c!r}\n" for t, c in zip(T, Cp)))
    df = dsc.read(path, T_unit=T_unit, Cp_unit=Cp_unit, chains_per_lipid=chains)
    np.testing.assert_allclose(df["T"], np.linspace(300, 330, 7), rtol=1e-14)
    back = dsc.to_instrument(df)
    np.testing.assert_allclose(back["T"], T, rtol=1e-13)
    np.testing.assert_allclose(back["Cp"], Cp, rtol=1e-13)
    t, c = dsc.to_instrument((df["T"], df["Cp"]), T_unit=T_unit, Cp_unit=Cp_unit,
                             chains_per_lipid=chains)
    np.testing.assert_allclose(c, Cp, rtol=1e-13)
    # 1 kcal/(mol K) per lipid of two chains is 4184 / (2 R) k_B per chain
    assert dsc.Units("K", "kcal/(mol K)", 2).Cp_to_model(1.0) == pytest.approx(4184 / (2 * dsc.R))


# --- baselines -------------------------------------------------------------------------


def peak(T):
    return 50 * np.exp(-0.5 * ((T - 314) / 0.8) ** 2)


def test_baselines_recover_the_excess():
    T = np.arange(300, 330, 0.05)
    lin = 10 + 0.3 * (T - 300)
    df = pd.DataFrame({"T": T, "Cp": lin + peak(T)})
    out = dsc.subtract_baseline(df, pre=(300, 308), post=(320, 330), kind="linear")
    np.testing.assert_allclose(out["baseline"], lin, atol=1e-9)
    np.testing.assert_allclose(out["Cp"] + out["baseline"], out["Cp_raw"])
    # a step in the baseline that follows the progress of the transition
    area = np.cumsum(peak(T)) / np.sum(peak(T))
    step = (1 - area) * lin + area * (14 + 0.1 * (T - 300))
    df = df.assign(Cp=step + peak(T))
    out = dsc.subtract_baseline(df, pre=(300, 308), post=(320, 330), kind="sigmoidal")
    np.testing.assert_allclose(out["Cp"], peak(T), atol=2e-3 * peak(T).max())
    assert out.attrs["baseline"]["kind"] == "sigmoidal"
    with pytest.raises(ValueError, match="windows are in kelvin"):
        dsc.subtract_baseline(df, pre=(25, 35), post=(46, 55))
    with pytest.raises(ValueError, match="must end before"):
        dsc.subtract_baseline(df, pre=(300, 322), post=(320, 330))


def test_first_order_jump_lands_in_its_interval():
    def jump(fields, T):
        return np.where(np.asarray(T) > 314.02, 2200.0, 0.0) + 3.0 * np.asarray(T)

    T = np.arange(310, 318.001, 0.1)
    cp = dsc.model_curve(TRUE, T, engine=jump)["Cp"].to_numpy()
    i = int(np.argmin(np.abs(T - 314.0)))
    assert cp[i] == pytest.approx(3.0 + 2200 / 0.1) and np.allclose(np.delete(cp, i), 3.0)
    assert np.sum(cp * 0.1) == pytest.approx(2200 + 3.0 * (T[-1] - T[0] + 0.1))


# --- fitting ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def scans(tmp_path_factory):
    """The same synthetic transition in two instrument layouts."""
    d = tmp_path_factory.mktemp("dsc")
    uc = dsc.Units("C", "kJ/(mol K)", 2)
    Tc = np.arange(25, 55.0001, 0.1)
    a = d / "comma.csv"
    a.write_text("# synthetic\nTemperature (C),Cp (kJ/(mol K))\n" +
                 "".join(f"{t:.2f},{c:.5f}\n" for t, c in zip(Tc, synthetic(uc, Tc))))
    uk = dsc.Units("K", "kcal/(mol K)", 2)
    Tk = np.arange(300, 328.0001, 0.08)
    b = d / "tab.txt"
    b.write_text("".join(f"{t:.3f}\t{c:.5f}\n".replace(".", ",")
                         for t, c in zip(Tk, synthetic(uk, Tk, noise=0.04, seed=2))))
    return {"comma": (a, {"T_unit": "C"}), "tab": (b, {"T_unit": "K", "Cp_unit": "kcal/(mol K)"})}


def assert_recovers(result):
    for name in ("w", "dHcal", "Tm"):
        v, e = result.value(name), result.stderr(name)
        assert abs(v - TRUE[name]) <= 2 * e, (name, v, e)
        assert abs(v - TRUE[name]) <= 0.02 * abs(TRUE[name]), (name, v)


@pytest.mark.parametrize("layout", ["comma", "tab"])
def test_fit_recovers_known_parameters(scans, layout):
    path, kw = scans[layout]
    data = dsc.read(path, **kw)
    start = dict(TRUE, w=-150.0, dHcal=1900.0, Tm=313.0)
    joint = dsc.fit(data, start, engine=two_state, fit_baseline="linear")
    assert_recovers(joint)
    assert joint.starts and joint.success  # started from the data
    c = joint.correlation.to_numpy()
    np.testing.assert_allclose(np.diag(c), 1) and np.testing.assert_allclose(c, c.T)
    t = joint.transition["model"]
    assert t["H"] == pytest.approx(joint.value("dHcal"), rel=1e-3)
    assert t["cu_chains"] == pytest.approx(1 + joint.value("w") ** 2 / 480, rel=0.02)
    # the same fit on data with the baseline taken off first
    lo, hi = data["T"].iloc[0], data["T"].iloc[-1]
    excess = dsc.subtract_baseline(data, (lo, lo + 8), (hi - 8, hi))
    assert_recovers(dsc.fit(excess, start, engine=two_state, starts=[-150, -300]))


def test_fit_report_and_dict(scans):
    data = dsc.read(scans["comma"][0])
    r = dsc.fit(data, TRUE, engine=two_state, fit_baseline="sigmoidal", starts=1,
                bounds={"w": (-400, -100)})
    text = r.report()
    for label in ("Calorimetric enthalpy", "kJ/mol lipid", "Tm at the peak", "Half-width",
                  "van 't Hoff enthalpy", "Cooperative unit", "Correlations", "post1",
                  "40.85", "Fixed: n0 = 2, dH = 0"):
        assert label in text
    d = json.loads(json.dumps(r.to_dict()))
    assert d["parameters"]["Tm"]["stderr"] > 0 and set(d["correlation"]) == set(r.vary)
    assert d["transition"]["model"]["Tm"] == pytest.approx(40.85, abs=0.02)


def test_fit_refuses_what_it_cannot_fit(scans):
    data = dsc.read(scans["comma"][0])
    for kw, needle in [({"model": dict(TRUE, dH=2900.0)}, "only when dH is 0"),
                       ({"vary": ["w", "n0"]}, "'n0' cannot be fitted"),
                       ({"bounds": {"w": (-200, -100)}}, "outside its bounds"),
                       ({"bounds": {"e2": (0, 1)}}, "not a varied parameter"),
                       ({"model": {"n0": 2, "dH": 0, "w": -240, "Tm": 314}}, "no start value")]:
        args = {"model": TRUE, **kw}
        with pytest.raises(ValueError, match=needle):
            dsc.fit(data, engine=two_state, **args)
    plain = data.copy()
    plain.attrs = {}
    with pytest.raises(ValueError, match="no units"):
        dsc.fit(plain, TRUE, engine=two_state)


# --- figure and command line -------------------------------------------------------------


def test_plot_draws_data_fit_baseline_and_residuals(scans, tmp_path):
    from chainmelt.plot import dsc as plot

    r = dsc.fit(dsc.read(scans["comma"][0]), TRUE, engine=two_state, fit_baseline="linear",
                starts=1)
    top, bottom = plot(r).axes
    labels = [line.get_label() for line in top.get_lines()]
    assert labels == ["data", "model fit", "linear baseline"]
    x, y = top.get_lines()[0].get_data()
    np.testing.assert_allclose(x, np.arange(25, 55.0001, 0.1), atol=1e-9)
    assert 20 < np.max(y) < 30  # kJ/(mol K) per lipid, not k_B per chain
    assert top.get_ylabel() == "Cp (kJ/(mol K))" and bottom.get_xlabel() == "T (°C)"
    assert "residual" in [line.get_label() for line in bottom.get_lines()]
    out = tmp_path / "fit.png"
    top.figure.savefig(out)
    assert out.read_bytes()[:4] == b"\x89PNG"


def run_cli(args):
    out, err = io.StringIO(), io.StringIO()
    status = dsc.main_fit(args, engine=two_state, stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


def test_command_line(scans, tmp_path):
    path = str(scans["comma"][0])
    png = tmp_path / "fit.png"
    status, out, err = run_cli([path, "--fit-baseline", "linear", "-o", str(png)])
    assert status == 0 and err == "" and "Cooperative unit" in out
    assert png.read_bytes()[:4] == b"\x89PNG"
    status, out, _ = run_cli([path, "--baseline", "linear", "--pre", "25,33", "--post",
                              "48,55", "--json", "--starts", "1"])
    assert status == 0 and json.loads(out)["parameters"]["Tm"]["value"] == pytest.approx(314, abs=0.05)
    png.write_bytes(b"keep")
    for args in ([path, "--vary", "w,mode"], [path, "--bogus"], [str(tmp_path / "none.csv")],
                 [path, "--baseline", "linear"], [path, "-o", str(tmp_path / "fit.xyz")],
                 [path, "--T-unit", "F", "-o", str(png)]):
        status, out, err = run_cli(args)
        assert status == 2 and out == "" and err.count("\n") == 1 and err.startswith("chainmelt fit: ")
    assert png.read_bytes() == b"keep"


def test_engine_seam_and_model_objects(monkeypatch, scans):
    """Without engine=, the fit builds chainmelt.Model(**fields) and reads column U of
    chainmelt.heat(model, T=..., search=...) (the fit's curve as arrays of its columns);
    a Model comes back through .replace."""
    from chainmelt import runs

    calls = []

    class Model:
        def __init__(self, **fields):
            self.fields = dict(fields)

        def replace(self, **changes):
            return Model(**{**self.fields, **changes})

    def heat(model, T, search):
        calls.append(search)
        return pd.DataFrame({"T": T, "U": two_state(model.fields, T), "Cp": 0.0})

    def heat_columns(model, T, names, search=None, threads=None):
        table = heat(model, T, search)
        return [np.asarray(table[n], dtype=float) for n in names]

    monkeypatch.setattr(runs, "Model", Model)
    monkeypatch.setattr(runs, "heat", heat)
    monkeypatch.setattr(runs, "_heat_columns", heat_columns)
    data = dsc.read(scans["tab"][0], **scans["tab"][1])
    sigma = dsc.Units("K", "kcal/(mol K)", 2).Cp_to_model(0.04)
    r = dsc.fit(data, Model(**TRUE), starts=1, fit_baseline="linear", sigma=sigma)
    assert isinstance(r.model, Model) and r.model.fields["Tm"] == r.value("Tm")
    assert set(calls) == {"equilibrium"}
    assert 0.8 < r.redchi < 1.2  # the noise put in is the noise found
    assert_recovers(r)


def test_a_fit_on_three_points_says_what_it_can_and_warns_of_nothing():
    T = np.array([310.0, 314.0, 318.0])
    fields = dict(TRUE)
    data = pd.DataFrame({"T": T, "Cp": dsc.model_curve(fields, T, engine=two_state)["Cp"]})
    data.attrs.update(dsc.Units("K").to_attrs())
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        r = dsc.fit(data, fields, vary=["Tm", "dHcal"], engine=two_state, starts=1)
        assert r.ndata == 3 and r.nfree == 1 and "Transition" in r.report()
        for baseline, free in (("linear", 4), ("sigmoidal", 6)):
            with pytest.raises(ValueError, match="3 points cannot determine %d parameters"
                               % free):
                dsc.fit(data, fields, vary=["Tm", "dHcal"], engine=two_state,
                        fit_baseline=baseline)
        assert dsc.guess(data, fit_baseline="linear")["Tm"] == 314.0
    # The former keyword of a fitted baseline still works, with a warning.
    with pytest.warns(DeprecationWarning, match="fit_baseline"):
        assert dsc.guess(data, baseline="linear")["Tm"] == 314.0
    with pytest.warns(DeprecationWarning, match="--baseline subtracts"):
        with pytest.raises(ValueError, match="3 points cannot determine 4"):
            dsc.fit(data, fields, vary=["Tm", "dHcal"], engine=two_state, baseline="linear")
    with pytest.raises(TypeError, match="fit_baseline only"):
        dsc.fit(data, fields, engine=two_state, baseline="linear", fit_baseline="linear")
