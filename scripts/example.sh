#!/usr/bin/env bash
# Builds chainmelt and runs one shipped example in a scratch directory, then
# shows the records it wrote.  Usage: scripts/example.sh [example-name]
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-phase-n2}
file="examples/$name.args"
[ -f "$file" ] || { echo "no such example: $file (see examples/)" >&2; exit 2; }
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target chainmelt >/dev/null
read -r -a args < <(grep -v '^[[:space:]]*#' "$file" | tr '\n' ' ') || true
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin=$(pwd)/build/chainmelt
echo "\$ chainmelt ${args[*]}"
(cd "$work" && "$bin" "${args[@]}")
echo "--- output.out ---"
cat "$work/output.out"
