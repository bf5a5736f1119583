#!/usr/bin/env bash
# Builds the documentation site (Sphinx, warnings as errors) and says where
# to open it.
#   scripts/docs.sh [OUTPUT-DIR]     default: build/docs in the source tree
# The API reference documents the package as built and the command-line
# reference runs the programs' --help, so build first (the build of the
# README, with -DCHAINMELT_PYTHON=ON); CHAINMELT_BUILD_DIR names that build
# (default: build).  Needs Debian's python3-sphinx.
set -euo pipefail
out=$(realpath -m "${1:-$(dirname "$0")/../build/docs}")
cd "$(dirname "$0")/.."
root=$PWD
build=${CHAINMELT_BUILD_DIR:-build}
export CHAINMELT_BUILD_DIR=$(cd "$root" && realpath -m "$build")
if [ ! -x "$CHAINMELT_BUILD_DIR/chainmelt" ]; then
  echo "docs.sh: no chainmelt binary in $CHAINMELT_BUILD_DIR; build first:" >&2
  echo "  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHAINMELT_PYTHON=ON && cmake --build build" >&2
  exit 1
fi
if ! /usr/bin/python3 -c "import sphinx" 2>/dev/null; then
  echo "docs.sh: Sphinx is missing; install it with: sudo apt-get install python3-sphinx" >&2
  exit 1
fi
# Every page is read afresh (-E): a page whose source did not change still
# documents a docstring that may have, and its warnings must show again.
/usr/bin/python3 -m sphinx -E -W --keep-going -q -b html -d "$out/.doctrees" docs "$out"
echo "documentation built: open $out/index.html"
