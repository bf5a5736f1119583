#!/usr/bin/env bash
# A 1000-run scan of 50-point heat curves (n0 = 2, a 25 x 40 grid of w and
# dHcal, T from 300 to 324.5 K by 0.5) from start to end of the command,
# against the same 1000 runs as `chainmelt batch --threads 2`, side by side
# and alternated, ROUNDS times.  With a second package directory (BEFORE, e.g.
# a build of the previous revision's <build>/python) its scan is timed too.
# Usage: bench/scan_batch.sh [build-dir] [rounds] [before-package-dir]
# Prints seconds of each way per round and the ratio scan/batch.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
rounds=${2:-3}
before=${3:-}
bin=$build/chainmelt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/base.toml" <<'TOML'
task = "heat"
n0 = 2
Tm = 314.0
T-sweep = [300.0, 324.5, 0.5]
TOML
{ cat "$work/base.toml"; printf '[scan]\nw = {min = -250.0, max = -202.0, step = 2.0}\n'
  printf 'dHcal = {min = 1800.0, max = 2580.0, step = 20.0}\n'; } > "$work/grid.toml"
/usr/bin/python3 - "$work" <<'PY'
import sys
with open(sys.argv[1] + "/runs.txt", "w") as b:
    for i in range(25):
        for j in range(40):
            b.write("@base.toml w=%r dHcal=%r\n" % (-250.0 + 2 * i, 1800.0 + 20 * j))
PY

# The package's modules compiled once, as an installed package's are (an
# environment that sets PYTHONDONTWRITEBYTECODE would compile them at every
# start); the cache goes to the scratch directory, not beside the sources.
export PYTHONPYCACHEPREFIX=$work/pycache
unset PYTHONDONTWRITEBYTECODE
for pkg in "$build/python" ${before:+"$before"}; do
  /usr/bin/python3 -m compileall -q "$pkg/chainmelt" >/dev/null
done

now() { date +%s.%N; }
secs() { /usr/bin/python3 -c "import sys; print('%.2f' % (float(sys.argv[2]) - float(sys.argv[1])))" "$1" "$2"; }
for r in $(seq "$rounds"); do
  rm -rf "$work/scan" "$work/scan0" "$work/batch.tsv"*
  t0=$(now)
  PYTHONPATH=$build/python /usr/bin/python3 -m chainmelt scan "$work/grid.toml" -o "$work/scan" \
    --workers 2 2> "$work/scan.log"
  t1=$(now)
  "$bin" batch "$work/runs.txt" --threads 2 -o "$work/batch.tsv" 2>/dev/null
  t2=$(now)
  line="round $r: scan $(secs "$t0" "$t1") s, batch --threads 2 $(secs "$t1" "$t2") s"
  if [ -n "$before" ]; then
    t3=$(now)
    PYTHONPATH=$before /usr/bin/python3 -m chainmelt scan "$work/grid.toml" -o "$work/scan0" \
      --workers 2 2> "$work/scan0.log"
    t4=$(now)
    line="$line, scan before $(secs "$t3" "$t4") s"
  fi
  echo "$line"
done
zcat "$work/scan/records.tsv.gz" | tail -n +2 | wc -l | sed 's/^/scan records: /'
tail -n +2 "$work/batch.tsv" | wc -l | sed 's/^/batch records: /'
