"""The cheap paths of a run from Python: the settings a Model keeps, the frame made of
blocks, the engine's lines made only for a listener, and the columns a fit reads
without a frame.  Each must give what the plain path gives, to the bit."""

import logging
import pickle

import numpy as np
import pandas as pd
import pytest

import chainmelt
from chainmelt import _fields, _frames, runs

M = chainmelt.Model(n0=2, w=-240, dHcal=2200, Tm=314)
# First order at 314: a diagnostic line, a jump of branch, integer columns.
JUMP = chainmelt.Model(n0=2, w=-400.0, dHcal=2200.0, Tm=314.0)
T = np.array([318.0, 310.0, 314.0, 312.5, 316.0])


def _public(monkeypatch, fn):
    """fn() with frames made by the constructor and column assignment only."""
    with monkeypatch.context() as m:
        m.setattr(_frames, "_build", _frames._public_frame)
        m.setattr(_frames, "_checked", True)
        return fn()


def _identical(a, b):
    pd.testing.assert_frame_equal(a, b, check_exact=True)
    assert list(a.dtypes) == list(b.dtypes) and a.attrs.keys() == b.attrs.keys()
    for j in range(a.shape[1]):
        assert np.array_equal(a.iloc[:, j].to_numpy(), b.iloc[:, j].to_numpy(), equal_nan=True)
        assert np.signbit(a.iloc[:, j].to_numpy(dtype=float)).tolist() == \
            np.signbit(b.iloc[:, j].to_numpy(dtype=float)).tolist()
    for key in ("kind", "task", "parameters", "units"):
        assert a.attrs[key] == b.attrs[key] or key == "parameters"
    pa, pb = a.attrs["parameters"], b.attrs["parameters"]
    assert pa.keys() == pb.keys() and all(
        pa[k] == pb[k] or (pa[k] != pa[k] and pb[k] != pb[k]) for k in pa)


def test_the_block_frame_is_the_public_frame(monkeypatch):
    """Frames of one point, of a list through a latent heat, of a sweep and of the
    classic search: the same columns, dtypes (iter and branch whole numbers), values
    and attributes as the constructor's path."""
    cases = [lambda: chainmelt.heat(M, T=310.0, threads=1),
             lambda: chainmelt.heat(JUMP, T=T, threads=1),
             lambda: chainmelt.phase(JUMP, T=chainmelt.sweep(312, 316, 0.5), threads=1),
             lambda: chainmelt.heat(M, T=[300.0, 320.0], search="classic", threads=1)]
    for case in cases:
        fast = case()
        assert fast["iter"].dtype == np.int64
        assert "branch" not in fast or fast["branch"].dtype == np.int64
        _identical(fast, _public(monkeypatch, case))
    # Frames of their own: a later frame is not a view of an earlier one.
    a, b = cases[0](), cases[0]()
    a.iloc[0, 0] = -1.0
    assert b.iloc[0, 0] == 310.0


def test_block_frames_keep_a_missing_integer_as_a_double_and_empty_frames():
    layout = _frames._Layout((("T", "temperature", False), ("n", "1", True),
                              ("k", "1", True), ("F", "energy", False)))
    rows = np.array([[300.0, 2.0, np.nan, -0.0], [301.0, -3.0, 4.0, 1e300]])
    for r in (rows, rows[:1], rows[:0]):
        whole = layout.integer
        whole = whole[np.isfinite(r[:, whole]).all(axis=0)] if len(r) else whole[:0]
        fast = _frames._block_frame(r, layout, whole)
        assert _frames._same(fast, _frames._public_frame(r, layout, whole))
    doubles = _frames._block_frame(rows, layout, layout.integer[:0])
    assert _frames._same(doubles, _frames._public_frame(rows, layout, layout.integer[:0]))
    assert (doubles.dtypes == np.float64).all()
    assert list(_frames._block_frame(rows, layout, layout.integer[:1]).dtypes) == \
        [np.float64, np.int64, np.float64, np.float64]


def test_a_pandas_whose_blocks_differ_falls_back(monkeypatch):
    monkeypatch.setattr(_frames, "_checked", False)
    monkeypatch.setattr(_frames, "_build", _frames._block_frame)
    monkeypatch.setattr(_frames, "_block_frame",
                        lambda rows, layout, whole: _frames._public_frame(rows * 2, layout,
                                                                          whole))
    df = chainmelt.heat(M, T=310.0, threads=1)
    assert _frames._build is _frames._public_frame and df["T"].iloc[0] == 310.0


