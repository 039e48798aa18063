#!/bin/bash
# Builds the manifest fuzz target natively (clang, libFuzzer, ASan, UBSan)
# and runs it on a copy of the seed corpus.
#
# Usage: tests/fuzz/run_fuzz.sh [SECONDS] [BUILD_DIR]
#   SECONDS    how long to fuzz (default 60)
#   BUILD_DIR  build folder; the target, the working corpus, the log and
#              any crash inputs go to BUILD_DIR/fuzz (default build/fuzz in
#              the project root)
#
# Needs clang++ and libFuzzer; on Debian 12: apt-get install clang
# libclang-rt-14-dev. CXX overrides the compiler.
# Exits nonzero if the build fails or the run finds a crash, a sanitizer
# report, a timeout or an out-of-memory.
set -eu -o pipefail

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${2:-$root/build}
out=$build/fuzz
cxx=${CXX:-clang++}

case $seconds in
  '' | *[!0-9]*) echo "run_fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac
if ! command -v "$cxx" > /dev/null; then
  echo "run_fuzz.sh: $cxx not found (Debian: apt-get install clang libclang-rt-14-dev)" >&2
  exit 2
fi

mkdir -p "$out/corpus" "$out/artifacts"
target=$out/manifest_fuzz

echo "building $target"
start=$(date +%s)
if ! "$cxx" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root/src" \
    -DTARVIK_SITE_HOST_TEXT='"localhost:8443"' \
    -DTARVIK_SUPPORT_EMAIL_TEXT='"help@tarvik.test"' \
    "$here/manifest_fuzz.cpp" "$root/src/net/manifest.cpp" -o "$target"; then
  echo "run_fuzz.sh: build failed (libFuzzer and the sanitizer runtimes come from" \
    "Debian's libclang-rt-14-dev)" >&2
  exit 1
fi
echo "built in $(($(date +%s) - start)) s"

# The working corpus lives in the build folder; new inputs never go into the
# repository. Inputs found by earlier runs are kept.
cp "$here"/corpus/* "$out/corpus/"
rm -f "$out"/artifacts/*

log=$out/fuzz.log
echo "fuzzing for $seconds s, log in $log"
status=0
"$target" "$out/corpus" \
  -dict="$here/manifest.dict" \
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
