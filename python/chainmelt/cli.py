"""python3 -m chainmelt: every command line of the package.

    python3 -m chainmelt plot FILE... -o figure.png   (PNG, SVG or PDF)
    python3 -m chainmelt plot DIR --by w -o scan.png   (a scan's results)
    python3 -m chainmelt peak FILE [--unit kelvin] [--chains-per-lipid 2]
    python3 -m chainmelt scan GRID.toml -o DIR [--scheduler ADDRESS]
    python3 -m chainmelt fit DSC.csv [--fit-baseline linear] [-o fit.png]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import signal
import sys
from typing import Any, TextIO

from ._fields import MODEL_FIELDS, suggestion
from ._output import write_output

_FIGURE_SUFFIXES = (".png", ".svg", ".pdf")


def _given(pairs):
    """KEY=VALUE options as the fields of a classic or CSV file's run."""
    out = {}
    for p in pairs or []:
        key, eq, value = p.partition("=")
        if not eq or not key:
            raise ValueError("--set: expected KEY=VALUE, got %r" % p)
        out[key] = value
    return out


def _read_all(args):
    from .files import read
    given = _given(args.set)
    return [read(path, **given) for path in args.files]


def _save(fig, path):
    write_output(path, lambda tmp: fig.savefig(tmp, format=os.path.splitext(path)[1][1:].lower()))


def _plot(args):
    suffix = os.path.splitext(args.output)[1].lower()
    if suffix not in _FIGURE_SUFFIXES:
        raise ValueError("-o: expected a file name ending in .png, .svg or .pdf, got %r"
                         % args.output)
    import matplotlib
    matplotlib.use("Agg")
    if len(args.files) == 1 and os.path.isdir(args.files[0]):
        return _plot_scan(args)
    if args.by or args.map or args.value or args.where or args.log:
        raise ValueError("--by, --map, --value, --where and --log plot a scan's results "
                         "directory")
    from . import plot
    frames = _read_all(args)
    kinds = {f.attrs.get("kind") for f in frames}
    if len(kinds) != 1:
        raise ValueError("plot: expected files of one kind of record, got %s"
                         % ", ".join(sorted(map(str, kinds))))
    kind = kinds.pop()
    if kind not in plot.BY_KIND:
        raise ValueError("plot: no plot for records of kind %r" % kind)
    fig = plot.BY_KIND[kind](frames, unit=args.unit)
    fig.tight_layout()
    _save(fig, args.output)
    return 0


def _plot_scan(args):
    from .plot import scan as plot_scan
    from .scan import read_scan
    if args.set:
        hint = " ".join("--where %s" % p for p in args.set)
        raise ValueError("--set names the fields of the run that wrote a classic or CSV "
                         "file; to select runs of a scan give %s" % hint)
    where = plot_scan.parse_where(args.where)
    records, runs = read_scan(args.files[0])
    if args.map:
        fields = args.map.split(",")
        if len(fields) != 2 or not args.value:
            raise ValueError("--map: expected two scanned fields X,Y and --value, e.g. "
                             "--map w,dHcal --value Cp_max")
        fig = plot_scan.heat_map(records, runs, fields, args.value, unit=args.unit,
                                 where=where, log=args.log)
    else:
        if not args.by:
            raise ValueError("plot of a scan: give --by FIELD (curves) or --map X,Y --value "
                             "V (a heat map)")
        if args.log:
            raise ValueError("--log: the colour scale of --map")
        fig = plot_scan.curves(records, args.by, unit=args.unit, where=where)
    if args.map:
        fig.set_layout_engine("constrained")
    else:
        fig.tight_layout()
    _save(fig, args.output)
    return 0


def _peak(args):
    from .peak import peak
    for df in _read_all(args):
        if len(args.files) > 1:
            print("%s:" % df.attrs.get("source"))
        print(peak(df, chains_per_lipid=args.chains_per_lipid, unit=args.unit))
    return 0


# --- scan ----------------------------------------------------------------------------


def _scan_parser(sub):
    from .scan import EXPORT_FORMATS, MAX_RUNS
    p = sub.add_parser("scan", help="run a parameter scan on Dask (see 'scan --help')",
                       description="Runs a parameter scan described in a TOML file: the base "
                                   "fields at the top level, the scanned ones in [scan].")
    p.add_argument("description", metavar="GRID.toml")
    p.add_argument("-o", "--out", required=True, metavar="DIR",
                   help="results directory (a scan already begun there goes on)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running Dask scheduler, e.g. tcp://HOST:8786")
    where.add_argument("--scheduler-file", metavar="FILE",
                       help="the scheduler file of a running Dask scheduler")
    where.add_argument("--workers", type=int, metavar="N",
                       help="threads of this process that run the scan when no scheduler "
                            "is given (default: every core)")
    p.add_argument("--chunk", type=int, metavar="N",
                   help="runs per chunk sent to a worker (default: chosen from the measured "
                        "run time, about 1 s of work per chunk)")
    p.add_argument("--format", choices=EXPORT_FORMATS, default="tsv",
                   help="also write the records as records.csv, records.jsonl or records.nc "
                        "(netcdf: an xarray Dataset over the scanned fields) when the scan "
                        "ends (records.tsv.gz is always written)")
    p.add_argument("--timeout", type=float, default=30.0, metavar="S",
                   help="seconds to wait for the scheduler and its first worker (default 30)")
    p.add_argument("--max-runs", type=int, default=MAX_RUNS, metavar="N",
                   help="refuse a grid of more runs (default %d)" % MAX_RUNS)
    p.set_defaults(func=_scan)
    return p


