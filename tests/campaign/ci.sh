#!/usr/bin/env bash
# The bounded power-cut campaign and fault matrix, and the bounded expected-flash oracle, as dev.sh
# runs them after the native build:
#   JOBS=2 ./tests/campaign/ci.sh BUILD_DIR
# Builds q55x-campaign in BUILD_DIR (configured already), runs every procedure with a power cut at
# every Nth command and the whole fault matrix, then the oracle's matrix of every procedure, file
# shape, option, chip state and flash part against the model; prints the tables' totals and exits
# 1 on a false "Pass", a crash or a hang, a success the model does not give, or a failure that lost
# a stretch it had to keep (or when it cannot be built).
set -uo pipefail
cd "$(dirname "$0")/../.."
dir=${1:-build}
jobs=${JOBS:-2}

if [ ! -f "$dir/build.ninja" ] && [ ! -f "$dir/Makefile" ]; then
  echo "campaign: $dir is not a configured build directory"
  exit 1
fi
if ! cmake --build "$dir" -j "$jobs" --target q55x_campaign >"$dir/campaign-build.log" 2>&1; then
  tail -n 40 "$dir/campaign-build.log"
  echo "campaign: q55x-campaign does not build"
  exit 1
fi
failed=0

out="$dir/campaign-bounded.md"
JOBS=$jobs "$dir/tests/campaign/q55x-campaign" --bounded --jobs "$jobs" >"$out"
rc=$?
grep -E '^(### |runs )' "$out"
sed -n '/^## Totals/,$p' "$out"
if [ "$rc" -ne 0 ]; then
  grep -E 'PASS \(false\)|CRASH|HANG' "$out" | head -n 40
  echo "campaign: failed (tables in $out)"
  failed=1
fi

oracle="$dir/oracle-bounded.md"
JOBS=$jobs "$dir/tests/campaign/q55x-campaign" --oracle --bounded --jobs "$jobs" >"$oracle"
rc=$?
sed -n '/^## Totals/,$p' "$oracle"
if [ "$rc" -ne 0 ]; then
  grep -E '^- (MISMATCH|KEPT STRETCH LOST|CRASH|HANG|no such enclosure)' "$oracle" | head -n 40
  echo "oracle: failed (tables in $oracle)"
  failed=1
fi

[ "$failed" -eq 0 ] && echo "campaign: passed (tables in $out and $oracle)"
exit "$failed"
