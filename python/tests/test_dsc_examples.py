"""The shipped synthetic scans of examples/dsc, fitted with the compiled engine: from
the shell (a real subprocess) and from Python, each must give back the parameters the
scan was made with, in the units its header names; a fit in the wrong unit must say
that it failed."""

import json

import pytest

from conftest import ROOT, pycli

chainmelt = pytest.importorskip("chainmelt._core")
from chainmelt import dsc  # noqa: E402

EXAMPLES = ROOT / "examples" / "dsc"
TRUE = {"w": -240.0, "dHcal": 2200.0, "Tm": 314.0}
FILES = {
    "scan-celsius.csv": [],
    "scan-kelvin.txt": ["--T-unit", "K", "--Cp-unit", "kcal/(mol K)"],  # as its header says
    "scan-export.txt": [],  # units from its header only
}
UNITS = {"scan-celsius.csv": ("C", "kJ/(mol K)"), "scan-kelvin.txt": ("K", "kcal/(mol K)"),
         "scan-export.txt": ("C", "kcal/(mol K)")}


def assert_recovers(params):
    for name, true in TRUE.items():
        v, e = params[name]["value"], params[name]["stderr"]
        assert abs(v - true) <= 2 * e, (name, v, e)
        assert abs(v - true) <= 0.02 * abs(true), (name, v)


@pytest.mark.parametrize("name", FILES)
def test_shell_fit_of_shipped_scan(tmp_path, name):
    png = tmp_path / "fit.png"
    p = pycli("fit", EXAMPLES / name, *FILES[name], "--fit-baseline", "linear",  # default starts
              "--json", "-o", png, cwd=tmp_path)
    assert p.returncode == 0, p.stderr
    report = json.loads(p.stdout)
    assert report["success"] and report["search"] == "equilibrium"
    assert report["succeeded"] and report["problems"] == []
    assert (report["units"]["T_unit"], report["units"]["Cp_unit"]) == UNITS[name]
    assert_recovers(report["parameters"])
    assert png.read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("name", FILES)
def test_python_fit_of_shipped_scan(name):
    data = dsc.read(EXAMPLES / name)  # the header names the units, or the defaults hold
    assert (data.attrs["T_unit"], data.attrs["Cp_unit"]) == UNITS[name]
    model = chainmelt_model(w=-200.0, dHcal=2000.0, Tm=313.0)
    r = dsc.fit(data, model, fit_baseline="linear", starts=1)
    assert_recovers(r.params)
    assert r.model.given["Tm"] == r.value("Tm")
    assert "Cooperative unit" in r.report()


def chainmelt_model(**fields):
    import chainmelt as cm
    return cm.Model(n0=2, dH=0, **fields)


def test_make_data_regenerates_the_shipped_files(tmp_path):
    """The script writes the same bytes as the files in the repository."""
    import importlib.util
    spec = importlib.util.spec_from_file_location("make_data", EXAMPLES / "make_data.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    assert set(mod.FILES) == set(FILES)
    for name, write in mod.FILES.items():
        out = tmp_path / name
        write(out)
        assert out.read_bytes() == (EXAMPLES / name).read_bytes(), name


def test_shell_fit_in_the_wrong_unit_fails_with_status_3(tmp_path):
    """The kcal scan without its header, given as kJ: the report and the figure are
    written, and both the status and the report say the fit failed."""
    lines = (EXAMPLES / "scan-kelvin.txt").read_text(encoding="utf-8").splitlines(True)
    bare = tmp_path / "bare.txt"
    bare.write_text("".join(x for x in lines if not x.startswith("#")), encoding="utf-8")
    png = tmp_path / "fit.png"
    p = pycli("fit", bare, "--T-unit", "K", "--Cp-unit", "kJ/(mol K)", "--fit-baseline",
              "linear", "--json", "-o", png, cwd=tmp_path)
    assert p.returncode == 3, p.stderr
    report = json.loads(p.stdout)
    assert report["success"] is False and report["status"] == "fit failed"
    codes = {x["code"] for x in report["problems"]}
    assert "misfit" in codes, codes
    assert "chainmelt fit: the fit did not succeed (" in p.stderr.splitlines()[-1]
    assert png.read_bytes()[:4] == b"\x89PNG"
    # the same file with its header: kJ contradicts it and is refused, nothing written
    png.unlink()
    p = pycli("fit", EXAMPLES / "scan-kelvin.txt", "--Cp-unit", "kJ/(mol K)", "-o", png,
              cwd=tmp_path)
    assert p.returncode == 2 and p.stdout == "" and not png.exists()
    assert p.stderr.count("\n") == 1 and "--Cp-unit kJ/(mol K) contradicts the header" in p.stderr
