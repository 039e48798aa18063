#!/bin/bash
# Runs a fuzz target that the build made (BUILD_DIR/fuzz, built natively
# with clang, libFuzzer, ASan and UBSan for the test site's host) on a copy
# of its seed corpus.
#
# Usage: tests/fuzz/run_fuzz.sh [SECONDS] [BUILD_DIR] [TARGET] [RUNS]
#   SECONDS    how long to fuzz (default 60; 0 for no time limit)
#   BUILD_DIR  build folder (default build in the project root); the working
#              corpus, the log and any crash inputs go to BUILD_DIR/fuzz
#   TARGET     manifest (default) or signature; the signature target's seeds
#              are the certificate tables that the test harness writes
#   RUNS       stop after this many executions (default 0: no count)
#
# The seeds and the dictionary were written for the site localhost:8443;
# that text is replaced by the host the build was configured with (the
# seeds of exact sizes keep them for that host only).
# Exits nonzero if the target is missing or the run finds a crash, a
# sanitizer report, a timeout or an out-of-memory.
set -eu -o pipefail

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
build=${2:-$here/../../build}
name=${3:-manifest}
runs=${4:-0}
out=$build/fuzz
target=$out/${name}_fuzz

for number in "$seconds" "$runs"; do
  case $number in
    '' | *[!0-9]*) echo "run_fuzz.sh: SECONDS and RUNS must be whole numbers, not '$number'" >&2
                   exit 2 ;;
  esac
done
if [ ! -x "$target" ] || [ ! -f "$out/site_host" ]; then
  echo "run_fuzz.sh: $target not built (cmake --build the build folder first)" >&2
  exit 2
fi
host=$(cat "$out/site_host")

# The working corpus lives in the build folder; new inputs never go into the
# repository. Inputs found by earlier runs are kept.
corpus=$out/corpus-$name
mkdir -p "$corpus" "$out/artifacts-$name"
options=()
if [ "$name" = manifest ]; then
  for seed in "$here"/corpus/*; do
    sed "s/localhost:8443/$host/g" "$seed" > "$corpus/$(basename "$seed")"
  done
  sed "s/localhost:8443/$host/g" "$here/manifest.dict" > "$out/manifest.dict"
  options=(-dict="$out/manifest.dict" -max_len=8192)
else
  cp "$build"/harness/signature-seeds/* "$corpus"/
  options=(-max_len=16384)
fi
rm -f "$out"/artifacts-$name/*

log=$out/fuzz-$name.log
echo "fuzzing the $name target for $seconds s (0: no limit) or $runs runs (0: no count), log in $log"
status=0
"$target" "$corpus" "${options[@]}" \
  -max_total_time="$seconds" \
  -runs="$([ "$runs" -gt 0 ] && echo "$runs" || echo -1)" \
  -timeout=10 \
  -print_final_stats=1 \
  -artifact_prefix="$out/artifacts-$name/" 2>&1 | tee "$log" || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
coverage=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
echo "executions: ${executions:-unknown} (${rate:-?} exec/s), ${coverage:-no coverage line}"

findings=$(ls "$out/artifacts-$name")
if [ "$status" -ne 0 ] || [ -n "$findings" ]; then
  echo "CRASH FOUND (fuzzer exit status $status); inputs:"
  for f in $findings; do echo "  $out/artifacts-$name/$f"; done
  echo "reproduce with: $target $out/artifacts-$name/<file>"
  exit 1
fi
echo "no crash found"
