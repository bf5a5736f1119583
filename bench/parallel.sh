#!/usr/bin/env bash
# Wall-clock times of parallel sweeps and of a batch, measured side by side
# in one run of this script (best of REPEAT runs each):
#   - a 400-point "heat" n0 = 8 sweep and a 200-point "phase" n0 = 8 sweep
#     at 1 and 2 threads;
#   - 1000 runs of "heat" n0 = 2 (50 points each, w varying) as one batch in
#     one process against 1000 separate processes, two at a time.
# Usage: bench/parallel.sh [chainmelt-binary] [repeat]   (default build/chainmelt, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/chainmelt}")
repeat=${2:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

best() {  # best wall time in seconds of REPEAT runs of the command
  local b=
  for _ in $(seq "$repeat"); do
    local s e
    s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N)
    b=$(echo "$e - $s" | bc -l | awk -v b="$b" '{ if (b == "" || $1 < b) print $1; else print b }')
  done
  printf '%.3f' "$b"
}

heat8=(run --task heat --n0 8 --w -220 --dH 2860 --dS 7.006 --dH2 -700 --dS2 -1.956 --conc2 0.5
       --T-sweep 300:339.9:0.1 -o "$work/heat8.tsv")
phase8=(run --task phase --n0 8 --w -220 --dH 2860 --dS 7.006 --dH2 -700 --dS2 -1.956 --conc 0.45
        --conc2 0.5 --T-sweep 280:329.75:0.25 -o "$work/phase8.tsv")
for w in $(seq 1000); do
  printf 'pa heat 2 314 -%s 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 300 324.5 0.5 T\n' \
    "$(echo "150 + $w * 0.1" | bc -l)"
done >"$work/batch.txt"
# The same runs as separate processes, two at a time (all in one scratch
# directory: their output.out files overwrite each other, which costs nothing
# here).
separate() {
  mkdir -p "$work/sep"
  (cd "$work/sep" && xargs -P 2 -L 1 "$bin" <"$work/batch.txt")
}

echo "| what | 1 thread / separate (s) | 2 threads / batch (s) | ratio |"
echo "|---|---|---|---|"
for name in heat8 phase8; do
  declare -n args=$name
  t1=$(best "$bin" "${args[@]}" --threads 1)
  t2=$(best "$bin" "${args[@]}" --threads 2)
  echo "| $name sweep | $t1 | $t2 | $(echo "$t1 / $t2" | bc -l | xargs printf '%.2f') |"
done
tb=$(best "$bin" batch "$work/batch.txt" --threads 2 --out-dir "$work/out" --format classic)
ts=$(best separate)
echo "| 1000-run batch | $ts | $tb | $(echo "$ts / $tb" | bc -l | xargs printf '%.2f') |"
