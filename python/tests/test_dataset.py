"""Scans and task results as xarray Datasets, and their NetCDF files."""

import math
import os

import numpy as np
import pytest

import chainmelt
from conftest import ENV, pycli

xr = pytest.importorskip("xarray")
pytest.importorskip("netCDF4")
pytest.importorskip("distributed")

GRID_TOML = """task = "heat"
n0 = 2
Tm = 314.0
T-sweep = [300.0, 302.0, 1.0]
[scan]
w = [-250.0, -240.0, -230.0]
dHcal = {min = 2000.0, max = 2300.0, num = 4}
"""


def _assert_matches_tables(ds, records, runs):
    """Every record of every ok run is in the Dataset at its place, and
    nothing else is."""
    names = records.attrs["scan"]
    assert ds.attrs["scanned"] == " ".join(names)
    filled = 0
    for _, run in runs.iterrows():
        at = {n: run[n] for n in names}
        cell = ds.sel(at)
        assert cell["status"].item() == run["status"]
        assert cell["run"].item() == run["run"]
        got = records[records["run"] == run["run"]]
        for _, rec in got.iterrows():
            for c in records.columns[1 + len(names):]:
                if c == "T":
                    continue
                v = cell[c].sel(T=rec["T"]).item()
                if run["status"] == "ok":
                    assert v == rec[c] or (math.isnan(v) and math.isnan(rec[c])), (c, at)
                    filled += 1
                else:
                    assert math.isnan(v), (c, at)
    return filled


def test_a_scan_round_trips_through_netcdf_with_every_value_and_unit(tmp_path):
    (tmp_path / "grid.toml").write_text(GRID_TOML)
    out = tmp_path / "res"
    p = pycli("scan", tmp_path / "grid.toml", "-o", out, "--workers", "2", "--format", "netcdf",
              timeout=180)
    assert p.returncode == 0, p.stderr
    assert "records.nc" in p.stderr
    assert sorted(f for f in os.listdir(out) if f.startswith(".")) == []   # no temporaries

    tables = chainmelt.read_scan(out)
    records, runs = tables
    ds = tables.to_xarray()
    with xr.open_dataset(out / "records.nc") as f:
        back = f.load()
    xr.testing.assert_identical(ds, back)
    xr.testing.assert_identical(chainmelt.scan_dataset(out), back)

    assert dict(back.sizes) == {"w": 3, "dHcal": 4, "T": 3}
    np.testing.assert_array_equal(back["w"], [-250.0, -240.0, -230.0])
    np.testing.assert_array_equal(back["dHcal"], [2000.0, 2100.0, 2200.0, 2300.0])
    assert back["Cp"].dims == ("w", "dHcal", "T")
    # Numbers stay doubles, though the tables write whole ones without ".0".
    assert back["dHcal"].dtype == float and back["T"].dtype == float
    assert back["status"].dims == ("w", "dHcal") and (back["status"] == "ok").all()
    assert _assert_matches_tables(back, records, runs) == 12 * 3 * (len(records.columns) - 4)
    for c, unit in records.attrs["units"].items():
        if unit:
            assert back[c].attrs["units"] == unit, c
    assert back["w"].attrs["units"] == "energy" and back["T"].attrs["units"] == "temperature"
    assert back.attrs["task"] == "heat" and back.attrs["T-sweep"] == "300.0:302.0:1.0"
    assert back.attrs["n0"] == 2 and back.attrs["Tm"] == 314.0
    assert back.attrs["kind"] == records.attrs["kind"]


def test_netcdf_without_xarray_is_refused_before_any_run(tmp_path):
    (tmp_path / "grid.toml").write_text(GRID_TOML)
    (tmp_path / "shadow").mkdir()
    (tmp_path / "shadow" / "xarray.py").write_text("raise ImportError('not here')\n")
    env = dict(ENV, PYTHONPATH=str(tmp_path / "shadow") + os.pathsep + ENV["PYTHONPATH"])
    p = pycli("scan", tmp_path / "grid.toml", "-o", tmp_path / "res", "--format", "netcdf",
              env=env, timeout=60)
    assert p.returncode != 0 and "--format netcdf" in p.stderr and "xarray" in p.stderr
    assert len(p.stderr.strip().splitlines()) == 1, p.stderr
    assert not (tmp_path / "res").exists()


def test_zip_groups_share_a_dimension_and_failed_runs_are_nan(tmp_path):
    # The classic search: conc = 0.9 leaves it no feasible fluid-rich start.
    base = dict(task="phase", n0=2, Tm=314.0, T_sweep=(305.0, 307.0, 1.0), search="classic")
    grid = {"conc": [0.21, 0.9], "w": [-300.0, -280.0, -260.0], "dHcal": [2165.0, 2200.0, 0.0]}
    tables = chainmelt.scan(base, grid, zip=[["w", "dHcal"]], workers=2)
    records, runs = tables
    assert set(runs["status"]) >= {"ok", "fatal"}, runs["status"]
    ds = tables.to_xarray()   # the scan's temporary directory is gone by now
    assert dict(ds.sizes) == {"conc": 2, "w_dHcal": 3, "T": 3}
    np.testing.assert_array_equal(ds["w"], grid["w"])
    np.testing.assert_array_equal(ds["dHcal"], grid["dHcal"])
    assert ds["w"].dims == ("w_dHcal",)
    _assert_matches_tables(ds.set_index(w_dHcal=["w", "dHcal"]), records, runs)
    bad = ds["status"] != "ok"
    assert bad.any() and ds["F"].where(bad).isnull().all()
    assert ds["F"].where(~bad).notnull().any()
    # The failures say why, at their place in the grid.
    assert (ds["message"].where(bad, "x") != "").all()
    chainmelt.dataset.write_netcdf(ds, tmp_path / "zip.nc")
    with xr.open_dataset(tmp_path / "zip.nc") as f:
        xr.testing.assert_identical(ds, f.load())


def test_task_results_as_datasets(tmp_path):
    m = chainmelt.Model(n0=2, w=-240, dHcal=2200, Tm=314)
    df = chainmelt.heat(m, T=(300.0, 304.0, 1.0), threads=1)
    ds = chainmelt.to_dataset(df)
    assert list(ds.dims) == ["T"]
    np.testing.assert_array_equal(ds["T"], df["T"])
    for c in df.columns:
        np.testing.assert_array_equal(ds[c], df[c])
        if df.attrs["units"].get(c):
            assert ds[c].attrs["units"] == df.attrs["units"][c]
    assert ds.attrs["task"] == "heat" and ds.attrs["w"] == -240.0
    chainmelt.dataset.write_netcdf(ds, tmp_path / "heat.nc")
    with xr.open_dataset(tmp_path / "heat.nc") as f:
        xr.testing.assert_identical(ds, f.load())
    # An enthalpy sweep runs along dH.
    dh = chainmelt.to_dataset(chainmelt.heat(m.replace(T=310.0), dH=(1500.0, 1600.0, 50.0),
                                             threads=1, search="equilibrium"))
    assert list(dh.dims) == ["dH"] and dh.sizes["dH"] == 3
    # A scan's records alone lack the runs' statuses: refused, not guessed.
    records = chainmelt.heat(m, T=(300.0, 301.0, 1.0), threads=1)
    records.attrs["scan"] = ["w"]
    with pytest.raises(ValueError, match="runs table"):
        chainmelt.to_dataset(records)
