#!/usr/bin/env bash
# Fixed cost of a process: instructions (callgrind) and wall time (hyperfine,
# when installed) of `chainmelt --version`, a refused command line, a 1-point
# and a 50-point heat run (n0 = 2), and a battery of 16 short heat runs of 1 to
# 50 sweep points, for one or more binaries side by side; then an empty C
# program, the floor of the machine.  Prints a Markdown table.
#
# Usage: bench/startup.sh [-r runs] [-w] TARGET...
#   TARGET   a chainmelt binary, or rev:REVISION to build that revision of this
#            repository (git archive into a scratch directory, RelWithDebInfo,
#            its own CMakeLists.txt) and measure it
#   -r runs  hyperfine runs per command (default 30, after 3 warm-up runs)
#   -w       instructions only, no wall times
# Example: bench/startup.sh rev:HEAD~1 build/chainmelt
set -euo pipefail
cd "$(dirname "$0")/.."
runs=30
wall=1
while getopts "r:w" opt; do
  case $opt in
    r) runs=$OPTARG ;;
    w) wall=0 ;;
    *) echo "usage: bench/startup.sh [-r runs] [-w] TARGET..." >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "usage: bench/startup.sh [-r runs] [-w] TARGET..." >&2; exit 2; }
command -v valgrind >/dev/null || { echo "startup.sh: valgrind is needed" >&2; exit 1; }
command -v hyperfine >/dev/null || wall=0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bins=()
labels=()
for target in "$@"; do
  if [[ $target == rev:* ]]; then
    rev=${target#rev:}
    src=$work/src-${#bins[@]}
    mkdir -p "$src"
    git archive "$rev" | tar -x -C "$src"
    cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHAINMELT_TESTS=OFF >/dev/null
    cmake --build "$src/build" -j 2 --target chainmelt >/dev/null
    bins+=("$src/build/chainmelt")
    labels+=("$(git rev-parse --short "$rev")")
  else
    bins+=("$(realpath "$target")")
    labels+=("$target")
  fi
done

# name, then the command line after the program name.
h2="pa heat 2 314 -240 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0"   # T_min T_max dT sweep follow
h1="pa heat 1 300 -1000 0 0 0 314 2200 0 0 30 0 0 0 0 1 2 0"
h4="pa heat 4 3 -1 0.2 10 3.2 0 0 0.5 0.1 0 0 0 0.1 0 0 0 0"
h8="pa heat 8 300 -220 0 2860 7.006 0 0 0 0 -700 -1.956 0 0 0.5 0 0 0"
single=(
  "version    --version"
  "refused    pa heat 2 314 -240 0 abc 0 314 2200 0 0 0 0 0 0 0 0 0 0 290 340 0.5 T"
  "heat2-1pt  $h2 314 314 1 T"
  "heat2-50pt $h2 290 339 1 T"
)
# The battery: 16 heat runs of 1 to 50 sweep points (the number in the name).
battery=(
  "b-n2-1  $h2 290 290 1 T"
  "b-n2-2  $h2 300 301 1 T"
  "b-n2-3  $h2 310 312 1 T"
  "b-n2-5  $h2 312 316 1 T"
  "b-n2-8  $h2 310 317 1 T"
  "b-n2-12 $h2 308 319 1 T"
  "b-n2-20 $h2 304 323 1 T"
  "b-n2-35 $h2 297 331 1 T"
  "b-n2-50 $h2 290 339 1 T"
  "b-n1-3  $h1 300 304 2 T"
  "b-n1-10 $h1 300 318 2 T"
  "b-n1-50 $h1 290 339 1 T"
  "b-n4-1  $h4 3 3 0.05 T"
  "b-n4-10 $h4 2.8 3.26 0.05 T"
  "b-n8-1  $h8 300 300 1 T"
  "b-n8-10 $h8 295 304 1 T"
)

instructions() {  # binary, arguments...
  local out=$work/callgrind.out
  (cd "$work" && valgrind --tool=callgrind --callgrind-out-file="$out" "$@" >/dev/null 2>&1) || true
  awk '/^(summary|totals):/ { print $2; exit }' "$out"
}

wall_ms() {  # binary, arguments...: mean wall time in milliseconds
  local json=$work/hyperfine.json cmd
  cmd=$(printf '%q ' "$@")
  (cd "$work" && hyperfine -N -i --warmup 3 --runs "$runs" --export-json "$json" "$cmd" >/dev/null 2>&1)
  python3 -c 'import json, sys; print("%.3f" % (1e3 * json.load(open(sys.argv[1]))["results"][0]["mean"]))' "$json"
}

commas() { sed -E ':a;s/^([0-9]+)([0-9]{3})/\1,\2/;ta' <<<"$1"; }

declare -A ir ms points
measure() {  # case line
  local name args i
  read -r name args <<<"$1"
  read -r -a argv <<<"$args"
  points[$name]=$(cd "$work" && { "${bins[0]}" "${argv[@]}" 2>/dev/null || true; } | grep -c '^[TH] = ' || true)
  for i in "${!bins[@]}"; do
    ir[$name,$i]=$(instructions "${bins[$i]}" "${argv[@]}")
    [ "$wall" = 1 ] && ms[$name,$i]=$(wall_ms "${bins[$i]}" "${argv[@]}")
  done
  return 0
}
for line in "${single[@]}" "${battery[@]}"; do measure "$line"; done

# The table: instructions per binary, then mean wall time per binary.
head="| run | points |"
rule="|---|---:|"
for l in "${labels[@]}"; do head+=" instructions, $l |"; rule+="---:|"; done
if [ "$wall" = 1 ]; then
  for l in "${labels[@]}"; do head+=" ms, $l |"; rule+="---:|"; done
fi
echo "$head"
echo "$rule"
declare -A bat_ir bat_ms
for line in "${single[@]}" "${battery[@]}"; do
  read -r name _ <<<"$line"
  row="| $name | ${points[$name]} |"
  for i in "${!bins[@]}"; do row+=" $(commas "${ir[$name,$i]}") |"; done
  if [ "$wall" = 1 ]; then
    for i in "${!bins[@]}"; do row+=" ${ms[$name,$i]} |"; done
  fi
  echo "$row"
done
row="| battery, 16 runs | $(for line in "${battery[@]}"; do read -r name _ <<<"$line"; echo "${points[$name]}"; done | awk '{ s += $1 } END { print s }') |"
for i in "${!bins[@]}"; do
  total=0
  for line in "${battery[@]}"; do read -r name _ <<<"$line"; total=$((total + ir[$name,$i])); done
  row+=" $(commas "$total") |"
done
if [ "$wall" = 1 ]; then
  for i in "${!bins[@]}"; do
    total=$(for line in "${battery[@]}"; do read -r name _ <<<"$line"; echo "${ms[$name,$i]}"; done |
      awk '{ s += $1 } END { printf "%.3f", s }')
    row+=" $total |"
  done
fi
echo "$row"
echo
# The floor of this machine: an empty C program, linked dynamically and
# statically (needs cc).
if command -v cc >/dev/null; then
  printf 'int main(void) { return 0; }\n' >"$work/empty.c"
  cc -O2 "$work/empty.c" -o "$work/empty-dynamic"
  cc -O2 -static "$work/empty.c" -o "$work/empty-static"
  for kind in dynamic static; do
    line="empty C program, $kind: $(commas "$(instructions "$work/empty-$kind")") instructions"
    [ "$wall" = 1 ] && line+=", $(wall_ms "$work/empty-$kind") ms"
    echo "$line"
  done
fi
# Start-up share: the cost of --version against a 50-point heat run.
for i in "${!bins[@]}"; do
  awk -v l="${labels[$i]}" -v v="${ir[version,$i]}" -v h="${ir[heat2-50pt,$i]}" \
    'BEGIN { printf "start-up (--version) / 50-point heat n0 = 2, %s: %.1f %% of the instructions\n", l, 100 * v / h }'
done