def test_the_settings_a_model_keeps(monkeypatch):
    """A Model's settings are made once and are those of its given fields; a changed
    copy has its own; a pickled one makes them again; the run sends the same
    settings as the fields turned to text at the call."""
    assert list(M._settings) == _fields.settings(M.given)
    other = M.replace(w=-250)
    assert dict(other._settings)["w"] == "-250.0" and dict(M._settings)["w"] == "-240.0"
    assert pickle.loads(pickle.dumps(other))._settings == other._settings
    sent = []
    real = chainmelt._core.run

    def spy(pairs, *args, **kwargs):
        sent.append(list(pairs))
        return real(pairs, *args, **kwargs)

    monkeypatch.setattr(chainmelt._core, "run", spy)
    first = chainmelt.heat(M, T=310.0, threads=1)
    changed = chainmelt.heat(other, T=310.0, threads=1)
    assert sent[0] == _fields.settings(dict(M.given, task="heat", threads=1, sweep="T"))
    assert dict(sent[1])["w"] == "-250.0" and first["U"].iloc[0] != changed["U"].iloc[0]
    with pytest.raises(AttributeError):
        M._settings = ()


def test_whole_numbers_as_text():
    """A whole number given for a number field is the text of its double, a huge one
    refused naming the field, as the checks of every number type give it."""
    for k in (0, -240, 2**53, -2**53, 2**53 + 1, 10**20):
        assert _fields.field_text("w", k) == repr(float(k))
    assert _fields.field_text("n0", 2) == "2" and _fields.field_text("threads", 3) == "3"
    with pytest.raises(ValueError, match="w: expected a number within the range") as e:
        _fields.field_text("w", 10**400)
    assert e.value.field == "w"


def test_point_lines_only_for_a_listener(monkeypatch, caplog):
    """The sweep points' progress lines are made for a progress callable or a log
    that takes INFO; the diagnostics come in any case."""
    asked = []
    real = chainmelt._core.run

    def spy(*args, **kwargs):
        asked.append(args[4] if len(args) > 4 else kwargs.get("point_lines", True))
        return real(*args, **kwargs)

    monkeypatch.setattr(chainmelt._core, "run", spy)
    with caplog.at_level(logging.WARNING, logger="chainmelt"):
        chainmelt.heat(JUMP, T=T, threads=1)
    assert asked == [False] and "Task: heat" not in caplog.text
    assert "first-order transition" in caplog.text
    seen = []
    chainmelt.heat(JUMP, T=T, threads=1, progress=seen.append)
    assert asked[-1] is True and sum("Task: heat" in line for line in seen) == len(T)
    caplog.clear()
    with caplog.at_level(logging.INFO, logger="chainmelt"):
        chainmelt.heat(JUMP, T=chainmelt.sweep(313, 315, 1), threads=1)
    assert asked[-1] is True and caplog.text.count("Task: heat") == 3


def test_the_fits_columns_are_the_frames():
    """The columns a fit reads without a frame are those of heat's frame, bit for bit,
    at any thread count and under both searches (so are the latent heat and the test
    of a first-order change the fit's starts take from them); refusals are heat's."""
    edges = np.linspace(305.0, 323.0, 37)
    for model, search in ((JUMP, "equilibrium"), (M, "equilibrium"), (M, "classic")):
        frame = chainmelt.heat(model, T=edges, search=search, threads=2)
        names = [n for n in ("T", "U", "Cp", "branch") if n in frame]
        for threads in (1, None):
            got = runs._heat_columns(model, edges, names, search=search, threads=threads)
            for name, column in zip(names, got):
                assert column.dtype == np.float64 and column.flags.c_contiguous
                assert np.array_equal(column, frame[name].to_numpy(dtype=float)), name
    from chainmelt.dsc.fit import _equilibrium_energy
    U = _equilibrium_energy(dict(JUMP.given), edges)
    assert np.array_equal(U, chainmelt.heat(JUMP, T=edges)["U"].to_numpy())
    from chainmelt.dsc import starts
    for model in (JUMP, M):
        window = chainmelt.heat(model, T=np.linspace(313.0, 315.0, 41))
        jump = np.nan_to_num(window["T_jump"].to_numpy(dtype=float)) != 0
        assert starts.latent_heat(dict(model.given)) == float(np.sum(window["dU"][jump]))
        assert starts._first_order(dict(model.given)) == (window["branch"].nunique() > 1)
    assert starts.latent_heat(dict(JUMP.given)) > 0
    for bad, message in ((dict(JUMP.given, n0=1), "heat with n0 = 1"),
                         (dict(JUMP.given, n0=3), "n0")):
        with pytest.raises(ValueError, match=message):
            _equilibrium_energy(bad, edges)
