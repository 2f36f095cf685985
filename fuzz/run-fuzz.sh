#!/bin/bash
# Runs every fuzz target for a bounded time and prints, per target, the executions and the
# coverage it reached (libFuzzer's "cov": edges, "ft": features).
#
# Usage: fuzz/run-fuzz.sh [SECONDS] [BUILD_DIR]
#   SECONDS    per target (default 30)
#   BUILD_DIR  the fuzz build (default build-fuzz); configured with clang and built when needed
# FUZZ_TARGETS="cli template" limits the run to those targets.
#
# The committed seeds in fuzz/corpus/<target>/ are read, never written: each run grows its
# own corpus in BUILD_DIR/fuzz-corpus/<target>/ (kept between runs, so longer runs by hand
# build on earlier ones). A crashing input is saved in BUILD_DIR/fuzz-artifacts/ and the script
# exits with status 1.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
build=${2:-$top/build-fuzz}

mkdir -p "$build" && build=$(cd "$build" && pwd)
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLAGWATCH_FUZZ=ON -DLAGWATCH_TESTS=OFF >"$build.configure.log" 2>&1 || {
    cat "$build.configure.log"
    exit 2
  }
fi
cmake --build "$build" --target fuzz_all -j2 >"$build/fuzz-build.log" 2>&1 || {
  tail -50 "$build/fuzz-build.log"
  echo "run-fuzz: build failed" >&2
  exit 2
}

targets=${FUZZ_TARGETS:-$(cd "$top/fuzz/corpus" && ls)}
mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"
status=0
printf '%-12s %10s %8s %8s %8s  %s\n' target execs exec/s cov ft result
for t in $targets; do
  exe="$build/fuzz/${t}_fuzz"
  corpus="$build/fuzz-corpus/$t"
  log="$build/fuzz-logs/$t.log"
  mkdir -p "$corpus"
  # -timeout: one input may take at most 10 s; -rss_limit_mb: well below the machine's memory.
  "$exe" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/fuzz-artifacts/$t-" "$corpus" "$top/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(echo "$last" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
  ft=$(echo "$last" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
  if [ $rc -eq 0 ]; then
    result=ok
  else
    result="FAILED (status $rc, log $log)"
    status=1
  fi
  printf '%-12s %10s %8s %8s %8s  %s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" \
    "$result"
  if [ $rc -ne 0 ]; then
    grep -E 'ERROR|property broken|SUMMARY|^    #[0-9]' "$log" | head -20
  fi
done
exit $status
