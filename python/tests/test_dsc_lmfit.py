"""DSC fits as lmfit results, and the model curve as an lmfit Model with a baseline."""

import numpy as np
import pytest

from conftest import ROOT

pytest.importorskip("chainmelt._core")
lmfit = pytest.importorskip("lmfit")
import chainmelt  # noqa: E402
from chainmelt import dsc  # noqa: E402

SCAN = ROOT / "examples" / "dsc" / "scan-celsius.csv"


@pytest.fixture(scope="module")
def shipped():
    data = dsc.read(SCAN)
    model = chainmelt.Model(n0=2, w=-200.0, dHcal=2000.0, Tm=313.0)
    return data, model, dsc.fit(data, model, baseline="linear", starts=1)


def test_fit_result_is_an_lmfit_result(shipped):
    data, _, r = shipped
    out = r.lmfit
    assert isinstance(out, lmfit.minimizer.MinimizerResult)
    assert list(out.params) == ["w", "dHcal", "Tm", "b0", "b1"]
    for name, p in r.params.items():
        assert out.params[name].value == p["value"] and out.params[name].stderr == p["stderr"]
    # The bounds the fit held its parameters in.
    assert out.params["Tm"].min == data["T"].iloc[0] and out.params["Tm"].max == data["T"].iloc[-1]
    assert out.params["dHcal"].min == 0.0
    assert out.chisqr == r.chisqr and out.nfree == r.nfree
    report = lmfit.fit_report(out)
    assert "[[Variables]]" in report and "Tm:" in report and "[[Correlations]]" in report
    # The Minimizer that made it: lmfit's confidence intervals work on the pair.
    assert r.minimizer is not None and r.minimizer.result is out


def test_lattice_model_plus_a_baseline_model_fits_as_the_package_does(shipped):
    data, model, r = shipped
    T, y = data["T"].to_numpy(), data["Cp"].to_numpy()
    lattice = dsc.lattice_model(model)
    assert isinstance(lattice, lmfit.Model) and lattice.independent_vars == ["T"]
    # The curve is the package's own, compared with the data in the same way.
    np.testing.assert_array_equal(lattice.eval(lattice.make_params(), T=T),
                                  dsc.model_curve(model, T)["Cp"])
    composite = lattice + lmfit.models.LinearModel()
    params = composite.make_params(slope=0.0, intercept=float(np.mean(y[:10])))
    params["Tm"].set(min=T[0], max=T[-1])
    got = composite.fit(y, params, T=T, x=T, fit_kws={"epsfcn": 1e-10})
    assert isinstance(got, lmfit.model.ModelResult) and got.success
    for name in ("w", "dHcal", "Tm"):
        v, e = got.params[name].value, r.stderr(name)
        # The same minimum, reached from another start and another baseline
        # parametrisation: far inside one standard error.
        assert abs(v - r.value(name)) <= 0.05 * e, (name, v, r.value(name), e)
    assert got.chisqr == pytest.approx(r.chisqr, rel=1e-6)
    assert "lattice" in got.model.name and "dHcal:" in got.fit_report()


def test_lattice_model_refuses_what_cannot_be_fitted():
    m = chainmelt.Model(n0=2, w=-200.0, dHcal=2000.0, Tm=313.0)
    with pytest.raises(ValueError, match="n0"):
        dsc.lattice_model(m, vary=("n0",))
    with pytest.raises(ValueError, match="independent_var"):
        dsc.lattice_model(m, independent_var="w")
    one = dsc.lattice_model(m, vary="w", independent_var="x")
    assert one.param_names == ["w"] and one.independent_vars == ["x"]
