"""Sweeps of the task functions mean what --T-sweep means; the peak analysis
and the heat plot count and show latent heats."""

import io
import math
import warnings

import numpy as np
import pandas as pd
import pytest

import chainmelt
import chainmelt.plot

M = chainmelt.Model(n0=2, w=-240, dHcal=2200, Tm=314)


def test_a_sweep_visits_min_plus_k_step_end_included():
    df = chainmelt.heat(M, T=chainmelt.sweep(300, 330, 0.1))
    assert len(df) == 301 and df["T"].iloc[-1] == 330.0 and df["T"].iloc[150] == 315.0
    np.testing.assert_array_equal(df["T"], chainmelt.sweep(300, 330, 0.1).values)
    # The same run as the text form and the named form's T_sweep.
    assert df.equals(chainmelt.heat(M, T="300:330:0.1"))
    assert df.equals(chainmelt.run("heat", M, T_sweep=(300, 330, 0.1)))


@pytest.mark.parametrize("T, text", [
    ("300:330:0.7", "divides"),
    (chainmelt.sweep(330, 300, 1), "MIN <= MAX"),
    ("300:330", "MIN:MAX:STEP"),
])
def test_a_sweep_the_command_line_refuses_is_refused_naming_T(T, text):
    with pytest.raises(ValueError, match=text) as e:
        chainmelt.heat(M, T=T)
    assert e.value.field == "T" and str(e.value).startswith("T: ")
    with pytest.raises(ValueError) as e:
        chainmelt.heat(M.replace(T=314), dH="2800:3000:7")
    assert e.value.field == "dH"


def test_a_sequence_is_values_whatever_its_type():
    values = [300.0, 310.0, 320.0]
    frames = [chainmelt.heat(M, T=v) for v in (values, tuple(values), np.array(values),
                                               pd.Series(values))]
    for df in frames:
        assert list(df["T"]) == values and df.equals(frames[0])
    # A list that reads as the former sweep runs its three values, with a hint.
    with pytest.warns(UserWarning, match=r"write T=chainmelt.sweep\(300, 330, 10\)"):
        assert list(chainmelt.heat(M, T=[300, 330, 10])["T"]) == [300, 330, 10]
    # A Sweep serves the named form's T_sweep too.
    assert chainmelt.run("heat", M, T_sweep=chainmelt.sweep(300, 301, 0.5)).equals(
        chainmelt.heat(M, T="300:301:0.5"))


