#!/usr/bin/env bash
# Runs the benchmarks of a build tree: bash bench/run.sh build/release
set -euo pipefail
build="${1:-build/release}"
status=0
if [ -x "$build/bench/bench_verify" ]; then
  echo "== verify throughput (MB/s beside cat and pxlib)"
  "$build/bench/bench_verify" || status=$?
fi
for exe in "$build"/bench/bench_*; do
  [ -x "$exe" ] && [ -f "$exe" ] || continue
  [ "$(basename "$exe")" = bench_verify ] && continue
  echo "== $(basename "$exe")"
  "$exe" || status=$?
done
exit $status
