#!/usr/bin/env bash
# Times whole runs of every shipped example (examples/*.args) and prints a
# table: the best wall-clock time of several runs, the median, and the number
# of records written.  Usage: bench/runs.sh [runs-per-example] [chainmelt-binary]
# (default 5 runs; without a binary, build/chainmelt is built RelWithDebInfo
# first and timed).
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/.."
runs=${1:-5}
if [ -n "${2:-}" ]; then
  bin=$(realpath "$2")
else
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target chainmelt >/dev/null
  bin=$(pwd)/build/chainmelt
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%-16s %10s %10s %8s\n' example best_s median_s records
for file in examples/*.args; do
  name=$(basename "$file" .args)
  read -r -a args < <(grep -v '^[[:space:]]*#' "$file" | tr '\n' ' ') || true
  times=()
  for ((i = 0; i < runs; i++)); do
    start=$(date +%s%N)
    (cd "$work" && "$bin" "${args[@]}" >/dev/null 2>&1) || true
    end=$(date +%s%N)
    times+=($((end - start)))
  done
  sorted=($(printf '%s\n' "${times[@]}" | sort -n))
  best=${sorted[0]}
  median=${sorted[$((runs / 2))]}
  records=$(wc -l <"$work/output.out")
  awk -v n="$name" -v b="$best" -v m="$median" -v r="$records" \
    'BEGIN { printf "%-16s %10.4f %10.4f %8d\n", n, b / 1e9, m / 1e9, r }'
done