def test_the_former_tuple_sweep_warns_and_means_the_sweep():
    with pytest.warns(DeprecationWarning, match=r"chainmelt.sweep\(300, 330, 0.5\)"):
        old = chainmelt.heat(M, T=(300, 330, 0.5))
    assert old.equals(chainmelt.heat(M, T=chainmelt.sweep(300, 330, 0.5)))
    assert len(old) == 61
    # A task that takes a sweep only: the tuple is that sweep, without a warning.
    m = chainmelt.Model(n0=4, w=-4, dH=30, dS=8, conc=0.1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        c = chainmelt.coexist(m, T=(2.8, 3.0, 0.1))
    assert list(c["T"]) == [2.8, 2.9, 3.0]


def test_sweep_objects():
    s = chainmelt.sweep(1, 2, 0.25)
    assert tuple(s) == (1.0, 2.0, 0.25) and s == chainmelt.Sweep.parse("1:2:0.25")
    assert eval("chainmelt." + repr(s)) == s
    with pytest.raises(ValueError, match="STEP"):
        chainmelt.sweep(1, 2, float("nan"))


# --- latent heats ------------------------------------------------------------------


def step_curve(latent=500.0, cp=2.0, at=10):
    """Constant Cp, one jump of U by latent + cp*dT between points at-1 and at."""
    T = 300 + 0.5 * np.arange(41)
    dU = np.zeros_like(T)
    dU[at] = latent + cp * 0.5
    return pd.DataFrame({"T": T, "Cp": np.full_like(T, cp), "dU": dU})


def test_the_latent_heat_is_counted_and_the_transition_called_first_order():
    p = chainmelt.peak(step_curve(), unit="kelvin")
    assert p.first_order and p.latent_heat == pytest.approx(500)
    assert p.dH_cal == pytest.approx(2.0 * 20.5 + 500)  # 41 intervals of 0.5 K
    assert p.latent_share == pytest.approx(500 / p.dH_cal)
    assert p.T_jump == p.T_peak == 304.75 and p.jumps == ((304.75, pytest.approx(500)),)
    for name in ("fwhm", "dH_vH", "cooperative_unit", "dH_vH_molar"):
        assert math.isnan(getattr(p, name)), name
    text = str(p)
    assert "first order" in text and "no width" in text and "latent_heat_molar" in text
    # Where the record says where the jump lies, that is its temperature.
    with_t = step_curve().assign(T_jump=np.where(step_curve()["dU"] != 0, 304.6, np.nan))
    assert chainmelt.peak(with_t).T_jump == 304.6
    # Without a jump: the two-state figures.
    smooth = chainmelt.peak(step_curve(latent=-1.0))  # dU = 0: no jump
    assert not smooth.first_order and smooth.latent_heat == 0 and math.isnan(smooth.T_jump)
    # A curve as flat as rounding, whose fitted top lies above every point: a width,
    # and no division by zero on the way.
    from chainmelt.peak import analyse
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        flat = analyse(np.linspace(300.0, 303.0, 7), np.array([-3e-14, -1e-14, -9e-15, 0, 0, 0, 0]))
    assert math.isfinite(flat.fwhm)


def test_an_equilibrium_curve_with_a_jump_adds_up_to_the_energy_taken_up():
    m = M.replace(w=-280)
    df = chainmelt.heat(m, T="300:330:0.25", search="equilibrium")
    p = chainmelt.peak(df)
    # The pair model's two phases have equal free energy exactly at Tm.
    assert p.first_order and p.T_jump == pytest.approx(314, abs=1e-6) and p.latent_share > 0.5
    # The area counts half a step beyond each end: U(end) - U(start) plus those.
    # Each point stands for its interval, so the interval holding the jump
    # carries one branch's Cp (about 300 here) over both sides of it: a few
    # parts in a thousand on 0.25 K steps.
    ends = 0.125 * (df["Cp"].iloc[0] + df["Cp"].iloc[-1])
    assert p.dH_cal == pytest.approx(df["U"].iloc[-1] - df["U"].iloc[0] + ends, rel=4e-3)
    fig = chainmelt.plot.heat(df, unit="K")
    ax = fig.axes[0]
    marks = [l for l in ax.lines if l.get_linestyle() == "--"]
    assert len(marks) == 1 and marks[0].get_xdata()[0] == p.T_jump
    assert any(t.get_text().startswith("latent heat %.4g K" % p.latent_heat) for t in ax.texts)


# --- progress ------------------------------------------------------------------------


class _Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_is_a_bar_on_a_terminal_else_a_line_every_few_seconds(capsys):
    lines = []
    df = chainmelt.heat(M, T="300:330:0.25", progress=True)
    assert capsys.readouterr().err == ""  # 121 points in well under 5 s: nothing to say
    chainmelt.heat(M, T="300:330:0.25", progress=lines.append)
    assert len(lines) == len(df) == 121  # a callable still gets every line
    slow = chainmelt.ProgressMeter(3, stream=None, interval=0.0)
    for k in range(3):
        slow("T = %d.000000 Task: heat" % k)
    slow.close()
    err = capsys.readouterr().err.splitlines()
    assert err[0].startswith("chainmelt: 1/3 points done (T = 0.000000)") and len(err) == 4
    tty = _Terminal()
    bar = chainmelt.ProgressMeter(121, stream=tty)
    for k in range(121):
        bar("T = 1 Task: heat")
    bar.close()
    assert bar.bar is not None and "| 0/121 [" in tty.getvalue()  # a bar, redrawn in place
    with pytest.raises(TypeError, match="progress"):
        chainmelt.heat(M, T="300:301:1", progress="yes")
    # A scan's progress: a short scan prints one line, the last.
    from chainmelt.scan.driver import Progress
    stream = io.StringIO()
    scan = Progress(100, 0, stream)
    for _ in range(100):
        scan.update(1, 0)
    assert stream.getvalue().count("\n") == 1 and "100/100 runs done" in stream.getvalue()


def test_peak_of_the_command_lines_equilibrium_file(tmp_path):
    import subprocess
    from conftest import BINARY, BUILD, pycli
    path = tmp_path / "curve.tsv"
    subprocess.run([str(BINARY), "run", "--task", "heat", "--n0", "2", "--Tm", "314", "--dHcal",
                    "2200", "--w", "-280", "--T-sweep", "300:330:0.25", "--search",
                    "equilibrium", "-o", str(path)], check=True, capture_output=True,
                   timeout=120)
    p = pycli("peak", path, "--unit", "kelvin", env={"PYTHONPATH": str(BUILD / "python")})
    assert p.returncode == 0, p.stderr
    t_jump = float(next(l.split()[1] for l in p.stdout.splitlines() if l.startswith("T_jump")))
    assert "first order" in p.stdout and 314 <= t_jump <= 314.25
    assert "cooperative_unit" not in p.stdout and "fwhm" not in p.stdout
