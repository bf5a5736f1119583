"""python3 -m chainmelt: every command line of the package.

    python3 -m chainmelt plot FILE... -o figure.png   (PNG, SVG or PDF)
    python3 -m chainmelt plot DIR --by w -o scan.png   (a scan's results)
    python3 -m chainmelt peak FILE [--unit kelvin] [--chains-per-lipid 2]
    python3 -m chainmelt scan GRID.toml -o DIR [--scheduler ADDRESS]
    python3 -m chainmelt fit DSC.csv [--fit-baseline linear] [-o fit.png]
"""

from __future__ import annotations

import argparse
import os
import signal
import sys

from ._cli_args import _Parser, _UsageError, _explain, _unknown_arguments  # noqa: F401
from ._cli_args import error_text
from ._cli_fit import _bound, _column_arg, _fit_parser, _pair, _save_figure  # noqa: F401
from ._cli_fit import main_fit
from ._cli_scan import _quiet, _scan, _scan_on_cluster, _scan_parser  # noqa: F401
from ._fields import suggestion
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


# --- the command line ----------------------------------------------------------------


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
