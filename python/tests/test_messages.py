"""Usage errors of python3 -m chainmelt: one line, exit status 2, the
misspelt word named with what it may have meant."""

import pytest

from chainmelt import cli


@pytest.mark.parametrize("argv, expected", [
    (["plott", "x.tsv"], "unknown subcommand 'plott' (did you mean plot?); the subcommands "
                         "are plot, peak, scan, fit"),
    (["runn", "x.toml"], "unknown subcommand 'runn'; the subcommands are plot, peak, scan, "
                         "fit (runs are made by the program itself: chainmelt run FILE.toml)"),
    ([], "expected a subcommand: plot, peak, scan, fit"),
    (["plot", "d", "-o", "x.png", "--byy", "w"], "unknown option --byy (did you mean --by?)"),
    (["peak", "x.tsv", "--Chains-Per-Lipid", "2"],
     "unknown option --Chains-Per-Lipid (did you mean --chains-per-lipid?)"),
    (["peak", "x.tsv", "--unit", "kelvn"], "(did you mean kelvin?)"),
    (["plot", "x.tsv", "-o", "x.png", "extra"], "unexpected argument: extra"),
    (["fit", "x.csv", "--dHCal", "2200"], "unknown option --dHCal (did you mean --dHcal?)"),
    (["fit", "x.csv", "--Cp-units", "J/(mol K)"], "(did you mean --Cp-unit?)"),
    (["fit", "x.csv", "--xyzzy", "1"], "unknown option --xyzzy; see"),
])
def test_usage_errors_name_the_word_and_suggest(argv, expected, capsys):
    try:
        status = cli.main(argv)
    except SystemExit as e:
        status = e.code
    err = capsys.readouterr().err
    assert status == 2 and expected in err and err.count("\n") == 1, err


def test_file_errors_give_the_reason(tmp_path, capsys):
    assert cli.main(["peak", str(tmp_path / "nosuch.tsv")]) == 2
    assert "nosuch.tsv: No such file or directory" in capsys.readouterr().err
    assert cli.main(["fit", str(tmp_path / "nosuch.csv")]) == 2
    assert "nosuch.csv: cannot read: No such file or directory" in capsys.readouterr().err


def test_fit_help_lists_the_units_legibly(capsys):
    with pytest.raises(SystemExit):
        cli._fit_parser().parse_args(["--help"])
    out = " ".join(capsys.readouterr().out.split())
    assert ("J/(mol K); kJ/(mol K); cal/(mol K); kcal/(mol K); or per gram with "
            "--molar-mass: J/(g K); kJ/(g K); cal/(g K); kcal/(g K) (default: the header's, "
            "else kJ/(mol K))") in out
    assert "C (degrees Celsius) or K (kelvin); default: the header's, else C" in out


def test_misspelt_fields_in_python_get_a_suggestion():
    import chainmelt
    with pytest.raises(TypeError, match=r"unknown field\(s\): dHCal \(did you mean dHcal\?\)"):
        chainmelt.run("heat", n0=2, dHCal=2200, Tm=314, T_sweep="300:301:1")
    with pytest.raises(TypeError, match=r"Tsweep \(did you mean T_sweep\?\)"):
        chainmelt.run("heat", n0=2, Tsweep="300:301:1")
    m = chainmelt.Model(n0=2, w=-240, dHcal=2200, Tm=314)
    with pytest.raises(TypeError, match=r"ww \(did you mean w\?\)|ww \(did you mean w2\?\)"):
        m.replace(ww=-200)
    with pytest.raises(TypeError, match=r"Model: unknown field\(s\): dHCal \(did you mean "
                                        r"dHcal\?\)"):
        chainmelt.Model(n0=2, dHCal=2200, Tm=314)
    import inspect
    import pickle
    assert inspect.signature(chainmelt.Model).parameters["dHcal"].default == 0
    assert pickle.loads(pickle.dumps(m)) == m


def test_python_file_errors_give_the_reason(tmp_path):
    import chainmelt
    with pytest.raises(FileNotFoundError, match="cannot read the parameter file: No such file"):
        chainmelt.run_file(tmp_path / "nosuch.toml")
    (tmp_path / "empty.tsv").write_text("")
    with pytest.raises(ValueError, match="empty.tsv: the file is empty"):
        chainmelt.read(tmp_path / "empty.tsv")
