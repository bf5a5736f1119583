"""chainmelt: the chain-melting transition of lipid membranes from Python.

The same engine as the command line, called directly::

    import chainmelt
    m = chainmelt.Model(n0=2, w=-240, dHcal=2200, Tm=314)
    df = chainmelt.heat(m, T=chainmelt.sweep(290, 340, 0.5))  # 290 ... 340 K
    chainmelt.peak(df)                               # peak, width, enthalpies
    chainmelt.plot.heat(df).savefig("heat.png")

Tasks: :func:`phase`, :func:`heat`, :func:`coexist`, :func:`size`,
:func:`crit` (or ``run(task, **fields)`` and ``run_file(path,
**overrides)``); a sweep is ``sweep(min, max, step)`` or ``"min:max:step"``
(min + k*step, max included), a sequence of any type a list of values.
:func:`read` reads every output format of the command line;
:func:`write_csv` writes a CSV file with its metadata beside it.  Every plot
function returns its matplotlib Figure.  Progress and diagnostics are
records of the logger ``"chainmelt"`` (``progress=True`` shows the
progress).  :func:`to_dataset` and :func:`scan_dataset` (or
``read_scan(dir).to_xarray()``) give xarray Datasets.
``heat(..., method="montecarlo")`` and ``phase(...)`` simulate the exact
lattice (n0 = 2) instead of the pair approximation;
``lattice.snapshot(model, T, L)`` is one of its configurations and
``plot.lattice`` draws it.
"""

import importlib
import sys
import types
from typing import TYPE_CHECKING, Any

from ._core import version as __version__  # noqa: F401  (set once, in CMake)
from ._fields import FIELDS, MODEL_FIELDS, R

if TYPE_CHECKING:
    from . import dsc, lattice, plot
    from .dataset import scan_dataset, to_dataset
    from .files import MetadataWarning, read, write_csv
    from .peak import Peak, peak
    from .runs import (FatalError, Model, NonFiniteWarning, ProgressMeter, Sweep, coexist,
                       columns, crit, heat, phase, run, run_file, size, sweep)
    from .scan import ScanError, read_scan, scan

__all__ = ["Model", "FatalError", "NonFiniteWarning", "phase", "heat", "coexist", "size",
           "crit", "run", "run_file", "read", "write_csv", "MetadataWarning", "peak", "scan",
           "read_scan", "ScanError", "Peak", "columns", "Sweep", "sweep", "ProgressMeter",
           "plot", "dsc", "FIELDS", "MODEL_FIELDS", "R", "to_dataset",
           "scan_dataset", "lattice"]

# The public names are imported when first used: `import chainmelt`, and the
# command line's scan, load neither numpy nor pandas (nor matplotlib).
# name -> (module, attribute; None for the module itself).
_LAZY: dict = {name: ("runs", name) for name in (
    "Model", "FatalError", "NonFiniteWarning", "phase", "heat", "coexist", "size", "crit",
    "run", "run_file", "columns", "Sweep", "sweep", "ProgressMeter")}
_LAZY.update({name: ("files", name) for name in ("read", "write_csv", "MetadataWarning")})
_LAZY.update({name: ("scan", name) for name in ("scan", "read_scan", "ScanError")})
_LAZY.update({name: ("dataset", name) for name in ("to_dataset", "scan_dataset")})
_LAZY.update({"peak": ("peak", "peak"), "Peak": ("peak", "Peak"),
              "lattice": ("lattice", None), "plot": ("plot", None), "dsc": ("dsc", None)})

# chainmelt.peak and chainmelt.scan are functions named as the modules that
# hold them: importing such a module must not put it in the function's place.
_FUNCTIONS_NAMED_AS_MODULES = ("peak", "scan")


class _Package(types.ModuleType):
    def __setattr__(self, name: str, value: Any) -> None:
        if name in _FUNCTIONS_NAMED_AS_MODULES and isinstance(value, types.ModuleType):
            return
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package


def __getattr__(name: str) -> Any:
    where = _LAZY.get(name)
    if where is None:
        if name.startswith("__"):
            raise AttributeError("module 'chainmelt' has no attribute %r" % name)
        # A module of the package not yet imported (chainmelt.runs, ...).
        try:
            return importlib.import_module("." + name, __name__)
        except ModuleNotFoundError as e:
            if e.name != "%s.%s" % (__name__, name):
                raise
            raise AttributeError("module 'chainmelt' has no attribute %r" % name) from None
    module, attribute = where
    value = importlib.import_module("." + module, __name__)
    if attribute is not None:
        value = getattr(value, attribute)
        globals()[name] = value
    return value


def __dir__() -> list:
    return sorted(set(globals()) | set(__all__))
