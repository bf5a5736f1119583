"""Python runs give the command line's records to the last printed digit."""

import concurrent.futures
import math

import numpy as np
import pytest

import chainmelt
from conftest import ROOT

CLASSIC = ["approx", "task", "n0", "T", "w", "w2", "dH", "dS", "Tm", "dHcal", "e2", "w3",
           "dH2", "dS2", "zsave", "conc", "conc2", "z", "nu", "mode", "T_min", "T_max", "dT",
           "sweep"]
M = chainmelt.Model(n0=2, w=-240, dHcal=2200, Tm=314)
SIZE_HEADER = "# nu, z, cmax, T, Theta, p, fret, iter, c1/2, T, Theta, p, fret, iter, dT1/2 \n"


def example(name):
    for line in (ROOT / "examples" / (name + ".args")).read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            return line.split()
    raise AssertionError(name)


# Every task and every variant, beyond the shipped examples.
CASES = {name: example(name) for name in
         ("phase-n2", "coexist-n4", "heat-n2", "heat-n8", "size-n1", "crit-n2")}
CASES.update({k: v.split() for k, v in {
    "phase-n1": "pa phase 1 314 -300 0 0 0 314 2165 0 0 0 0 0 0.21 0 0 0 0 305 325 1 T",
    "phase-n4": "pa phase 4 3 -4 0.5 30 8 0 0 1 0.5 0 0 0 0.1 0 0 0 0 3.4 4 0.1 T",
    "phase-n5": "pa phase 5 3 -4 0.5 30 8 0 0 1 0.5 0 0 0 0.6 0 0 0 0 3.4 4 0.1 T",
    "phase-n8": "pa phase 8 314 -240 0 0 0 314 2200 0 0 200 0.5 0 0.5 0.3 0 0 0 300 330 2 T",
    "heat-n1": "pa heat 1 300 -1000 0 0 0 314 2200 0 0 30 0 0 0 0 1 2 0 300 330 0.5 T",
    "heat-n4": "pa heat 4 3 -4 0.5 30 8 0 0 1 0.5 0 0 0 0.1 0 0 0 0 3 5 0.05 T",
    "heat-n5": "pa heat 5 3 -4 0.5 30 8 0 0 1 0.5 0 0 0 0.6 0 0 0 0 3 5 0.05 T",
    "heat-H": "pa heat 2 314 -240 0 2900 7 0 0 0 0 0 0 0 0 0 0 0 0 2800 3000 10 H",
    "phase-alt": "pa phase 2 314 -240 0 0 0 314 2200 0 0 100 0.3 0 0.3 0.2 0 0 42.1 300 320 2 T",
}.items()})


def classic_text(df):
    """The records of a DataFrame as the classic output prints them."""
    integer = [c for c in df.columns if df.attrs["units"][c] == "1" and c.startswith("iter")]
    out = []
    for _, row in df.iterrows():
        fields = []
        for c in df.columns:
            v = row[c]
            if isinstance(v, float) and math.isnan(v):
                break
            fields.append("%i " % v if c in integer else "%f " % v)
        complete = len(fields) == len(df.columns)
        out.append("".join(fields) + "\n")
        if df.attrs["kind"] == "size" and complete:
            out.append(SIZE_HEADER)
    return "".join(out)


@pytest.mark.parametrize("name", sorted(CASES))
def test_every_task_and_variant_equals_the_command_line(name, cli):
    args = CASES[name]
    assert len(args) == 24
    status, text, err = cli(*args)
    fields = dict(zip(CLASSIC, args))
    try:
        df = chainmelt.run(**fields, search="classic")
    except chainmelt.FatalError as e:
        assert status == 1, err
        df = e.partial
    else:
        assert status == 0, err
    assert text, "the case writes no record"
    assert classic_text(df) == text


def test_task_functions_are_run_with_the_model():
    df = chainmelt.heat(M, T=chainmelt.sweep(290, 300, 0.5))
    same = chainmelt.run("heat", M, T_min=290, T_max=300, dT=0.5, sweep="T")
    assert df.equals(same)
    assert df.attrs["parameters"]["dH"] == 2200 + 3 * 240
    assert df.attrs["units"]["Cp"] == "k_B" and df["iter"].dtype.kind == "i"
    h = chainmelt.heat(M.replace(T=314), dH=chainmelt.sweep(2800, 3000, 10))
    assert list(h.columns[:2]) == ["dH", "Cp"]


def test_points_are_one_point_sweeps(cli):
    df = chainmelt.heat(M, T=[314, 290.5], search="classic")
    status, text, _ = cli(*"pa heat 2 0 -240 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 314 314 1 T".split())
    assert status == 0 and classic_text(df.iloc[:1]) == text
    assert list(df["T"]) == [314, 290.5]
    with pytest.raises(ValueError, match="three consecutive"):
        chainmelt.heat(chainmelt.Model(n0=1, w=-1000, dHcal=2200, Tm=314), T=[300],
                       search="classic")
    with pytest.raises(TypeError):
        chainmelt.coexist(M, T=[300, 301])


