"""python3 -m chainmelt fit: the model fitted to a DSC scan."""

from __future__ import annotations

import argparse
import math
import os
import sys
import textwrap
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


_OPTION_NAMES = {"T_unit": "--T-unit", "Cp_unit": "--Cp-unit", "molar_mass": "--molar-mass"}


def _starts_arg(text):
    if text == "auto":
        return text
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected auto or a whole number, got {text!r}")
    if n < 1:
        raise argparse.ArgumentTypeError(f"expected auto or a whole number >= 1, got {n}")
    return n


def _domain_arg(text):
    if text in ("auto", "none"):
        return None if text == "none" else text
    try:
        n = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected auto, none or a number of sites, got "
                                         f"{text!r}") from None
    if not (n >= 1 and math.isfinite(n)):
        raise argparse.ArgumentTypeError(f"expected a number of sites >= 1, got {text}")
    return n


def _column_arg(text):
    return int(text) if text.lstrip("-").isdigit() else text


_EPILOG = """\
exit status: 0 the fit succeeded; 3 the fit did not succeed (a systematic misfit,
structured residuals, a parameter at a bound, a standard error that is zero, not finite
or larger than its value, Tm on a data interval's edge, or no convergence): the report,
JSON and figure are still written and name each problem; 2 bad input (one line on
stderr, no files written); 1 the engine or the figure failed.

units: the temperature and heat-capacity units are read from the file's header where it
names them ("Temperature (°C)", "Cp [kcal/(mol K)]", "T/K", or a unit in brackets in
the comment lines above the table); --T-unit or --Cp-unit contradicting the header is
refused. Without either, the defaults are °C and kJ/(mol K), and the report says so."""


def _fit_parser():
    from .dsc.io import CP_UNITS, PER_GRAM_UNITS
    p = _Parser(prog="python3 -m chainmelt fit",
                description="Fit the model's equilibrium heat capacity to a DSC scan.",
                epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("data", nargs="+", help="the scan as exported text (columns T and Cp); "
                   "several files: a global fit")
    p.add_argument("--vary", default="w,dHcal,Tm", help="free parameters (default w,dHcal,Tm)")
    p.add_argument("--T-unit", choices=["C", "K"],
                   help="temperature unit of the data and of --pre, --post: C (degrees "
                        "Celsius) or K (kelvin); default: the header's, else C")
    units = [*CP_UNITS, *PER_GRAM_UNITS]
    p.add_argument("--Cp-unit", choices=units, metavar="UNIT",
                   help="heat-capacity unit of the data, per mole of lipid: %s; or per gram "
                        "with --molar-mass: %s (default: the header's, else kJ/(mol K))"
                        % ("; ".join(CP_UNITS), "; ".join(PER_GRAM_UNITS)))
    p.add_argument("--molar-mass", type=float, metavar="G_PER_MOL",
                   help="molar mass of the lipid (g/mol), for a heat capacity per gram")
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
    p.add_argument("--starts", type=_starts_arg, default="auto",
                   help="auto (default: starting values from the data's peak, area and width, "
                        "on both sides of the critical coupling where the data are sharp) or "
                        "a number of grid points over w")
    p.add_argument("--domain", type=_domain_arg, default="auto", metavar="auto|none|N",
                   help="cooperative domain of N sites rounding a first-order transition: "
                        "auto (default: tried beside the infinite lattice on sharp data, the "
                        "lower AIC kept), none (the infinite lattice) or N (fixed; with "
                        "domain in --vary, its start)")
    p.add_argument("--search", default="equilibrium")
    p.add_argument("-o", "--output", help="write the figure to this file (e.g. fit.png)")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    p.add_argument("--check-lattice", type=int, metavar="L",
                   help="also simulate the exact L x L lattice (n0 = 2; L a multiple of 3) at "
                        "the fitted parameters and compare it with the data and the fit "
                        "(about 10 s at L = 48)")
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

    Exit status 0 when the fit succeeded, 3 when it did not (the report, JSON and figure
    are written all the same and name the problems; one line on stderr), 2 for bad input
    (one line on stderr), 1 when the engine or the figure fails."""
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
        if a.check_lattice is not None and (a.n0 != 2 or a.check_lattice < 6
                                            or a.check_lattice % 3):
            raise ValueError(f"--check-lattice {a.check_lattice}: expected a lattice side that "
                             "is a multiple of 3 from 6 to 3000, with --n0 2 (the exact "
                             "lattice is that of the one-lipid model)")
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
                    sep=a.sep, decimal=a.decimal, molar_mass=a.molar_mass,
                    option_names=_OPTION_NAMES)
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
                     starts=a.starts, engine=engine, fit_baseline=a.fit_baseline,
                     domain=a.domain)
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
    check = None
    if a.check_lattice is not None:
        from .dsc.lattice_check import check_lattice
        print(f"chainmelt fit: simulating the exact lattice, L = {a.check_lattice}",
              file=stderr, flush=True)
        try:
            check = check_lattice(result, L=a.check_lattice)
        except (ValueError, RuntimeError) as e:
            print(f"chainmelt fit: --check-lattice: {e}", file=stderr)
            return 1
        result.lattice_check = check
    if a.uncertainty is not None:
        status = emit(result, a, stdout, stderr, "chainmelt fit")
        if status != 0:
            return status
    elif a.json:
        out = result.to_dict()
        if check is not None:
            out["lattice_check"] = {k: (v.tolist() if hasattr(v, "tolist") else v)
                                    for k, v in check.items()}
        import json
        print(json.dumps(out, indent=2), file=stdout)
    else:
        print(result.report(), end="", file=stdout)
        if check is not None:
            print("\nCheck against the exact lattice\n" + textwrap.fill(check["text"], 88),
                  file=stdout)
    if not result.succeeded:
        codes = ", ".join(dict.fromkeys(p["code"] for p in result.problems))
        print(f"chainmelt fit: the fit did not succeed ({codes}); see the report",
              file=stderr)
        return 3
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
