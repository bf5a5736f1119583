"""Global fits over several scans with the compiled engine: the shipped n0 = 4 series
from the shell, parameters fitted per scan from Python, and the refusals."""

import json
import shutil

import numpy as np
import pandas as pd
import pytest

from conftest import ROOT, pycli

pytest.importorskip("chainmelt._core")
import chainmelt as cm  # noqa: E402
from chainmelt import dsc  # noqa: E402

SERIES = ROOT / "examples" / "dsc" / "series"
FILES = sorted(SERIES.glob("series-conc*.csv"))
TRUE = {"w": -240.0, "dHcal": 2200.0, "Tm": 314.0, "w3": 100.0}


def test_shell_global_fit_of_the_shipped_series(tmp_path):
    """Default starts from the scans, conc from the files' headers, a baseline per scan."""
    png = tmp_path / "global.png"
    p = pycli("fit", *FILES, "--n0", "4", "--w3", "0", "--vary", "w,dHcal,Tm,w3",
              "--fit-baseline", "linear", "--json", "-o", png, cwd=tmp_path)
    assert p.returncode == 0, p.stderr
    r = json.loads(p.stdout)
    assert r["kind"] == "global" and r["success"]
    for name, true in TRUE.items():
        v, e = r["parameters"][name]["value"], r["parameters"][name]["stderr"]
        assert abs(v - true) <= 3 * e and abs(v - true) <= 0.03 * abs(true), (name, v, e)
    assert r["known"] == {"conc": [0.02, 0.05, 0.1]}
    assert [s["label"] for s in r["scans"]] == [f.name for f in FILES]
    assert [s["model"]["conc"] for s in r["scans"]] == [0.02, 0.05, 0.1]
    # each scan's own baseline, near the one the file was made with (kJ/(mol K) at 27 C)
    b = [s["baseline"] for s in r["scans"]]
    assert b == ["linear"] * 3 and len(r["per_scan"]["b0"]) == 3
    # the peak moves up with conc in the data and in the model alike
    peaks = [s["transition"]["data"]["Tm"] for s in r["scans"]]
    assert peaks == sorted(peaks) and peaks[2] - peaks[0] > 5
    for s in r["scans"]:
        assert abs(s["transition"]["data"]["Tm"] - s["transition"]["model"]["Tm"]) < 1.0
    assert r["uncertainty"]["method"] == "covariance"
    assert png.read_bytes()[:4] == b"\x89PNG"


