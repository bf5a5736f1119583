#!/usr/bin/env bash
# Counts the instructions of representative whole runs with callgrind and
# prints one line per run (name, total instructions).  With a second argument
# it also keeps the callgrind output files there, for callgrind_annotate.
# Usage: bench/callgrind.sh [chainmelt-binary] [keep-dir]
# (default binary build/chainmelt, a RelWithDebInfo build).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/chainmelt}")
keep=${2:-}
[ -n "$keep" ] && mkdir -p "$keep" && keep=$(realpath "$keep")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# name, then the 24 arguments: the shipped examples and a few more runs.
cases=(
  "phase-n2   $(grep -v '^#' examples/phase-n2.args)"
  "phase-n8   pa phase 8 300 -220 0 2860 7.006 0 0 0 0 -700 -1.956 0 0.45 0.5 0 0 0 280 330 5 T"
  "heat-n2    $(grep -v '^#' examples/heat-n2.args)"
  "heat-n8    $(grep -v '^#' examples/heat-n8.args)"
  "crit-n2    $(grep -v '^#' examples/crit-n2.args)"
  "crit-n8    pa crit 8 300 -220 0 2860 7.006 0 0 0 0 -700 -1.956 0 0.45 0.5 0 0 0 300 300 1 T"
  "size-n1    $(grep -v '^#' examples/size-n1.args)"
  "coexist-n4 $(grep -v '^#' examples/coexist-n4.args)"
  "phase-n5   pa phase 5 3 -1 0.2 10 3.2 0 0 0.5 0.1 0 0 0 0.3 0 0 0 0 2.8 3.4 0.05 T"
  "phase-alt  pa phase 2 300 -1000 0 0 0 314 2200 0 0 30 0 0 0.2 0.4 1 1 42.1 300 330 5 T"
)

for line in "${cases[@]}"; do
  read -r name args <<<"$line"
  read -r -a argv <<<"$args"
  out=$work/callgrind.out.$name
  (cd "$work" && valgrind --tool=callgrind --callgrind-out-file="$out" "$bin" "${argv[@]}" \
    >/dev/null 2>"$work/log") || true
  total=$(awk '/^(summary|totals):/ { print $2; exit }' "$out")
  printf '%-12s %15s\n' "$name" "$total"
  [ -n "$keep" ] && cp "$out" "$keep/"
done
