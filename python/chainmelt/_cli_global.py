"""python3 -m chainmelt fit with several scans (a global fit), and the uncertainty options
of every fit."""

from __future__ import annotations

import argparse
import os
import textwrap
from typing import Any, TextIO

from ._cli_args import error_text
from ._fields import MODEL_FIELDS
from ._output import write_output


def _per_scan(text):
    try:
        name, values = text.split("=", 1)
        vals = [float(v) for v in values.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected FIELD=V1,V2,..., got {text!r}") from None
    return name.strip(), vals


def add_options(p: Any) -> None:
    """The options of global fits and of the uncertainty methods."""
    g = p.add_argument_group("several scans (a global fit: give more than one file)")
    g.add_argument("--per-scan", type=_per_scan, action="append", default=[],
                   metavar="FIELD=V1,V2,...",
                   help="a model field known for each scan, one value per file in order "
                        "(repeatable); also read from a header line such as '# conc = 0.05'")
    g.add_argument("--per-scan-vary", default="", metavar="FIELDS",
                   help="model fields fitted with a value of their own in each scan "
                        "(the others in --vary are shared)")
    g.add_argument("--threads", type=int, default=None,
                   help="scans evaluated at once in a global fit (default: one per scan, "
                        "up to the number of cores)")
    u = p.add_argument_group("uncertainties")
    u.add_argument("--uncertainty", choices=["covariance", "profile", "bootstrap", "mcmc"],
                   default=None, help="how the intervals are found (default covariance: the "
                                      "standard errors of the fit)")
    u.add_argument("--replicates", type=int, default=200,
                   help="bootstrap replicates (default 200)")
    u.add_argument("--walkers", type=int, default=32, help="MCMC walkers (default 32)")
    u.add_argument("--steps", type=int, default=5000, help="MCMC steps (default 5000)")
    u.add_argument("--seed", type=int, default=0, help="random seed of the bootstrap and MCMC")
    u.add_argument("--corner", metavar="FILE",
                   help="write the corner figure of the bootstrap or MCMC draws")


def _check_figure(path, what):
    from matplotlib.figure import Figure
    ext = os.path.splitext(path)[1].lstrip(".").lower()
    if ext not in Figure().canvas.get_supported_filetypes():
        raise ValueError(f"{what} {path}: unknown figure format {ext!r}")
    if not os.path.isdir(os.path.dirname(os.path.abspath(path))):
        raise ValueError(f"{what} {path}: no such directory")


def check_options(a: Any) -> None:
    """Refusals of the options above that need no data."""
    if a.corner:
        if a.uncertainty not in ("bootstrap", "mcmc"):
            raise ValueError("--corner needs --uncertainty bootstrap or mcmc (the draws)")
        _check_figure(a.corner, "--corner")
    if a.replicates < 10:
        raise ValueError(f"--replicates: expected at least 10, got {a.replicates}")
    if a.threads is not None and a.threads < 1:
        raise ValueError(f"--threads: expected at least 1, got {a.threads}")


def _options(a) -> dict:
    if a.uncertainty == "bootstrap":
        return {"n": a.replicates, "seed": a.seed}
    if a.uncertainty == "mcmc":
        return {"steps": a.steps, "walkers": a.walkers, "seed": a.seed}
    return {}


def emit(result: Any, a: Any, stdout: TextIO, stderr: TextIO, prog: str) -> int:
    """Estimate the uncertainty asked for (for a fit that has none yet), print the report
    or the JSON, write the corner figure.  Returns the exit status."""
    from .dsc import uncertainty as unc
    method = a.uncertainty or "covariance"
    if getattr(result, "uncertainty", None) is None:
        try:
            unc.estimate(result, method, **_options(a))
        except ValueError as e:
            print(f"{prog}: --uncertainty {method}: {e}", file=stderr)
            return 2
        except (RuntimeError, ArithmeticError) as e:
            print(f"{prog}: --uncertainty {method} failed: {e}", file=stderr)
            return 1
    u = result.uncertainty
    if a.corner:
        try:
            fig = unc.corner(result)
            ext = os.path.splitext(a.corner)[1].lstrip(".").lower()
            write_output(a.corner, lambda tmp: fig.savefig(tmp, dpi=120, format=ext))
        except OSError as e:
            print(f"{prog}: --corner {error_text(e)}", file=stderr)
            return 1
    check = getattr(result, "lattice_check", None)
    if a.json:
        d = result.to_dict()
        d["uncertainty"] = u.to_dict()
        if check is not None:
            d["lattice_check"] = {k: (v.tolist() if hasattr(v, "tolist") else v)
                                  for k, v in check.items()}
        import json
        print(json.dumps(d, indent=2), file=stdout)
    else:
        text = result.report()
        if u.report().rstrip("\n") not in text:
            text = text.rstrip("\n") + "\n\n" + u.report()
        if check is not None:
            text = (text.rstrip("\n") + "\n\nCheck against the exact lattice\n"
                    + textwrap.fill(check["text"], 88) + "\n")
        print(text, end="", file=stdout)
    return 0


def main_global(a: Any, engine: Any = None, stdout: TextIO | None = None,
                stderr: TextIO | None = None) -> int:
    """The global fit of the files ``a.data`` with the parsed options ``a`` of
    ``chainmelt fit``.  Exit status 0 on success, 2 for bad input, 1 when the fit or the
    engine fails, 3 when the fit ended without converging."""
    import sys

    from .dsc import fit_global, read
    from .dsc.global_fit import starting_values
    prog = "chainmelt fit"
    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr
    try:
        check_options(a)
        if a.baseline or a.pre or a.post:
            raise ValueError("--baseline (subtracted first) is for one scan; give "
                             "--fit-baseline to fit each scan's baseline with the model")
        if a.output:
            _check_figure(a.output, "-o")
        names = [n for n, _ in a.per_scan]
        if len(set(names)) != len(names):
            raise ValueError("--per-scan: a field is given twice")
        data = [read(path, T_unit=a.T_unit, Cp_unit=a.Cp_unit,
                     chains_per_lipid=a.chains_per_lipid, T_col=a.T_col, Cp_col=a.Cp_col,
                     sep=a.sep, decimal=a.decimal) for path in a.data]
        per_scan = dict(a.per_scan)
        per_vary = [v.strip() for v in a.per_scan_vary.split(",") if v.strip()]
        fields = {"n0": a.n0}
        fields.update({n: getattr(a, n) for n in MODEL_FIELDS
                       if n not in ("n0", "T") and getattr(a, n) is not None})
        fields.setdefault("dH", 0.0)
        missing = [n for n in ("Tm", "dHcal", "w") if n not in fields]
        if missing or any(n in ("Tm", "dHcal", "w") for n in per_vary):
            sv = starting_values(data, fit_baseline=a.fit_baseline)
            fields.update({n: sv["shared"][n] for n in missing})
            for n in per_vary:
                if n in ("Tm", "dHcal", "w") and n not in per_scan and n in missing:
                    per_scan[n] = [g[n] for g in sv["per_scan"]]
        model: Any = fields
        if engine is None:
            from .runs import Model
            model = Model(**fields)
        result = fit_global(data, model, per_scan=per_scan, vary=a.vary,
                            per_scan_vary=per_vary, bounds=dict(a.bound), search=a.search,
                            starts=a.starts, engine=engine, fit_baseline=a.fit_baseline,
                            threads=a.threads)
    except ValueError as e:
        print(f"{prog}: {e}", file=stderr)
        return 2
    except (RuntimeError, ArithmeticError) as e:
        print(f"{prog}: the fit failed: {e}", file=stderr)
        return 1
    if a.output:
        try:
            from .plot.corner import global_fit as draw
            fig = draw(result)
            ext = os.path.splitext(a.output)[1].lstrip(".").lower()
            write_output(a.output, lambda tmp: fig.savefig(tmp, dpi=130, format=ext))
        except OSError as e:
            print(f"{prog}: -o {error_text(e)}", file=stderr)
            return 1
    status = emit(result, a, stdout, stderr, prog)
    if status == 0 and not result.success:
        return 3
    return status