def test_make_series_regenerates_the_shipped_files(tmp_path):
    """The script beside the series writes the same bytes as the files shipped."""
    import importlib.util
    spec = importlib.util.spec_from_file_location("make_series", SERIES / "make_series.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    mod.HERE = str(tmp_path)
    mod.main()
    for f in FILES:
        assert (tmp_path / f.name).read_bytes() == f.read_bytes(), f.name


def _replicates(tms, seed=5, noise=0.4):
    """n0 = 2 scans sharing w and dHcal with Tm of their own, as excess Cp in model units
    (k_B per chain) with a little noise."""
    rng = np.random.default_rng(seed)
    out = []
    for tm in tms:
        T = np.linspace(300.0, 328.0, 90)
        cp = dsc.model_curve({"n0": 2, "dH": 0.0, "w": -240.0, "dHcal": 2200.0, "Tm": tm},
                             T)["Cp"].to_numpy()
        frame = pd.DataFrame({"T": T, "Cp": cp + rng.normal(0, noise, T.size)})
        frame.attrs.update(dsc.Units("K", "J/(mol K)", 2).to_attrs())
        out.append(frame)
    return out


def test_per_scan_parameters_and_threads_give_the_same_fit():
    data = _replicates([312.0, 315.5])
    model = cm.Model(n0=2, dH=0, w=-220.0, dHcal=2100.0, Tm=313.0)
    one = dsc.fit_global(data, model, vary="w,dHcal", per_scan_vary="Tm", starts=1, threads=1)
    assert one.success
    assert one.value("Tm", 0) == pytest.approx(312.0, abs=0.05)
    assert one.value("Tm", 1) == pytest.approx(315.5, abs=0.05)
    assert one.value("w") == pytest.approx(-240.0, rel=0.02)
    assert one.value("dHcal") == pytest.approx(2200.0, rel=0.02)
    assert [s.fields["Tm"] for s in one.scans] == [one.value("Tm", 0), one.value("Tm", 1)]
    assert "Tm" in one.report() and "scan 2" in one.report()
    # the scans evaluated side by side on two threads: the same numbers to the last bit
    two = dsc.fit_global(data, model, vary="w,dHcal", per_scan_vary="Tm", starts=1, threads=2,
                         uncertainty="bootstrap", n=10, derived=False)
    assert two.chisqr == one.chisqr and two.values == one.values
    # the uncertainty asked for by keyword: every model parameter, per-scan ones included
    assert two.uncertainty.method == "bootstrap"
    assert set(two.uncertainty.intervals) == {"w", "dHcal", "Tm_1", "Tm_2"}
    assert "residual bootstrap" in two.report()
    assert json.loads(json.dumps(two.to_dict()))["uncertainty"]["method"] == "bootstrap"


@pytest.fixture(scope="module")
def series():
    return [dsc.read(f) for f in FILES]


def _with_header(tmp_path, source, line):
    dest = tmp_path / source.name
    text = source.read_text().replace("# conc = ", line + "\n# conc = ", 1)
    dest.write_text(text)
    return dest


REFUSALS = [
    ("different variants", dict(per_scan={"n0": [4, 4, 8]}), "different variants"),
    ("per-scan field short", dict(per_scan={"w2": [1.0, 2.0]}), "2 value(s) for 3 scans"),
    ("shared and per-scan", dict(vary="w,dHcal,Tm,w3", per_scan_vary="w3"),
     "both shared and per-scan"),
    ("shared and given per scan", dict(vary="w,dHcal,Tm,conc"), "conc is shared"),
    ("given and header differ", dict(per_scan={"conc": [0.02, 0.05, 0.2]}),
     "its header says 0.1"),
    ("conc negative in n0 = 4", dict(per_scan={"conc": [-0.01, 0.05, 0.1]}), "0 <= conc < 1"),
    ("conc zero in every scan", dict(per_scan={"conc": [0.0, 0.0, 0.0]}), "fit it with n0 = 2"),
    ("unknown per-scan field", dict(per_scan={"bogus": [1, 2, 3]}), "not a model field"),
    ("baselines for two of three", dict(fit_baseline=["linear", None]), "2 entries for 3"),
    ("some scans weighted", dict(sigma=[0.1, None, 0.1]), "every scan or for none"),
    ("bounds of a fixed field", dict(bounds={"w2": (0, 1)}), "'w2' is not a varied"),
]


@pytest.mark.parametrize("what,kw,message", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals(series, what, kw, message):
    model = cm.Model(n0=4, dH=0, w=-240.0, dHcal=2200.0, Tm=314.0, w3=60.0, conc=0.02)
    data = series
    if what.startswith("conc"):  # no header to contradict the value given
        data = [d.copy() for d in series]
        for d in data:
            d.attrs.pop("source")
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        dsc.fit_global(data, model, **kw)


def test_header_refusals(tmp_path):
    """A header field in some files only, and a file saying it is another variant."""
    a = _with_header(tmp_path, FILES[0], "# w2 = 5")
    b, c = (shutil.copy(f, tmp_path / f.name) for f in FILES[1:])
    model = cm.Model(n0=4, dH=0, w=-240.0, dHcal=2200.0, Tm=314.0, w3=60.0, conc=0.02)
    data = [dsc.read(f) for f in (a, b, c)]
    with pytest.raises(ValueError, match=r"w2: the header gives it for 1 of 3 scans, not for "
                                         r"series-conc0.05.csv, series-conc0.10.csv"):
        dsc.fit_global(data, model)
    p = pycli("fit", a, b, c, "--n0", "4", "--w3", "60")
    assert p.returncode == 2 and p.stdout == ""
    assert p.stderr.count("\n") == 1 and "w2: the header gives it" in p.stderr
    (tmp_path / "8").mkdir()
    eight = _with_header(tmp_path / "8", FILES[0], "# n0 = 8")
    with pytest.raises(ValueError, match="different variants"):
        dsc.fit_global([dsc.read(eight), data[1], data[2]], model)


def test_shell_refuses_a_per_scan_list_of_the_wrong_length():
    p = pycli("fit", *FILES, "--n0", "4", "--per-scan", "w2=1,2")
    assert p.returncode == 2 and "w2 has 2 value(s) for 3 scans" in p.stderr


def test_header_fields(tmp_path):
    f = tmp_path / "scan.txt"
    f.write_text("; conc: 0.05\n% w2 = -1e2\n# Tm = 41.4 C\n# operator = 7\n# conc = 0.05\n"
                 "T,Cp\n1,2\n")
    # "41.4 C" is not a bare number and "operator" is no model field: both ignored
    assert dsc.header_fields(f) == {"conc": 0.05, "w2": -100.0}
    f.write_text("# conc = 0.05\n# conc = 0.1\n")
    with pytest.raises(ValueError, match=r"line 2: conc = 0.1, but an earlier line says 0.05"):
        dsc.header_fields(f)


def _two_state(no_curve=lambda w: False, seen=None):
    """A stand-in engine: the energy of a two-state transition of width set by w, which
    has no curve (raises, as the compiled engine does) where ``no_curve(w)``."""
    def energy(fields, T):
        if no_curve(fields["w"]):
            if seen is not None:
                seen.append(fields["w"])
            raise RuntimeError("no feasible minimum")
        x = 1 / (1 + np.exp(-fields["dHcal"] * (T - fields["Tm"]) / (-fields["w"] * 40)))
        return fields["dHcal"] * x
    return energy


def test_a_start_through_points_without_a_curve_goes_on_and_a_failed_one_is_recorded():
    T = np.linspace(300, 330, 60)
    edges = np.concatenate([[T[0] - 0.25], 0.5 * (T[1:] + T[:-1]), [T[-1] + 0.25]])
    edges[0], edges[-1] = 2 * T[0] - edges[1], 2 * T[-1] - edges[-2]
    truth = {"n0": 2, "dH": 0.0, "w": -240.0, "dHcal": 2200.0, "Tm": 314.0}
    data = []
    for tm in (314.0, 316.0):
        U = _two_state()(dict(truth, Tm=tm), edges)
        frame = pd.DataFrame({"T": T, "Cp": np.diff(U) / np.diff(edges)})
        frame.attrs.update(dsc.Units("K", "J/(mol K)", 2).to_attrs())
        data.append(frame)
    model = dict(truth, w=-100.0, dHcal=1500.0)
    # the minimiser's first step from w = -100 lands in a band without a curve: the step
    # is refused and the fit goes on to the answer
    seen: list = []
    r = dsc.fit_global(data, model, vary="w,dHcal", per_scan_vary="Tm", starts=1,
                       engine=_two_state(lambda w: -200 < w < -180, seen))
    assert seen and r.success and r.value("w") == pytest.approx(-240.0, rel=1e-6)
    # a start where the model has no curve at all fails; the other start is kept
    engine = _two_state(lambda w: w > -60)
    r = dsc.fit_global(data, model, vary="w,dHcal", per_scan_vary="Tm",
                       starts=[{"w": -50.0}, {}], engine=engine)
    assert [s["success"] for s in r.starts] == [False, True]
    assert r.starts[0]["chisqr"] == float("inf") and "no feasible" in r.starts[0]["message"]
    assert r.value("w") == pytest.approx(-240.0, rel=1e-6)
    with pytest.raises(RuntimeError, match="every start failed"):
        dsc.fit_global(data, dict(model, w=-50.0), vary="w,dHcal", starts=1, engine=engine)


def test_a_scan_of_the_lipid_alone_joins_an_n0_4_series(tmp_path):
    """conc = 0 has no n0 = 4 state; such a scan is computed with its limit, n0 = 2 with
    the shared lipid parameters, and the series still gives back the truth."""
    T_C = np.round(np.linspace(27.0, 61.5, 150), 10)
    T = T_C + 273.15
    edges = np.concatenate([[1.5 * T[0] - 0.5 * T[1]], 0.5 * (T[1:] + T[:-1]),
                            [1.5 * T[-1] - 0.5 * T[-2]]])
    lipid = {k: v for k, v in TRUE.items() if k != "w3"}
    U = cm.heat(cm.Model(n0=2, dH=0, **lipid), T=edges)["U"].to_numpy()
    rng = np.random.default_rng(20)
    Cp = np.diff(U) / np.diff(edges) * 8.314462618 * 2 / 1000 + 1.6 \
        + 0.01 * (T_C - T_C[0]) + rng.normal(0, 0.03, T.size)
    pure = tmp_path / "series-conc0.csv"
    pure.write_text("# conc = 0\nTemperature (C),Cp (kJ/(mol K))\n"
                    + "".join(f"{t:.2f},{c:.4f}\n" for t, c in zip(T_C, Cp)))
    data = [dsc.read(f) for f in (pure, FILES[1], FILES[2])]
    r = dsc.fit_global(data, cm.Model(n0=4, dH=0, w=-200, dHcal=2000, Tm=313, w3=0),
                       vary="w,dHcal,Tm,w3", fit_baseline="linear")
    for name, true in TRUE.items():
        v, e = r.params[name]["value"], r.params[name]["stderr"]
        assert abs(v - true) <= 3 * e and abs(v - true) <= 0.03 * abs(true), (name, v, e)
    assert [s.fields["n0"] for s in r.scans] == [2, 4, 4]
    assert "conc = 0: the lipid alone, computed with n0 = 2" in r.report()
