"""The shipped synthetic scans of examples/dsc, fitted with the compiled engine: from
the shell (a real subprocess) and from Python, each must give back the parameters the
scan was made with."""

import json

import pytest

from conftest import ROOT, pycli

chainmelt = pytest.importorskip("chainmelt._core")
from chainmelt import dsc  # noqa: E402

EXAMPLES = ROOT / "examples" / "dsc"
TRUE = {"w": -240.0, "dHcal": 2200.0, "Tm": 314.0}
FILES = {
    "scan-celsius.csv": [],
    "scan-kelvin.txt": ["--T-unit", "K", "--Cp-unit", "kcal/(mol K)"],
}


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
    assert_recovers(report["parameters"])
    assert png.read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("name", FILES)
def test_python_fit_of_shipped_scan(name):
    opts = dict(zip(FILES[name][::2], FILES[name][1::2]))
    data = dsc.read(EXAMPLES / name, T_unit=opts.get("--T-unit", "C"),
                    Cp_unit=opts.get("--Cp-unit", "kJ/(mol K)"))
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
    for name, write in (("scan-celsius.csv", mod.write_csv), ("scan-kelvin.txt", mod.write_txt)):
        out = tmp_path / name
        write(out)
        assert out.read_bytes() == (EXAMPLES / name).read_bytes(), name
