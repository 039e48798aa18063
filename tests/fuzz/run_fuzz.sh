#!/bin/bash
# Runs the manifest fuzz target that the build made (BUILD_DIR/fuzz, built
# natively with clang, libFuzzer, ASan and UBSan for the test site's host)
# on a copy of the seed corpus.
#
# Usage: tests/fuzz/run_fuzz.sh [SECONDS] [BUILD_DIR]
#   SECONDS    how long to fuzz (default 60)
#   BUILD_DIR  build folder (default build in the project root); the working
#              corpus, the log and any crash inputs go to BUILD_DIR/fuzz
#
# The seeds and the dictionary were written for the site localhost:8443;
# that text is replaced by the host the build was configured with (the
# seeds of exact sizes keep them for that host only).
# Exits nonzero if the target is missing or the run finds a crash, a
# sanitizer report, a timeout or an out-of-memory.
set -eu -o pipefail

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
out=${2:-$here/../../build}/fuzz
target=$out/manifest_fuzz

case $seconds in
  '' | *[!0-9]*) echo "run_fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac
if [ ! -x "$target" ] || [ ! -f "$out/site_host" ]; then
  echo "run_fuzz.sh: $target not built (cmake --build the build folder first)" >&2
  exit 2
fi
host=$(cat "$out/site_host")

# The working corpus lives in the build folder; new inputs never go into the
# repository. Inputs found by earlier runs are kept.
mkdir -p "$out/corpus" "$out/artifacts"
for seed in "$here"/corpus/*; do
  sed "s/localhost:8443/$host/g" "$seed" > "$out/corpus/$(basename "$seed")"
done
sed "s/localhost:8443/$host/g" "$here/manifest.dict" > "$out/manifest.dict"
rm -f "$out"/artifacts/*

log=$out/fuzz.log
echo "fuzzing manifests of $host for $seconds s, log in $log"
status=0
"$target" "$out/corpus" \
  -dict="$out/manifest.dict" \
  -max_len=8192 \
  -max_total_time="$seconds" \
  -timeout=10 \
  -print_final_stats=1 \
  -artifact_prefix="$out/artifacts/" 2>&1 | tee "$log" || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
coverage=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
echo "executions: ${executions:-unknown} (${rate:-?} exec/s), ${coverage:-no coverage line}"

findings=$(ls "$out/artifacts")
if [ "$status" -ne 0 ] || [ -n "$findings" ]; then
  echo "CRASH FOUND (fuzzer exit status $status); inputs:"
  for f in $findings; do echo "  $out/artifacts/$f"; done
  echo "reproduce with: $target $out/artifacts/<file>"
  exit 1
fi
echo "no crash found"
