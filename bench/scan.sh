#!/usr/bin/env bash
# Throughput of many short runs three ways: a parameter scan on the embedded
# Dask cluster (python3 -m chainmelt scan), the command line's batch, and one
# process per run.  The same 2000 runs each way: heat for n0 = 2 over a
# 50 x 40 grid of w and dHcal, 61 sweep points per run.
# Usage: bench/scan.sh [build-dir] [search]   (default build, configured
# with -DCHAINMELT_PYTHON=ON and built; search "equilibrium" makes each run
# about ten times longer); prints runs per second of each, from start to end
# of the command (the scan's own rate, without starting the cluster, last).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
bin=$build/chainmelt
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/base.toml" <<'TOML'
task = "heat"
n0 = 2
Tm = 314.0
T-sweep = [300.0, 330.0, 0.5]
TOML
[ -n "${2:-}" ] && echo "search = \"$2\"" >> "$work/base.toml"
{ cat "$work/base.toml"; printf '[scan]\nw = {min = -250.0, max = -152.0, step = 2.0}\n'
  printf 'dHcal = {min = 1800.0, max = 2580.0, step = 20.0}\n'; } > "$work/grid.toml"
# The same runs as batch lines and as command lines.
/usr/bin/python3 - "$work" <<'PY'
import sys
work = sys.argv[1]
with open(work + "/runs.txt", "w") as b, open(work + "/args.txt", "w") as a:
    for i in range(50):
        for j in range(40):
            w, h = -250.0 + 2 * i, 1800.0 + 20 * j
            b.write("@base.toml w=%r dHcal=%r\n" % (w, h))
            a.write("%r %r %d\n" % (w, h, i * 40 + j))
PY

now() { date +%s.%N; }
rate() { /usr/bin/python3 -c "import sys; print('%.0f' % (2000 / (float(sys.argv[2]) - float(sys.argv[1]))))" "$1" "$2"; }

t0=$(now)
PYTHONPATH=$build/python /usr/bin/python3 -m chainmelt scan "$work/grid.toml" -o "$work/scan" \
  2> "$work/scan.log"
t1=$(now)
"$bin" batch "$work/runs.txt" --threads "$jobs" -o "$work/batch.tsv" 2>/dev/null
t2=$(now)
mkdir "$work/one"
export bin work
xargs -P "$jobs" -L 1 sh -c '"$bin" run "$work/base.toml" --threads 1 --set w="$1" \
  --set dHcal="$2" -o "$work/one/r$3.tsv" 2>/dev/null' sh < "$work/args.txt"
t3=$(now)
printf '%-28s %10s\n' way runs_per_s
printf '%-28s %10s\n' "scan, embedded cluster" "$(rate "$t0" "$t1")"
printf '%-28s %10s\n' "batch --threads $jobs" "$(rate "$t1" "$t2")"
printf '%-28s %10s\n' "one process per run" "$(rate "$t2" "$t3")"
grep 'runs/s' "$work/scan.log" | tail -n 1
ls "$work/one" | wc -l | sed 's/^/one-process results: /'
