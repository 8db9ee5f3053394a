#!/usr/bin/env bash
# The bounded power-cut campaign and fault matrix, the bounded expected-flash oracle and the bounded
# recovery campaign, as dev.sh runs them after the native build:
#   JOBS=2 ./tests/campaign/ci.sh BUILD_DIR
# Builds q55x-campaign in BUILD_DIR (configured already), runs every procedure with a power cut at
# every Nth command and the whole fault matrix, then the oracle's matrix of every procedure, file
# shape, option, chip state and flash part against the model, then q55x's updates cut off by a
# power cut and by killing q55x at every Nth command, each followed by `q55x recover`; prints the
# tables' totals and exits 1 on a false "Pass", a crash or a hang, a success the model does not
# give, a failure that lost a stretch it had to keep, or an interrupted update that `q55x recover`
# did not bring back booting with its kept stretches, a wrong dispatch, a success the model gives
# that the procedure does not, and any break of the promises every run is judged by (a kept
# stretch lost, a success that does not boot the file's firmware or leaves its code where the chip
# does not read it), or when it cannot be built.
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
  grep -E 'PASS \(false\)|CRASH|HANG|PROMISE BROKEN' "$out" | head -n 40
  echo "campaign: failed (tables in $out)"
  failed=1
fi

# One of the campaign's other modes, bounded: its totals, and on a failure what it lists to look at.
run_mode() {   # mode table-file pattern-of-the-lines-to-look-at
  JOBS=$jobs "$dir/tests/campaign/q55x-campaign" "--$1" --bounded --jobs "$jobs" >"$2"
  local rc=$?
  sed -n '/^## Totals/,$p' "$2"
  if [ "$rc" -ne 0 ]; then
    grep -E "$3" "$2" | head -n 40
    echo "$1: failed (tables in $2)"
    failed=1
  fi
}
oracle="$dir/oracle-bounded.md"
run_mode oracle "$oracle" '^- (MISMATCH|KEPT STRETCH LOST|CRASH|HANG|no such enclosure)|PROMISE BROKEN|WRONG DISPATCH|model has it succeed'
recover="$dir/recover-bounded.md"
run_mode recover "$recover" '^- '

[ "$failed" -eq 0 ] && echo "campaign: passed (tables in $out, $oracle and $recover)"
exit "$failed"
