#!/usr/bin/env bash
# Regenerates the golden outputs that the golden test compares against: for
# every shipped example (examples/*.args, as example-<name>) and every line
# "name argument..." of tests/golden/cases.txt, runs chainmelt in a scratch
# directory and stores the argument line, the exit status, standard output
# and output.out under tests/golden/<name>/.
# Usage: tests/golden/generate.sh [chainmelt-binary]   (default build/chainmelt)
# Only regenerate on purpose: the golden files pin every output byte.
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/../.."
bin=$(realpath "${1:-build/chainmelt}")
golden=tests/golden
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

store() {
  local name=$1; shift
  local dir=$golden/$name
  rm -rf "$work"/* && mkdir -p "$dir"
  printf '%s\n' "$*" >"$dir/args"
  local status=0
  (cd "$work" && "$bin" "$@" >"$work/.stdout" 2>/dev/null) || status=$?
  echo "$status" >"$dir/status"
  cp "$work/.stdout" "$dir/stdout"
  cp "$work/output.out" "$dir/output.out"
  printf '%-22s status %d, %d records\n' "$name" "$status" "$(wc -l <"$dir/output.out")"
}

for file in examples/*.args; do
  read -r -a args < <(grep -v '^[[:space:]]*#' "$file" | tr '\n' ' ') || true
  store "example-$(basename "$file" .args)" "${args[@]}"
done
while read -r name rest; do
  [[ -z $name || $name == \#* ]] && continue
  read -r -a args <<<"$rest"
  store "$name" "${args[@]}"
done <"$golden/cases.txt"
