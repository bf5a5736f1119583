#!/usr/bin/env bash
# Builds and runs every test: an optimised build, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the concurrent paths under
# ThreadSanitizer, a short bounded fuzz run of both command-line parsers
# (when clang is installed), then the Python package's tests, its types and
# style, the documentation site and the example notebooks.
# As root it first installs what is missing from Debian's packages.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1 filter=$2; shift 2
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" -E python_tests ${filter:+-R "$filter"}
}

echo "== optimised build =="
run_suite build "" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHAINMELT_PYTHON=ON
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-sanitize "" -DCMAKE_BUILD_TYPE=Debug -DCHAINMELT_SANITIZE=ON
echo "== ThreadSanitizer build (parallel sweeps, curves, Monte Carlo replicas, batches) =="
TSAN_OPTIONS=halt_on_error=1 \
  run_suite build-tsan "Parallel|Batch|Golden|Lattice\.(Reproducible|Stops)|LatticeCli|Continuation\.TheSameCurve|CurveEndToEnd\.RecordsDoNot" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHAINMELT_TSAN=ON

if command -v clang++ >/dev/null; then
  echo "== fuzzing the classic command line and the parameter files (bounded) =="
  cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCHAINMELT_FUZZ=ON -DCHAINMELT_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-fuzz -j "$jobs" --target chainmelt_fuzz_classic chainmelt_fuzz_toml
  for target in classic toml; do
    work=$(mktemp -d)
    cp tests/fuzz/corpus-$target/* "$work"/
    timeout 120 build-fuzz/chainmelt_fuzz_$target -max_total_time="${CHAINMELT_FUZZ_SECONDS:-20}" \
      -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$work/" "$work" 2>&1 | tail -n 1
    rm -rf "$work"
  done
else
  echo "== no clang: fuzz run skipped (Debian: apt-get install clang) =="
fi

if [ -d python/tests ]; then
  echo "== Python package =="
  CHAINMELT_BUILD_DIR="$PWD/build" \
    /usr/bin/python3 -m pytest python/tests -q -p no:cacheprovider
  echo "== Python types (mypy) and style (flake8) =="
  /usr/bin/python3 -m mypy python/chainmelt
  /usr/bin/python3 -m flake8 python/chainmelt
  echo "== documentation (Sphinx, warnings as errors) and the example notebooks =="
  CHAINMELT_BUILD_DIR="$PWD/build" bash scripts/docs.sh build/docs
  # Each cell at most 120 s, all of them 170 s (the runner stops its kernels);
  # the outer timeout only guards against a runner that hangs itself.
  CHAINMELT_BUILD_DIR="$PWD/build" PYTHONPATH="$PWD/build/python" \
    timeout -k 10 200 /usr/bin/python3 examples/notebooks/execute.py --total 170
fi
