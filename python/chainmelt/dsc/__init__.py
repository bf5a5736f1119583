"""Compare the model with differential scanning calorimetry (DSC).

Read a scan (:func:`read`), take off the instrument baseline (:func:`subtract_baseline`,
or fit it together with the model), fit the model's equilibrium heat-capacity curve
(:func:`fit`) and show the result (``chainmelt.plot.dsc``).

How the model is compared with the data
---------------------------------------
The data are heat capacities at temperatures T_1 < ... < T_n.  The model is compared as
the mean excess heat capacity over the interval each data point stands for,

    Cp_i = [U(T_{i+1/2}) - U(T_{i-1/2})] / (T_{i+1/2} - T_{i-1/2}),

with U the equilibrium energy per site and T_{i+1/2} the mid-points between data
temperatures (the two outer edges half a step beyond the first and last point).  For a
smooth curve this is the heat capacity at T_i to within (step)^2 Cp''/24.  When the
transition is first order, the latent heat of the jump lands entirely in the interval
that contains it, as a calorimeter scanning through that interval would record it, and
the enthalpy integrated under the model curve is exactly U(end) - U(start).

A first-order transition whose latent heat the scan shows rounded is fitted with a
finite cooperative domain (:mod:`chainmelt.dsc.domain`); the fit's starting values come
from the data (:mod:`chainmelt.dsc.starts`).
"""

from typing import Any

from .._fields import R
from .baseline import subtract_baseline
from .diagnose import diagnose, noise_level, runs_test
from .domain import domain_energy
from .fit import fit, guess, lattice_model, model_curve
from .io import CP_UNITS, UnitConflict, Units, header_units, read, to_instrument, units_of
from .lattice_check import check_lattice
from .result import FitResult
from .starts import critical_coupling
from .twostate import fit_two_state

__all__ = ["read", "to_instrument", "Units", "subtract_baseline", "model_curve", "guess",
           "fit", "lattice_model", "FitResult", "main_fit", "R", "CP_UNITS", "units_of",
           "critical_coupling", "domain_energy", "UnitConflict", "header_units",
           "fit_two_state", "diagnose", "noise_level", "runs_test", "check_lattice"]


def main_fit(argv: list | None = None, *, engine: Any = None, stdout: Any = None,
             stderr: Any = None) -> int:
    """``python3 -m chainmelt fit``: see :func:`chainmelt.cli.main_fit`."""
    from ..cli import main_fit as run
    return run(argv, engine=engine, stdout=stdout, stderr=stderr)


from .global_fit import GlobalFitResult, fit_global, header_fields  # noqa: E402

__all__ += ["fit_global", "GlobalFitResult", "header_fields"]