def _scan(args):
    from .scan import ScanError, load, open_store
    for name in ("chunk", "workers", "max_runs"):
        value = getattr(args, name)
        if value is not None and value < 1:
            raise ScanError("--%s: expected a positive whole number, got %d"
                            % (name.replace("_", "-"), value))
    if args.format == "netcdf":
        from .dataset import netcdf_missing
        missing = netcdf_missing()
        if missing:
            # Said before the runs, not after them.
            raise ScanError("--format netcdf: needs the Python package %s (Debian: "
                            "python3-xarray python3-netcdf4)" % missing)
    plan = load(args.description, args.max_runs)
    if plan.size >= 100_000:
        print("scan: checking the %d runs of the grid" % plan.size, file=sys.stderr, flush=True)
    store = open_store(plan, args.out)
    try:
        return _scan_on_cluster(args, plan, store)
    finally:
        store.close()


def _quiet():
    """After Ctrl-C: the cluster's shutdown says nothing (the scan says one line)."""
    import logging
    import warnings
    for name in ("distributed", "tornado", "asyncio", "bokeh"):
        logging.getLogger(name).setLevel(logging.CRITICAL + 1)
    warnings.simplefilter("ignore")
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _scan_on_cluster(args, plan, store):
    from .scan import ScanError, close_client, dashboard, export_records, local_client
    from .scan import run_plan
    own = not (args.scheduler or args.scheduler_file)
    try:
        if own:
            # Anything local_client starts ignores Ctrl-C (a worker process
            # would inherit the ignored signal): the scan's own process
            # stops it in order.
            previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
            try:
                client = local_client(args.workers)
            finally:
                signal.signal(signal.SIGINT, previous)
        else:
            from distributed import Client  # only for a scheduler: not imported otherwise
            if args.scheduler:
                client = Client(args.scheduler, timeout=args.timeout)
            else:
                client = Client(scheduler_file=args.scheduler_file, timeout=args.timeout)
    except (OSError, TimeoutError) as e:
        raise ScanError("scan: cannot reach the scheduler %s: %s"
                        % (args.scheduler or args.scheduler_file, e)) from None
    try:
        link = dashboard(client)
        if link:
            print("scan: dashboard at %s" % link, file=sys.stderr)
        outcome = run_plan(plan, store, client, chunk=args.chunk, stream=sys.stderr,
                           wait_workers=args.timeout)
    except KeyboardInterrupt:
        _quiet()
        raise
    finally:
        close_client(client, own)
    failed = sum(v for k, v in outcome.statuses.items() if k != "ok")
    written = export_records(store.directory, args.format)
    if written:
        print("scan: records also in %s" % written, file=sys.stderr)
    print("scan: %d runs, %d done before, %d run now, %s; results in %s"
          % (outcome.total, outcome.skipped, outcome.run,
             ", ".join("%d %s" % (v, k) for k, v in sorted(outcome.statuses.items()))
             or "nothing to do", args.out), file=sys.stderr)
    return 0 if failed == 0 else 1


# --- fit -----------------------------------------------------------------------------


class _UsageError(Exception):
    pass


def _unknown_arguments(parser, extra):
    """The message of arguments a parser does not know: the first unknown
    option with the option it may have meant."""
    options = [o for o in parser._option_string_actions if o.startswith("--")]
    for word in extra:
        if word.startswith("-") and len(word) > 1:
            name = word.partition("=")[0]
            return "unknown option %s%s; see '%s --help'" % (
                name, suggestion(name, options), parser.prog)
    return "unexpected argument%s: %s" % ("s" if len(extra) > 1 else "", " ".join(extra))


def _explain(parser, message):
    """argparse's message, with a suggestion where a word was misspelt."""
    if message.startswith("unrecognized arguments: "):
        return _unknown_arguments(parser, message[len("unrecognized arguments: "):].split())
    if "invalid choice: " in message:
        word = message.split("invalid choice: ", 1)[1].split(" (choose from", 1)[0]
        word = word.strip("'\"")
        choices = [a.choices for a in parser._actions if a.choices]
        for c in choices:
            hint = suggestion(word, c)
            if hint and word not in c:
                return message + hint
    return message


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise _UsageError(_explain(self, message))


