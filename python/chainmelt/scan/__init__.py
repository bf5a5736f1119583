"""Parameter scans: many runs over a grid of parameters, on Dask distributed.

A scan is a base parameter set (the fields of a parameter file, task and
sweep included) and a grid: for every scanned field a list of values, the
runs being the Cartesian product (``zip`` pairs lists instead).  The runs go
in chunks to the workers of a Dask cluster, each executed there through the
compiled module; without a scheduler, threads of the scanning process run
them (the engine releases the interpreter lock), and neither Dask nor numpy
nor pandas is imported until a table is read back.

The results directory holds

- ``records.tsv.gz``: every record of every run, with the run's number and
  the scanned fields as the first columns (a scanned field that is also a
  record column is named ``NAME_scan``).  It is a sequence of gzip members:
  the header, then one member per finished chunk.
- ``runs.tsv``: one row per finished run: number, key, scanned fields,
  status (ok, fatal, refused, nonfinite, lost), records, seconds, worker,
  message, ``records_end`` (the length of records.tsv.gz once that run's
  records were in it), ``chunk`` (length and CRC-32 of the gzip member
  holding them) and ``check`` (the CRC-32 of the line before it).
- ``base.tsv``: the base fields; a scan with other base fields is refused.
- ``lock``: the pid, host and start time of the scan writing the directory.

A chunk is durable before its runs count as done: its records are appended
to records.tsv.gz and synced, then its rows to runs.tsv and synced.  On a new
start the directory is checked: lines of runs.tsv that fail their checksum
or repeat a run are dropped, records.tsv.gz is checked chunk by chunk against
the lines and cut at the first chunk missing, damaged or not accounted for,
and the runs whose records were cut run again.  So a scan stopped at any
moment, or a table damaged in part, leaves exactly the runs in runs.tsv,
each with its records once, and the next start does only the runs whose key
is not there.  The key of a run is a hash of the text of every field it is
run with (the thread count aside).

The parts: ``plan`` (the grid and its TOML), ``worker`` (a chunk on a
worker; the records' text comes from the engine), ``lock``, ``store`` (the
directory and its tables), ``verify`` (their checksums), ``driver`` (the cluster).
"""

from .driver import (Outcome, check_layout, close_client, dashboard, local_client, open_store,
                     run_plan, scan)
from .lock import LOCK, Lock
from .plan import FORMATS, MAX_RUNS, Plan, Run, ScanError, load, run_key
from .store import EXPORT_FORMATS, RECORDS, RUNS, ScanTables, Store, export_records, read_scan
from .worker import STATUSES, Job, RunResult, run_chunk

__all__ = ["scan", "read_scan", "ScanError", "Plan", "Run", "load", "run_key", "run_plan",
           "close_client",
           "Outcome", "Store", "Lock", "open_store", "check_layout", "export_records",
           "local_client", "dashboard", "run_chunk", "Job", "RunResult", "FORMATS",
           "EXPORT_FORMATS", "ScanTables",
           "MAX_RUNS", "RECORDS", "RUNS", "LOCK", "STATUSES"]
