"""python3 -m chainmelt fit: the model fitted to a DSC scan."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from typing import Any, TextIO

from ._cli_args import _Parser, _UsageError, error_text
from ._fields import MODEL_FIELDS
from ._output import write_output


def _pair(text):
    try:
        a, b = (float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected T1,T2, got {text!r}") from None
    return a, b


def _bound(text):
    try:
        name, rng = text.split("=", 1)
        lo, hi = (float(v) if v.strip() else math.inf * s
                  for v, s in zip(rng.split(":"), (-1, 1)))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected NAME=LO:HI, got {text!r}") from None
    return name.strip(), (lo, hi)


def _column_arg(text):
    return int(text) if text.lstrip("-").isdigit() else text


def _fit_parser():
    from .dsc.io import CP_UNITS
    p = _Parser(prog="python3 -m chainmelt fit",
                description="Fit the model's equilibrium heat capacity to a DSC scan.")
    p.add_argument("data", nargs="+", help="the scan as exported text (columns T and Cp); "
                   "several files: a global fit")
    p.add_argument("--vary", default="w,dHcal,Tm", help="free parameters (default w,dHcal,Tm)")
    p.add_argument("--T-unit", default="C", choices=["C", "K"],
                   help="temperature unit of the data and of --pre, --post: C (degrees "
                        "Celsius, the default) or K (kelvin)")
    p.add_argument("--Cp-unit", default="kJ/(mol K)", choices=list(CP_UNITS), metavar="UNIT",
                   help="heat-capacity unit of the data, per mole of lipid: %s (default "
                        "kJ/(mol K))" % "; ".join(CP_UNITS))
    p.add_argument("--chains-per-lipid", type=float, default=2.0, metavar="N",
                   help="chains (lattice sites) per lipid (default 2)")
    p.add_argument("--T-col", type=_column_arg, help="temperature column: index or name")
    p.add_argument("--Cp-col", type=_column_arg, help="heat-capacity column: index or name")
    p.add_argument("--sep", help="column separator: , ; tab blank (detected by default)")
    p.add_argument("--decimal", choices=[".", ","], help="decimal mark (detected by default)")
    p.add_argument("--subtract-baseline", "--baseline", dest="baseline",
                   choices=["linear", "sigmoidal"],
                   help="subtract a baseline through --pre and --post before the fit (in "
                        "Python: chainmelt.dsc.subtract_baseline)")
    p.add_argument("--pre", type=_pair, help="pre-transition window T1,T2 (instrument unit)")
    p.add_argument("--post", type=_pair, help="post-transition window T3,T4 (instrument unit)")
    p.add_argument("--fit-baseline", choices=["linear", "sigmoidal"],
                   help="fit a baseline together with the model (in Python: "
                        "chainmelt.dsc.fit(..., fit_baseline=...))")
    p.add_argument("--bound", type=_bound, action="append", default=[],
                   metavar="NAME=LO:HI", help="bounds of a free parameter (repeatable)")
    p.add_argument("--starts", type=int, default=5, help="grid points over w (default 5)")
    p.add_argument("--search", default="equilibrium")
    p.add_argument("-o", "--output", help="write the figure to this file (e.g. fit.png)")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    g = p.add_argument_group("model fields (starting values; Tm, dHcal, w from the data "
                             "when not given)")
    g.add_argument("--n0", type=int, default=2)
    for name in MODEL_FIELDS:
        if name not in ("n0", "T"):
            g.add_argument(f"--{name}", type=float)
    from ._cli_global import add_options
    add_options(p)
    return p


def main_fit(argv: list | None = None, *, engine: Any = None, stdout: TextIO | None = None,
             stderr: TextIO | None = None) -> int:
    """``chainmelt fit``: read, fit, print the report (or JSON), optionally draw the figure.

    Exit status 0 on success, 2 for bad input (one line on stderr), 1 when the fit or the
    engine fails."""
    from .dsc import Units, fit, guess, read, subtract_baseline
    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr
    try:
        a = _fit_parser().parse_args(argv)
    except _UsageError as e:
        print(f"chainmelt fit: {e}", file=stderr)
        return 2
    except SystemExit as e:  # --help
        return int(e.code or 0)
    from ._cli_global import check_options, emit, main_global
    if len(a.data) > 1:
        return main_global(a, engine=engine, stdout=stdout, stderr=stderr)
    a.data = a.data[0]
    try:
        check_options(a)
        if (a.baseline is None) != (a.pre is None or a.post is None) or \
                (a.baseline is None and (a.pre or a.post)):
            raise ValueError("--baseline needs both --pre and --post, and they need --baseline")
        if a.baseline and a.fit_baseline:
            raise ValueError("give --baseline (subtract first) or --fit-baseline, not both")
        if a.output:
            from matplotlib.figure import Figure
            ext = os.path.splitext(a.output)[1].lstrip(".").lower()
            if ext not in Figure().canvas.get_supported_filetypes():
                raise ValueError(f"-o {a.output}: unknown figure format {ext!r}")
            if not os.path.isdir(os.path.dirname(os.path.abspath(a.output))):
                raise ValueError(f"-o {a.output}: no such directory")
        data = read(a.data, T_unit=a.T_unit, Cp_unit=a.Cp_unit,
                    chains_per_lipid=a.chains_per_lipid, T_col=a.T_col, Cp_col=a.Cp_col,
                    sep=a.sep, decimal=a.decimal)
        units = Units.from_attrs(data.attrs)
        if a.baseline:
            data = subtract_baseline(data, units.T_to_model(a.pre), units.T_to_model(a.post),
                                     kind=a.baseline)
        fields = {"n0": a.n0}
        fields.update({n: getattr(a, n) for n in MODEL_FIELDS
                       if n not in ("n0", "T") and getattr(a, n) is not None})
        fields.setdefault("dH", 0.0)
        missing = [n for n in ("Tm", "dHcal", "w") if n not in fields]
        if missing:
            g = guess(data, fit_baseline=a.fit_baseline)
            fields.update({n: g[n] for n in missing})
        bounds = dict(a.bound)
        model: Any
        if engine is None:
            from .runs import Model
            model = Model(**fields)
        else:
            model = fields
    except ValueError as e:
        print(f"chainmelt fit: {e}", file=stderr)
        return 2
    try:
        result = fit(data, model, vary=a.vary, bounds=bounds, search=a.search,
                     starts=a.starts, engine=engine, fit_baseline=a.fit_baseline)
    except ValueError as e:
        print(f"chainmelt fit: {e}", file=stderr)
        return 2
    except (RuntimeError, ArithmeticError) as e:
        print(f"chainmelt fit: the fit failed: {e}", file=stderr)
        return 1
    if a.output:
        try:
            _save_figure(result, a.output)
        except OSError as e:
            print(f"chainmelt fit: -o {error_text(e)}", file=stderr)
            return 1
        except ValueError as e:
            print(f"chainmelt fit: -o {a.output}: {e}", file=stderr)
            return 1
    if a.uncertainty is not None:
        return emit(result, a, stdout, stderr, "chainmelt fit")
    if a.json:
        print(json.dumps(result.to_dict(), indent=2), file=stdout)
    else:
        print(result.report(), end="", file=stdout)
    return 0


def _save_figure(result, path):
    """Draw the fit and write it through a temporary file, so a failure leaves ``path`` alone."""
    from matplotlib.figure import Figure

    from .plot.fit import dsc as plot

    fig = Figure(figsize=(7, 5.5), layout="constrained")
    top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    plot(result, ax=(top, bottom))
    ext = os.path.splitext(path)[1].lstrip(".").lower()
    write_output(path, lambda tmp: fig.savefig(tmp, dpi=150, format=ext))
