#!/usr/bin/env bash
# The bounded power-cut campaign and fault matrix, as dev.sh runs it after the native build:
#   JOBS=2 ./tests/campaign/ci.sh BUILD_DIR
# Builds q55x-campaign in BUILD_DIR (configured already), runs every procedure with a power cut at
# every Nth command and the whole fault matrix, prints the tables and the totals, and exits 1 on a
# false "Pass", a crash or a hang (or when it cannot be built).
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
out="$dir/campaign-bounded.md"
JOBS=$jobs "$dir/tests/campaign/q55x-campaign" --bounded --jobs "$jobs" >"$out"
rc=$?
grep -E '^(### |runs )' "$out"
sed -n '/^## Totals/,$p' "$out"
if [ "$rc" -ne 0 ]; then
  grep -E 'PASS \(false\)|CRASH|HANG' "$out" | head -n 40
  echo "campaign: failed (tables in $out)"
  exit 1
fi
echo "campaign: passed (tables in $out)"
