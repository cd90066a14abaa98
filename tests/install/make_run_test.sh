#!/usr/bin/env bash
# `make run` builds the program and what it needs, never the test programs: on a new
# machine a build of every target took minutes before the window appeared. The targets it
# names are looked up in the build graph, with everything they are built from.
# Usage: make_run_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

# What `make run` would do, without doing it (deps and the program left out).
plan=$(make -s -n -C "$src" run)
echo "$plan"
build_line=$(grep -E '^cmake --build' <<<"$plan") || fail "make run builds nothing"
[[ $build_line == *"--target"* ]] || fail "make run builds every target: $build_line"
targets=${build_line##*--target }
[[ " $targets " == *" qel-db-rekasto "* ]] || fail "make run does not build the program"

# Everything those targets are built from, transitively.
inputs=$(ninja -C "$build" -t inputs $targets)
count=$(wc -l <<<"$inputs")
echo "inputs of $targets: $count"
[[ $count -gt 10 ]] || fail "no inputs found for $targets in $build"
if grep -E '(^|/)tests/|gtest|gmock|_test\.cpp' <<<"$inputs"; then
  fail "make run builds test code (above)"
fi
# And none of the test programs themselves.
for program in test_shell test_handlers paradox_tests tutil_tests engine_tests cli_tests; do
  grep -qE "(^|/)$program\$" <<<"$inputs" && fail "make run builds $program"
done
echo "make run builds $targets and what they need, no tests"