_SUBCOMMANDS = ("plot", "peak", "scan", "fit")


class _MainParser(argparse.ArgumentParser):
    """One line for a usage error (exit status 2), with a suggestion where
    an option or subcommand was misspelt."""

    def error(self, message):
        if message.startswith("argument command: invalid choice: "):
            word = message.split("invalid choice: ", 1)[1].split(" (choose from", 1)[0]
            word = word.strip("'\"")
            message = "unknown subcommand '%s'%s; the subcommands are %s" % (
                word, suggestion(word, _SUBCOMMANDS), ", ".join(_SUBCOMMANDS))
            if word in ("run", "runn", "batch", "classic") or word.endswith(".toml"):
                message += " (runs are made by the program itself: chainmelt run FILE.toml)"
        elif message.startswith("the following arguments are required: command"):
            message = "expected a subcommand: %s (see --help)" % ", ".join(_SUBCOMMANDS)
        else:
            message = _explain(self, message)
        print("%s: %s" % (self.prog, message), file=sys.stderr)
        raise SystemExit(2)


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
    p.add_argument("data", help="the scan as exported text (columns T and Cp)")
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
    try:
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


# --- the command line ----------------------------------------------------------------


def _files_args(p):
    p.add_argument("files", nargs="+", metavar="FILE",
                   help="result files: TSV, CSV, JSON Lines or classic output.out")
    p.add_argument("--set", action="append", metavar="KEY=VALUE",
                   help="a field of the run that wrote a classic or CSV file "
                        "(task=heat, n0=2, ...; repeatable)")


def _parser():
    parser = _MainParser(prog="python3 -m chainmelt",
                         description="Plots, analyses, scans and fits with chainmelt.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("plot", help="plot result files into one figure")
    _files_args(p)
    p.add_argument("-o", "--output", required=True, help="figure file (.png, .svg or .pdf)")
    p.add_argument("--unit", help="the run's energy and temperature unit, for the axis labels")
    p.add_argument("--by", metavar="FIELD", help="a scan: one curve per run, coloured by FIELD")
    p.add_argument("--map", metavar="X,Y", help="a scan: a heat map over two scanned fields")
    p.add_argument("--value", metavar="V", help="the number per run of --map: COL_max, "
                   "COL_min, X_at_COL_max (T_at_Cp_max), T_transition")
    p.add_argument("--where", action="append", metavar="FIELD=VALUE",
                   help="a scan: plot only the runs with this value of a scanned field "
                        "(repeatable); the runs that still differ in fields besides those "
                        "plotted get one panel each combination")
    p.add_argument("--log", action="store_true",
                   help="a logarithmic colour scale for --map")
    p.set_defaults(func=_plot)
    _scan_parser(sub)
    p = sub.add_parser("peak", help="peak analysis of heat-capacity curves")
    _files_args(p)
    p.add_argument("--chains-per-lipid", type=float, default=2.0)
    p.add_argument("--unit", choices=["kelvin"],
                   help="energies are energy/R in kelvin: also give J/mol")
    p.set_defaults(func=_peak)
    sub.add_parser("fit", help="fit the model to a DSC curve (see 'fit --help')")
    return parser


def main(argv: list | None = None) -> int:
    """Runs a command line; returns its exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["fit"]:
        return main_fit(argv[1:])
    parser = _parser()
    args, extra = parser.parse_known_args(argv)
    if extra:
        sub = parser._subparsers._group_actions[0].choices[args.command]
        sub.error(_unknown_arguments(sub, extra))
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _stopped)
    try:
        return args.func(args)
    except (KeyboardInterrupt, _Stopped) as e:
        how = "stopped by %s" % e.name if isinstance(e, _Stopped) else "interrupted"
        if args.command == "scan":
            _quiet()
            print("scan: %s; the finished runs are kept in %s, the same command "
                  "goes on from there" % (how, args.out), file=sys.stderr)
        else:
            print("chainmelt: %s" % how, file=sys.stderr)
        return 128 + (e.signum if isinstance(e, _Stopped) else signal.SIGINT)
    except (ValueError, OSError) as e:
        print("chainmelt: %s" % error_text(e), file=sys.stderr)
        return 2


class _Stopped(BaseException):
    """SIGTERM or SIGHUP: ends the command as Ctrl-C does (files closed,
    temporaries removed, the scan's lock released)."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum
        self.name = signal.Signals(signum).name


def _stopped(signum, frame):
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, signal.SIG_IGN)
    raise _Stopped(signum)


def error_text(e: BaseException) -> str:
    """The one-line text of an error: an OSError as ``PATH: reason``,
    without its errno number."""
    if isinstance(e, OSError) and e.strerror:
        where = e.filename if e.filename is not None else None
        return "%s: %s" % (where, e.strerror) if where else e.strerror
    return str(e)
