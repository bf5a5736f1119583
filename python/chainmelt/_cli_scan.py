"""python3 -m chainmelt scan: a parameter scan on Dask or on threads."""

from __future__ import annotations

import signal
import sys


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


def _scheduler_address(path, timeout):
    """The address in a Dask scheduler file, waiting up to ``timeout`` seconds for the
    scheduler to write it (Dask's own client would wait for it forever)."""
    import json
    import time

    from .scan import ScanError

    deadline = time.monotonic() + timeout
    problem = "it does not exist"
    while True:
        try:
            with open(path, encoding="utf-8") as f:
                address = json.load(f)["address"]
            if isinstance(address, str) and address:
                return address
            problem = "its \"address\" is not a scheduler address"
        except FileNotFoundError:
            problem = "it does not exist"
        except (ValueError, KeyError, TypeError):
            problem = "it holds no scheduler address (JSON with \"address\")"
        except OSError as e:
            raise ScanError("scan: --scheduler-file %s: %s" % (path, e.strerror or e)) from None
        if time.monotonic() >= deadline:
            raise ScanError("scan: --scheduler-file %s: %s after %g s (start the scheduler "
                            "with --scheduler-file %s, or give a longer --timeout)"
                            % (path, problem, timeout, path))
        time.sleep(0.1)


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
                address = _scheduler_address(args.scheduler_file, args.timeout)
                client = Client(address, timeout=args.timeout)
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
