#!/usr/bin/env bash
# The fuzzing stage: builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded time, two at a time. Exits 1 when a target crashes, leaks or hangs, naming the input
# that does it (the reproducer) and the command that replays it.
#   ./fuzz/ci.sh build            install clang if missing, build, run every target (FUZZ_SECONDS each)
#   ./fuzz/ci.sh run TARGET...    run only these targets (built already)
# Environment: JOBS (build jobs and targets run at once, default 2), FUZZ_SECONDS (default 60),
# FUZZ_BUILD (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD:-build-fuzz}
ALL_TARGETS=(fuzz_image fuzz_chip_id fuzz_flash_detect fuzz_settings fuzz_sim_config)

# The largest input each target is given: whole two-bank images (2 x 128 KiB and a little) for the
# image model, a few KiB elsewhere.
max_len() {
  case $1 in
    fuzz_image) echo 270000 ;;
    fuzz_settings) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

build_targets() {
  # shellcheck source=cmake/pkgs.sh
  . cmake/pkgs.sh
  stage_needs fuzz
  mkdir -p "$BUILD"
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DQ55X_FUZZ=ON -DQ55X_BUILD_TESTS=OFF -DQ55X_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD/configure.log" 2>&1 \
    || { cat "$BUILD/configure.log"; return 1; }
  cmake --build "$BUILD" -j "$JOBS" --target q55x_fuzz
  # Seed images: the native build's, or our generator's run in this build.
  if [ ! -f build/images/FW_FOR_UPDATE.FW ]; then
    cmake --build "$BUILD" -j "$JOBS" --target q55x_images
  fi
}

image_dir() {
  if [ -f build/images/FW_FOR_UPDATE.FW ]; then echo build/images; else echo "$BUILD/images"; fi
}

# Seeds are laid out at every run: the committed text seeds, the generated images, and small
# scripted device replies (flags, length low, length high, data) written here.
seed_corpus() {   # target dir
  local t=$1 dir=$2
  mkdir -p "$dir"
  if [ -d "fuzz/seeds/$t" ]; then cp fuzz/seeds/"$t"/* "$dir"/ 2>/dev/null || true; fi
  case $t in
    fuzz_image)
      local imgs
      imgs=$(image_dir)
      find "$imgs" -maxdepth 2 -type f -exec cp {} "$dir"/ \;
      ;;
    fuzz_chip_id)
      # Two chooser bytes (chip type, flash type), then: an inquiry with its chip code at 36; or
      # an inquiry without one, the GPIO word and a chip information record with its F4 E7 mark.
      printf '\x11\x00\x00\x28\x00%sq298' "$(printf '%036d' 0)" >"$dir/inquiry-q298"
      printf '\x11\x00\x00\x28\x00%s\x00\x02\x00\x00\x00\x00\x10\x00\xf4\xe7\x72\x8d\x7a\x3c\x01\x00298\x31\x1f\x01\x01\x0a' \
        "$(printf '%040d' 0)" >"$dir/chipinfo-298"
      ;;
    fuzz_flash_detect)
      # Chip QVR298 (17), revision 0, first variant; the chip reports type 0, then JEDEC replies.
      printf '\x11\x00\x00\x00\x04\x00\x00\x00\x00\x00\x00\x04\x00\xef\x40\x18\x00' >"$dir/winbond-16m"
      printf '\x0d\x00\x01\x00\x04\x00\x00\x00\x00\x00\x00\x04\x00\xc2\x20\x13\x00' >"$dir/mxic-512k"
      printf '\x09\x00\x00\x00\x04\x00\x03\x00\x00\x00\x00\x04\x00\x7f\x37\x20\x12' >"$dir/amic"
      ;;
  esac
}

run_target() {   # target -> exit status of libFuzzer
  local t=$1 exe="$BUILD/fuzz/$1"
  local corpus="$BUILD/corpus/$t" artifacts="$BUILD/artifacts/$t" log="$BUILD/logs/$t.log"
  mkdir -p "$artifacts" "$(dirname "$log")"
  seed_corpus "$t" "$corpus"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$exe" "$corpus" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
    -max_len="$(max_len "$t")" -artifact_prefix="$artifacts/" -print_final_stats=1 >"$log" 2>&1
}

PASSED=0
FAILED=0

report() {   # target status
  local t=$1 rc=$2 log="$BUILD/logs/$1.log"
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$rc" -eq 0 ]; then
    PASSED=$((PASSED + 1))
    echo "$t: ok, ${execs:-?} inputs in ${FUZZ_SECONDS} s, corpus $(find "$BUILD/corpus/$t" -type f | wc -l) files"
    return 0
  fi
  FAILED=$((FAILED + 1))
  echo "$t: FAILED (exit $rc)"
  grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|ALARM|.*Test unit written to)' "$log" | head -n 20 || true
  local repro
  repro=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
  if [ -n "$repro" ]; then
    echo "  reproducer: $repro"
    echo "  replay:     $BUILD/fuzz/$t $repro"
  fi
  echo "  full log:   $log"
  return 1
}

run_all() {   # targets...
  local failed=0 running=() t i
  declare -A pid_of=()
  for t in "$@"; do
    if [ ! -x "$BUILD/fuzz/$t" ]; then echo "$t: not built"; FAILED=$((FAILED + 1)); failed=1; continue; fi
    run_target "$t" &
    pid_of[$t]=$!
    running+=("$t")
    if [ "${#running[@]}" -ge "$JOBS" ]; then
      wait_first running pid_of || failed=1
    fi
  done
  while [ "${#running[@]}" -gt 0 ]; do wait_first running pid_of || failed=1; done
  return "$failed"
}

# Waits for the oldest running target and reports it.
wait_first() {   # name-of-array name-of-map
  local -n _running=$1 _pids=$2
  local t=${_running[0]} rc=0
  wait "${_pids[$t]}" || rc=$?
  _running=("${_running[@]:1}")
  report "$t" "$rc"
}

case "${1:-build}" in
  build)
    build_targets
    echo "== fuzzing: ${#ALL_TARGETS[@]} targets, ${FUZZ_SECONDS} s each, $JOBS at a time"
    rc=0
    run_all "${ALL_TARGETS[@]}" || rc=1
    [ "$rc" -eq 0 ] || echo "== fuzzing found a fault (see above)"
    echo "fuzz: $PASSED passed, $FAILED failed"
    exit "$rc"
    ;;
  run)
    shift
    run_all "${@:-${ALL_TARGETS[@]}}" || exit 1
    ;;
  *) echo "usage: $0 build | run [TARGET...]" >&2; exit 64 ;;
esac