def test_a_list_of_values_is_one_engine_call(monkeypatch):
    """Under the equilibrium search the list is one curve along the sorted
    values, its records in the order given and equal to the points of a sweep
    through them; under the classic search every value is the one-point run it
    would be alone (fresh starts), bit for bit."""
    calls = []
    real = chainmelt._core.run

    def counted(*args, **kwargs):
        calls.append(args)
        return real(*args, **kwargs)

    monkeypatch.setattr(chainmelt._core, "run", counted)
    T = np.array([320.0, 300.0, 314.0, 310.0, 300.0])
    curve = chainmelt.heat(M, T=T, search="equilibrium")
    assert len(calls) == 1 and list(curve["T"]) == list(T)
    sweep = chainmelt.heat(M, T=chainmelt.sweep(300, 320, 2), search="equilibrium").set_index("T")
    for name in ("U", "Cp", "F"):
        if name in curve:
            assert np.allclose(curve[name], sweep.loc[T, name], rtol=1e-9, atol=1e-12), name
    # A repeated value: the same state (the search's iteration count aside).
    assert curve.iloc[1].drop("iter").equals(curve.iloc[4].drop("iter"))

    calls.clear()
    listed = chainmelt.heat(M, T=[314.0, 290.5, 333.0], search="classic")
    assert len(calls) == 1
    monkeypatch.setattr(chainmelt._core, "run", real)
    for k, t in enumerate([314.0, 290.5, 333.0]):
        alone = chainmelt.heat(M, T=[t], search="classic", threads=3)
        assert listed.iloc[k].equals(alone.iloc[0]), t


N1 = chainmelt.Model(n0=1, dH=3)


@pytest.mark.parametrize("call, field, text", [
    (lambda: chainmelt.Model(n0=3), "n0", "model variants"),
    (lambda: chainmelt.Model(n0=2, w="abc"), "w", "a number"),
    (lambda: chainmelt.Model(n0=2, w=float("inf")), "w", "finite"),
    (lambda: chainmelt.Model(n0=2, dHcal=2200), "Tm", "non-zero"),
    (lambda: chainmelt.Model(n0=4, dH=3, mode=42.1), "mode", "42.1"),
    (lambda: chainmelt.crit(N1, T=(300, 300, 1)), "n0", ""),
    (lambda: chainmelt.heat(N1, T=chainmelt.sweep(300, 290, 1)), "T", "^T: expected MIN <= MAX"),
    (lambda: chainmelt.heat(N1, T=chainmelt.sweep(300, 310, 1), search="fastest"), "search", ""),
    # Values refused before anything runs, under either search.
    (lambda: chainmelt.heat(M, T=[300.0, -1.0], search="equilibrium"), "T", ""),
    (lambda: chainmelt.heat(M, T=[300.0, -1.0], search="classic"), "T", ""),
    # A model may be made without the fraction its variant needs (a fit sets it per
    # scan); a run of it is refused.
    (lambda: chainmelt.heat(chainmelt.Model(n0=4, w=-240, Tm=314, dHcal=2200), T=[300.0]),
     "conc", "0 < conc < 1 for n0 = 4"),
])
def test_refusals_name_the_field(call, field, text):
    with pytest.raises(ValueError, match=text) as e:
        call()
    # A sweep's refusal may name the end it is about (T_min, T_max).
    assert e.value.field.startswith(field) and str(e.value).startswith(e.value.field + ":")


def test_replace_derives_again():
    assert M.replace(w=-250).dH == 2200 + 750
    assert M.replace(dH=3000, dS=9).fields["dS"] == 9
    assert "derived: dH=2920.0" in repr(M)


def test_fatal_error_carries_the_records_before_it(cli):
    args = "pa heat 5 0 -4 1 30 8 0 0 1 1 0 0 0 0.3 0 0 0 0 1.8 2.5 0.05 T".split()
    status, text, err = cli(*args)
    m = chainmelt.Model(n0=5, w=-4, w2=1, dH=30, dS=8, e2=1, w3=1, conc=0.3)
    with pytest.raises(chainmelt.FatalError) as e:
        chainmelt.heat(m, T=chainmelt.sweep(1.8, 2.5, 0.05), search="classic")
    assert status == 1 and e.value.message in err
    assert len(e.value.partial) == 2 and classic_text(e.value.partial) == text


def test_concurrent_calls_equal_sequential_ones():
    models = [chainmelt.Model(n0=2, w=w, dHcal=2200, Tm=314) for w in (-200, -220, -240, -260)]
    def curve(m):
        return chainmelt.heat(m, T=chainmelt.sweep(290, 340, 0.25))
    sequential = [curve(m) for m in models]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        concurrent_ = list(pool.map(curve, models * 2))
    for a, b in zip(sequential * 2, concurrent_):
        assert a.equals(b)


def test_progress_and_diagnostics(caplog):
    lines = []
    m = chainmelt.Model(n0=4, w=-4, dH=30, dS=8, conc=0.1)
    with caplog.at_level("INFO", logger="chainmelt"):
        chainmelt.coexist(m, T=(2.8, 3.0, 0.1), progress=lines.append)
    assert lines[0] == "T = 2.800000 Task: coexist"
    assert [r.getMessage() for r in caplog.records if r.levelname == "INFO"] == lines
