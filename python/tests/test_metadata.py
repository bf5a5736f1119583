"""CSV results keep their kind, parameters and units in FILE.csv.meta.json."""

import json
import math

import pytest

import chainmelt

M = chainmelt.Model(n0=2, w=-280, dHcal=2200, Tm=314)


def test_write_csv_round_trips_values_parameters_and_units(tmp_path):
    path = tmp_path / "curve.csv"
    for df in (chainmelt.heat(M, T="300:330:0.5", search="equilibrium"),
               chainmelt.heat(M, T=[300.5, 310])):  # points: NaN sweep parameters
        chainmelt.write_csv(df, path)
        back = chainmelt.read(path)
        assert back.equals(df) and (back.dtypes == df.dtypes).all()
        for key in ("kind", "task", "units"):
            assert back.attrs[key] == df.attrs[key]
        assert back.attrs["parameters"].keys() == df.attrs["parameters"].keys()
        for k, v in df.attrs["parameters"].items():
            w = back.attrs["parameters"][k]
            assert w == v or (math.isnan(v) and math.isnan(w)), k
    meta = json.loads((tmp_path / "curve.csv.meta.json").read_text())
    cp = next(c for c in meta["columns"] if c["name"] == "Cp")
    assert cp["unit"] == "k_B" and cp["meaning"] == "k_B per site (one chain)"
    assert not [p.name for p in tmp_path.iterdir() if p.name.startswith(".")]


def test_metadata_of_other_contents_is_not_used(tmp_path):
    path = tmp_path / "curve.csv"
    chainmelt.write_csv(chainmelt.heat(M, T="300:310:1"), path)
    # The table replaced by another program, the metadata left behind.
    path.write_text(path.read_text().replace("\n300.0,", "\n300.5,", 1))
    with pytest.warns(chainmelt.MetadataWarning, match="checksum"):
        df = chainmelt.read(path)
    assert df.attrs["parameters"] == {} and df.attrs["kind"] == "heat"
    meta = json.loads((tmp_path / "curve.csv.meta.json").read_text())
    del meta["sha256"]  # a writer may give the length only
    (tmp_path / "curve.csv.meta.json").write_text(json.dumps(meta))
    assert chainmelt.read(path).attrs["parameters"]["w"] == -280  # same length: used
    meta["bytes"] += 1
    (tmp_path / "curve.csv.meta.json").write_text(json.dumps(meta))
    with pytest.warns(chainmelt.MetadataWarning, match="bytes"):
        chainmelt.read(path)
    (tmp_path / "curve.csv.meta.json").write_text("{not json")
    with pytest.warns(chainmelt.MetadataWarning, match="not metadata"):
        chainmelt.read(path)
    # Given fields still serve a CSV file without usable metadata.
    (tmp_path / "curve.csv.meta.json").unlink()
    df = chainmelt.read(path, "heat", model=M)
    assert df.attrs["units"]["Cp"] == "k_B"
