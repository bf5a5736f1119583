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

from ._fields import FIELDS, MODEL_FIELDS, R
from ._core import version as __version__  # noqa: F401  (set once, in CMake)
from .files import MetadataWarning, read, write_csv
from .peak import Peak, peak
from .runs import (FatalError, Model, NonFiniteWarning, coexist, columns, crit, heat, phase, run,
                   run_file, size, ProgressMeter, Sweep, sweep)
from .scan import ScanError, read_scan, scan  # noqa: E402  (chainmelt.scan is the function)
from .dataset import scan_dataset, to_dataset
from . import lattice

__all__ = ["Model", "FatalError", "NonFiniteWarning", "phase", "heat", "coexist", "size",
           "crit", "run", "run_file", "read", "write_csv", "MetadataWarning", "peak", "scan",
           "read_scan", "ScanError", "Peak", "columns", "Sweep", "sweep", "ProgressMeter",
           "plot", "dsc", "FIELDS", "MODEL_FIELDS", "R", "to_dataset",
           "scan_dataset", "lattice"]


def __getattr__(name):
    # matplotlib is imported only when plots are asked for.
    if name in ("plot", "dsc"):
        import importlib
        return importlib.import_module("." + name, __name__)
    raise AttributeError("module 'chainmelt' has no attribute %r" % name)
