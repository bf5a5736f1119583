"""Plots of a scan over more fields than are plotted: panels, --where,
legends and labels with units, a log colour scale."""

import itertools

import numpy as np
import pandas as pd
import pytest

from chainmelt.plot import scan as plot_scan


def scan_records(tm_values=(310.0, 314.0)):
    """The records of a heat scan over w, dHcal and Tm (three points each)."""
    rows, runs = [], []
    combos = itertools.product((-250.0, -230.0), (2100.0, 2200.0, 2300.0), tm_values)
    for run, (w, dhcal, tm) in enumerate(combos, start=1):
        runs.append((run, w, dhcal, tm))
        for T in (tm - 1, tm, tm + 1):
            rows.append((run, w, dhcal, tm, T, dhcal / 100 - w / 100 * (T == tm)))
    records = pd.DataFrame(rows, columns=["run", "w", "dHcal", "Tm", "T", "Cp"])
    records.attrs.update(kind="heat", scan=["w", "dHcal", "Tm"],
                         units={"w": "", "dHcal": "", "Tm": "", "T": "temperature",
                                "Cp": "k_B"})
    runs = pd.DataFrame(runs, columns=["run", "w", "dHcal", "Tm"])
    return records, runs


def test_a_third_scanned_field_gets_one_panel_per_value():
    records, runs = scan_records()
    fig = plot_scan.heat_map(records, runs, ("w", "dHcal"), "Cp_max", unit="K")
    panels = [a for a in fig.axes if a.get_title()]
    assert [a.get_title() for a in panels] == ["Tm = 310", "Tm = 314"]
    assert panels[0].get_xlabel() == "w (K)" and panels[0].get_ylabel() == "dHcal (K)"
    bar = [a for a in fig.axes if not a.get_title()][0]
    assert bar.get_ylabel() == "Cp_max (k_B per site = one chain)"
    # Each panel holds its own runs' values.
    for a, tm in zip(panels, (310.0, 314.0)):
        sub = records[records["Tm"] == tm]
        assert np.nanmax(a.collections[0].get_array()) == sub["Cp"].max()


def test_where_selects_runs_and_the_legend_names_what_differs():
    records, runs = scan_records()
    fig = plot_scan.curves(records, "w", where={"Tm": 314, "dHcal": 2200})
    ax, = fig.axes
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["w = -250", "w = -230"]
    assert len(ax.lines) == 2 and ax.get_xlabel() == "T"
    # Curves by w in panels of (dHcal, Tm).
    fig = plot_scan.curves(records, "w", unit="K")
    assert len(fig.axes) == 6 and fig.axes[0].get_title() == "dHcal = 2100, Tm = 310"
    assert fig.axes[0].get_xlabel() == "T (K)"
    with pytest.raises(ValueError, match=r"--where dHcal=2250: no run has that value \(the "
                                         r"scan's values of dHcal are 2100, 2200, 2300\)"):
        plot_scan.curves(records, "w", where={"dHcal": 2250})
    with pytest.raises(ValueError, match="'nu' is not a scanned field"):
        plot_scan.select(records, {"nu": 1})
    assert plot_scan.parse_where(["Tm=314", "w=-2.5e2"]) == {"Tm": 314.0, "w": -250.0}
    with pytest.raises(ValueError, match="FIELD=VALUE"):
        plot_scan.parse_where(["Tm"])


def test_too_many_panels_are_refused_naming_where():
    records, runs = scan_records(tm_values=tuple(300.0 + i for i in range(13)))
    with pytest.raises(ValueError, match=r"--map w,dHcal: the runs also differ in Tm \(13 "
                                         r"values: .*--where Tm=300"):
        plot_scan.heat_map(records, runs, ("w", "dHcal"), "Cp_max")
    fig = plot_scan.heat_map(records, runs, ("w", "dHcal"), "Cp_max", where={"Tm": 305})
    assert len(fig.axes) == 2  # the map and its colour bar


def test_log_colour_scale():
    records, runs = scan_records()
    fig = plot_scan.heat_map(records, runs, ("w", "Tm"), "Cp_max", log=True,
                             where={"dHcal": 2100})
    from matplotlib.colors import LogNorm
    assert isinstance(fig.axes[0].collections[0].norm, LogNorm)
    records["Cp"] -= 30
    with pytest.raises(ValueError, match="--log: Cp_max has values that are not positive"):
        plot_scan.heat_map(records, runs, ("w", "Tm"), "Cp_max", log=True)
