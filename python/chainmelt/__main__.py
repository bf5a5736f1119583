"""python3 -m chainmelt: plots and peak analysis of result files.

    python3 -m chainmelt plot FILE... -o figure.png   (PNG, SVG or PDF)
    python3 -m chainmelt peak FILE [--unit kelvin] [--chains-per-lipid 2]
    python3 -m chainmelt scan GRID.toml -o DIR [--scheduler ADDRESS]
    python3 -m chainmelt plot DIR --by w -o scan.png   (a scan's results)
"""

import argparse
import os
import sys

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


def _plot(args):
    suffix = os.path.splitext(args.output)[1].lower()
    if suffix not in _FIGURE_SUFFIXES:
        raise ValueError("-o: expected a file name ending in .png, .svg or .pdf, got %r"
                         % args.output)
    import matplotlib
    matplotlib.use("Agg")
    if len(args.files) == 1 and os.path.isdir(args.files[0]):
        return _plot_scan(args)
    if args.by or args.map or args.value:
        raise ValueError("--by, --map and --value plot a scan's results directory")
    from . import plot
    frames = _read_all(args)
    kinds = {f.attrs.get("kind") for f in frames}
    if len(kinds) != 1:
        raise ValueError("plot: expected files of one kind of record, got %s"
                         % ", ".join(sorted(map(str, kinds))))
    kind = kinds.pop()
    if kind not in plot.BY_KIND:
        raise ValueError("plot: no plot for records of kind %r" % kind)
    ax = plot.BY_KIND[kind](frames, unit=args.unit)
    fig = (ax[0] if isinstance(ax, list) else ax).figure
    fig.tight_layout()
    fig.savefig(args.output)
    return 0


def _plot_scan(args):
    from . import plot_scan
    from .scan import read_scan
    records, runs = read_scan(args.files[0])
    if args.map:
        fields = args.map.split(",")
        if len(fields) != 2 or not args.value:
            raise ValueError("--map: expected two scanned fields X,Y and --value, e.g. "
                             "--map w,dHcal --value Cp_max")
        ax = plot_scan.heat_map(records, runs, fields, args.value, unit=args.unit)
    else:
        if not args.by:
            raise ValueError("plot of a scan: give --by FIELD (curves) or --map X,Y --value "
                             "V (a heat map)")
        ax = plot_scan.curves(records, args.by, unit=args.unit)
    ax.figure.tight_layout()
    ax.figure.savefig(args.output)
    return 0


def _peak(args):
    from .peak import peak
    for df in _read_all(args):
        if len(args.files) > 1:
            print("%s:" % df.attrs.get("source"))
        print(peak(df, chains_per_lipid=args.chains_per_lipid, unit=args.unit))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m chainmelt",
                                     description="Plots and analyses chainmelt result files.")
    sub = parser.add_subparsers(dest="command", required=True)

    def files(p):
        p.add_argument("files", nargs="+", metavar="FILE",
                       help="result files: TSV, CSV, JSON Lines or classic output.out")
        p.add_argument("--set", action="append", metavar="KEY=VALUE",
                       help="a field of the run that wrote a classic or CSV file "
                            "(task=heat, n0=2, ...; repeatable)")

    p = sub.add_parser("plot", help="plot result files into one figure")
    files(p)
    p.add_argument("-o", "--output", required=True, help="figure file (.png, .svg or .pdf)")
    p.add_argument("--unit", help="the run's energy and temperature unit, for the axis labels")
    p.add_argument("--by", metavar="FIELD", help="a scan: one curve per run, coloured by FIELD")
    p.add_argument("--map", metavar="X,Y", help="a scan: a heat map over two scanned fields")
    p.add_argument("--value", metavar="V", help="the number per run of --map: COL_max, "
                   "COL_min, X_at_COL_max (T_at_Cp_max), T_transition")
    p.set_defaults(func=_plot)

    from .scan import add_parser
    add_parser(sub)

    p = sub.add_parser("peak", help="peak analysis of heat-capacity curves")
    files(p)
    p.add_argument("--chains-per-lipid", type=float, default=2.0)
    p.add_argument("--unit", choices=["kelvin"],
                   help="energies are energy/R in kelvin: also give J/mol")
    p.set_defaults(func=_peak)

    try:
        from . import dsc
    except ImportError:
        dsc = None
    if dsc is not None and hasattr(dsc, "main_fit"):
        sub.add_parser("fit", help="fit the model to a DSC curve (see 'fit --help')")
        argv = sys.argv[1:] if argv is None else list(argv)
        if argv[:1] == ["fit"]:
            return dsc.main_fit(argv[1:])

    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except (ValueError, OSError) as e:
        print("chainmelt: %s" % e, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
