"""read() of every output format, peak analysis, plots and the example."""

import math
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import chainmelt
import chainmelt.plot
from conftest import BINARY, BUILD, ROOT

HEAT = ["--task", "heat", "--n0", "2", "--w", "-240", "--Tm", "314", "--dHcal", "2200"]


@pytest.mark.parametrize("fmt", ["tsv", "csv", "jsonl"])
def test_read_round_trips_the_text_formats(fmt, tmp_path):
    path = tmp_path / ("curve." + fmt)
    subprocess.run([BINARY, "run", *HEAT, "--T-sweep", "290:340:0.5", "--format", fmt,
                    "-o", path], check=True, capture_output=True, timeout=120)
    m = chainmelt.Model(n0=2, w=-240, dHcal=2200, Tm=314)
    direct = chainmelt.run("heat", m, T_sweep=(290, 340, 0.5))
    df = chainmelt.read(path)
    assert df.equals(direct)  # every double exact
    assert df.attrs["kind"] == "heat"
    if fmt != "csv":
        assert df.attrs["units"] == direct.attrs["units"]
        assert df.attrs["parameters"] == direct.attrs["parameters"]


def test_read_classic_output_with_the_run_given(cli, tmp_path):
    args = "pa size 1 300 -1000 0 0 0 314 2200 0 0 30 0 0 0 0 1 0 0 290 370 1 T".split()
    assert cli(*args)[0] == 0
    m = chainmelt.Model(n0=1, T=300, w=-1000, Tm=314, dHcal=2200, dH2=30, z=1)
    direct = chainmelt.size(m, T=(290, 370, 1))
    out = tmp_path  # where cli ran
    df = chainmelt.read(out / "output.out", "size", model=m)
    assert list(df.columns) == list(direct.columns) and len(df) == len(direct)
    assert np.allclose(df.to_numpy(float), direct.to_numpy(float), atol=5e-7, equal_nan=True)
    with pytest.raises(ValueError, match="task and n0"):
        chainmelt.read(out / "output.out")


def gaussian(t0=310.3, sigma=2.0, area=1000.0):
    t = np.arange(290, 330.01, 0.5)
    cp = area / (sigma * math.sqrt(2 * math.pi)) * np.exp(-(t - t0) ** 2 / (2 * sigma ** 2))
    return pd.DataFrame({"T": t, "Cp": cp})


def test_peak_of_a_known_curve():
    p = chainmelt.peak(gaussian(), unit="kelvin")
    assert p.refined and abs(p.T_peak - 310.3) < 0.01
    assert abs(p.Cp_max - 1000 / (2 * math.sqrt(2 * math.pi))) < 1
    assert abs(p.fwhm - 2 * math.sqrt(2 * math.log(2)) * 2) < 0.05
    assert abs(p.dH_cal - 1000) < 1e-6
    assert p.dH_vH == pytest.approx(4 * p.T_peak ** 2 * p.Cp_max / p.dH_cal)
    assert p.cooperative_unit == pytest.approx(p.dH_vH / p.dH_cal)
    assert p.dH_cal_molar == pytest.approx(1000 * 2 * 8.314462618)
    assert math.isnan(chainmelt.peak(gaussian()).dH_cal_molar)
    edge = chainmelt.peak(gaussian(t0=290))
    assert not edge.refined and math.isnan(edge.fwhm)
    # Half the peak is outside the curve: no two-state figures from a part of its area.
    assert math.isnan(edge.dH_vH) and math.isnan(edge.cooperative_unit)
    assert "no van 't Hoff enthalpy" in str(edge)


def test_heat_overlay_labels_the_parameter_that_differs(tmp_path):
    m = chainmelt.Model(n0=2, dH=2900, dS=9.3)
    curves = [chainmelt.heat(m.replace(w=w), T=chainmelt.sweep(300, 330, 1)) for w in (-200, -240)]
    fig = chainmelt.plot.heat(curves, unit="K")
    ax, = fig.axes
    assert len(ax.lines) == 2
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["w = -200", "w = -240"]
    assert ax.get_xlabel() == "T (K)" and ax.get_ylabel() == "Cp (k_B per site = one chain)"
    ax.figure.savefig(tmp_path / "heat.png")
    assert (tmp_path / "heat.png").stat().st_size > 1000


def test_phase_coexist_size_plots():
    m = chainmelt.Model(n0=2, w=-300, dHcal=2165, Tm=314, conc=0.21)
    df = chainmelt.phase(m, T=chainmelt.sweep(305, 325, 1), search="classic")
    top, bottom = chainmelt.plot.phase(df).axes
    marks = [l for l in top.lines if l.get_linestyle() == "--"]
    assert len(marks) == 1 and marks[0].get_xdata()[0] == 314.5
    assert top.get_ylabel() == "fluid fraction"
    assert bottom.get_ylabel() == "F (per site = one chain)"
    c = chainmelt.coexist(chainmelt.Model(n0=4, w=-4, dH=30, dS=8, conc=0.1), T=(2.8, 3.2, 0.1))
    ax, = chainmelt.plot.coexist(c).axes
    assert ax.get_ylabel() == "dH (per site = one chain)" and len(ax.lines[0].get_xdata()) == len(c)
    s = chainmelt.size(chainmelt.Model(n0=1, T=300, w=-1000, Tm=314, dHcal=2200, dH2=30, z=1),
                       T=(290, 370, 1))
    panels = chainmelt.plot.size(s).axes
    assert [a.get_ylabel() for a in panels] == ["T_peak", "h_max (per site = one chain)", "width"]


def run_module(*args, cwd):
    env = {"PYTHONPATH": str(BUILD / "python"), "MPLBACKEND": "Agg"}
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True,
                          env=env, timeout=300)


def test_command_line_plot_and_peak(tmp_path):
    files = []
    for w in ("-240", "-260"):
        files.append(tmp_path / ("w%s.tsv" % w))
        subprocess.run([BINARY, "run", *HEAT[:4], "--w", w, *HEAT[6:], "--T-sweep",
                        "300:330:0.5", "-o", files[-1]], check=True, timeout=120)
    p = run_module("-m", "chainmelt", "plot", *files, "-o", "fig.svg", cwd=tmp_path)
    assert p.returncode == 0, p.stderr
    assert "w = -260" in (tmp_path / "fig.svg").read_text()
    p = run_module("-m", "chainmelt", "peak", files[0], "--unit", "kelvin", cwd=tmp_path)
    assert p.returncode == 0 and "dH_cal_molar" in p.stdout
    p = run_module("-m", "chainmelt", "plot", files[0], "-o", "fig.txt", cwd=tmp_path)
    assert p.returncode == 2 and ".png" in p.stderr


def test_example_script_runs(tmp_path):
    p = run_module(ROOT / "examples" / "python" / "dppc.py", "dppc.png", cwd=tmp_path)
    assert p.returncode == 0, p.stderr
    assert (tmp_path / "dppc.png").stat().st_size > 10000
