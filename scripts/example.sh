#!/usr/bin/env bash
# Builds chainmelt and runs one shipped example in a scratch directory, then
# shows the records it wrote.  As root it first installs what is missing from
# Debian's packages; otherwise it names the command that would.
#   scripts/example.sh [example-name]   a command-line example (examples/NAME.args)
#   scripts/example.sh python [out.png] installs the Python package into .venv
#                                       and runs examples/python/dppc.py
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh example
name=${1:-phase-n2}
jobs=$(nproc 2>/dev/null || echo 2)

if [ "$name" = python ]; then
  figure=${2:-dppc.png}
  # The virtual environment sees Debian's numpy, pandas and matplotlib; the
  # package itself is built by the project's CMake, without the network.
  [ -x .venv/bin/python ] || /usr/bin/python3 -m venv --system-site-packages .venv
  CMAKE_BUILD_PARALLEL_LEVEL=$jobs .venv/bin/pip install -q --no-build-isolation --no-index .
  echo "\$ .venv/bin/python examples/python/dppc.py $figure"
  .venv/bin/python examples/python/dppc.py "$figure"
  exit 0
fi

file="examples/$name.args"
[ -f "$file" ] || { echo "no such example: $file (see examples/)" >&2; exit 2; }
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target chainmelt >/dev/null
read -r -a args < <(grep -v '^[[:space:]]*#' "$file" | tr '\n' ' ') || true
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin=$(pwd)/build/chainmelt
echo "\$ chainmelt ${args[*]}"
(cd "$work" && "$bin" "${args[@]}")
echo "--- output.out ---"
cat "$work/output.out"
