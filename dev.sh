#!/usr/bin/env bash
# Q55x developer entry point.
#   ./dev.sh demo              install what is missing, build, and update an emulated QVR298 enclosure
#   ./dev.sh test [STAGE...]   install what is missing, build, run the named stages (no name: all)
#   ./dev.sh deps [STAGE...]   only install what is missing
#   ./dev.sh stages            list the stages
# A stage that fails does not stop the others; one whose packages cannot be installed is skipped
# and counted apart. The summary gives every stage's result and wall time.
set -uo pipefail
cd "$(dirname "$0")"
JOBS=${JOBS:-2}
export JOBS

STAGES=(native gnustep asan tsan win-i686 win-x86_64 deb campaign fuzz kernel bench)
declare -A STAGE_WHAT=(
  [native]="the native build and its tests; the setup's own test with a failing package mirror"
  [gnustep]="FwUpdateMac.app against GNUstep: its tests under Xvfb and one update through its windows"
  [asan]="the native tests under the address and undefined-behaviour sanitizers"
  [tsan]="q55x's runs over every device at once (update --all, flash --all) under the thread sanitizer"
  [win-i686]="Q55xFwTool.exe for 32-bit Windows: build, imports, tests and one update under wine"
  [win-x86_64]="Q55xFwTool.exe for 64-bit Windows: build, imports, tests and one update under wine"
  [deb]="the Debian package of q55x: built, installed, used once, removed"
  [campaign]="the power-cut campaign and fault matrix, bounded form"
  [fuzz]="the libFuzzer targets, about 60 s each"
  [kernel]="q55x and sg3_utils over a real kernel's usb-storage stack in a QEMU guest"
  [bench]="the benchmark's goals, short form"
)

# shellcheck source=cmake/pkgs.sh
. cmake/pkgs.sh

# Our builds treat warnings as errors; a plain cmake build does not. The native build is the
# Release build users and packagers make (-O3 finds warnings -O2 does not); the sanitizer build is
# the Debug one.
build_native() {   # dir [extra cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQ55X_WERROR=ON "$@" >/dev/null \
    && cmake --build "$dir" -j "$JOBS"
}

run_ctest() {      # dir label [ctest args...]
  echo "== tests: $2"
  local dir=$1
  shift 2
  ctest --test-dir "$dir" -j "$JOBS" --timeout 120 --output-on-failure "$@" 2>&1 \
    | grep -vE '^ +Start +[0-9]+: |Test +#[0-9]+: .* Passed '
  return "${PIPESTATUS[0]}"
}

wine_env() {
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX="$PWD/build-wine/prefix"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wineserver -w
  fi
  wineserver -p
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
}

# The demo builds the one program it runs (q55x and the generators its images come from), not the
# test programs, and says what it does before each step.
cmd_demo() {
  set -e
  echo "== 1/5 packages: installing what the build needs and is missing (g++, cmake, ninja, CLI11, nlohmann-json, libudev, libsystemd)"
  install_stage_pkgs native
  if ! why=$(unavailable $(stage_pkgs native)); then
    echo "$why"
    echo "== the demo needs these packages"
    exit 1
  fi
  echo "== 2/5 building q55x alone in ./build (Release, warnings are errors; the test programs are left for ./dev.sh test)"
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQ55X_WERROR=ON >/dev/null
  cmake --build build -j "$JOBS" --target q55x
  local q=build/cli/q55x state
  state=$(mktemp -d)/enclosure.state
  echo "== 3/5 an emulated QVR298 enclosure at firmware 31.01.01.10 (its flash kept in $state)"
  echo "\$ q55x --sim qvr298,fw=31.01.01.10,state=$state list"
  "$q" --sim "qvr298,fw=31.01.01.10,state=$state" list
  # The enclosure is one the demo made itself: it answers the update's question itself.
  echo "== 4/5 the one-button update: a backup of the flash, the embedded image through the RAM buffer, read back, reset"
  echo "\$ q55x --sim qvr298,state=$state update --yes"
  "$q" --sim "qvr298,state=$state" update --yes
  echo "== 5/5 the same enclosure afterwards"
  echo "\$ q55x --sim qvr298,state=$state info"
  "$q" --sim "qvr298,state=$state" info
  echo "== done: build/cli/q55x --help lists the commands; man packaging/q55x.1 is the manual page"
}

stage_native() {
  build_native build || return 1
  local rc=0
  run_ctest build "native" -E MacApp || rc=1
  echo "== the setup with a failing package mirror"
  tests/setup/ci.sh build || rc=1
  return "$rc"
}

# The GNUstep build of FwUpdateMac.app: its tests under a virtual X server, then one emulated
# update driven end to end through the windows.
stage_gnustep() {
  build_native build || return 1
  if [ ! -x build/FwUpdateMac.app/FwUpdateMac ]; then
    echo "FwUpdateMac.app was not built"
    return 1
  fi
  local tmp
  tmp=$(mktemp -d)
  if ! (cd build && HOME="$tmp" xvfb-run -a ctest -R 'Raid|Mac' --timeout 120 --output-on-failure) >"$tmp/ctest.txt" 2>&1; then
    cat "$tmp/ctest.txt"
    return 1
  fi
  grep -E 'tests passed' "$tmp/ctest.txt"
  if ! grep -qE 'MacAppControllerTests .* Passed' "$tmp/ctest.txt"; then
    echo "the window's tests (MacAppControllerTests) did not run"
    return 1
  fi
  if ! HOME="$tmp" xvfb-run -a build/FwUpdateMac.app/FwUpdateMac --sim "qvr298,fw=31.01.01.10,state=$tmp/e.state" \
       --auto-continue --report "$tmp/r.json" -GSX11HandlesWindowDecorations NO >"$tmp/out.txt" 2>&1; then
    cat "$tmp/out.txt"
    echo "FwUpdateMac --auto-continue did not end in Success"
    return 1
  fi
  grep -q '"state": "Success"' "$tmp/r.json" || { cat "$tmp/r.json"; return 1; }
  build/cli/q55x --sim "qvr298,state=$tmp/e.state" info | grep -q 'firmware  31.01.01.15' \
    || { echo "the emulated chip does not report 31.01.01.15 after the update"; return 1; }
  echo "FwUpdateMac: Success, the enclosure now reports 31.01.01.15"
}

stage_asan() {
  build_native build-asan -DQ55X_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug || return 1
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest build-asan "address + undefined sanitizers" -E MacApp
}

# The worker threads of `update --all` and `flash --all` share the session and the transport: the
# CLI's tests that run them, under the thread sanitizer.
stage_tsan() {
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQ55X_WERROR=ON -DQ55X_TSAN=ON >/dev/null \
    && cmake --build build-tsan -j "$JOBS" --target cli_tests || return 1
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build-tsan/tests/cli_tests --gtest_filter='*All*:*AtOnce*'
}

# Q55xFwTool.exe for one architecture: built and its imports checked in any case; its tests and one
# unattended update under wine when wine for that architecture could be installed. The native
# build's generators make its images and icon, so building needs no wine.
windows_stage() {   # arch
  local arch=$1 dir="build-win-$1"
  build_native build || return 1
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DQ55X_WERROR=ON \
    -DQ55X_HOST_TOOLS="$PWD/build" >/dev/null && cmake --build "$dir" -j "$JOBS" || return 1
  local exe="$dir/win_app/Q55xFwTool.exe" report="$dir/win_app/r.json"
  echo "== Q55xFwTool.exe ($arch): imports"
  if "$arch-w64-mingw32-objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' \
      | grep -vxE '(kernel32|user32|gdi32|comctl32|comdlg32|shell32|setupapi|version|msvcrt|advapi32|ole32|ucrtbase|api-ms-win-.*)\.dll' \
      | grep .; then
    echo "== $exe imports a DLL that is not part of the system"
    return 1
  fi
  local why
  # shellcheck disable=SC2086
  if ! why=$(unavailable ${Q55X_STAGE_PKGS[win-$arch/run]}); then
    echo "$why"
    echo "built, imports checked; its tests under wine are skipped (${why//$'\n'/; })" | tee "$Q55X_SKIP_NOTE"
    return 77
  fi
  wine_env
  local rc=0 first=0 log="$dir/ctest-under-wine.txt"
  run_ctest "$dir" "Windows $arch under wine" | tee "$log" || first=1
  if [ "$first" -ne 0 ]; then
    # Wine now and then crashes a test process as it exits, after its test has passed. Crashed
    # tests (and only those) run once more, and the log says which; a test that fails or crashes
    # twice fails the stage.
    local failed crashed
    failed=$(sed -n '/tests FAILED:/,$p' "$log" | grep -cE '^\s+[0-9]+ - ' || true)
    crashed=$(sed -n '/tests FAILED:/,$p' "$log" | grep -E '^\s+[0-9]+ - .*\((SEGFAULT|Exception|OTHER_FAULT|BUS_ERROR|ILLEGAL)\)' || true)
    if [ -n "$crashed" ] && [ "$(grep -c . <<<"$crashed")" -eq "$failed" ]; then
      echo "== crashed under wine, run once more:"; echo "$crashed"
      run_ctest "$dir" "the crashed tests once more" --rerun-failed || rc=1
    else
      rc=1
    fi
  fi
  echo "== Q55xFwTool.exe ($arch): an unattended update of an emulated QVR298"
  rm -f "$report"
  if ! timeout 120 wine "$exe" --sim qvr298,fw=31.01.01.10 --auto-update --report "$report" </dev/null; then
    echo "== $exe --auto-update did not pass"; rc=1
  elif ! grep -q '"result":"Update    Pass!!"' "$report"; then
    echo "== $report does not show \"Update    Pass!!\""; rc=1
  fi
  wineserver -k 2>/dev/null || true
  return "$rc"
}
stage_win_i686() { windows_stage i686; }
stage_win_x86_64() { windows_stage x86_64; }

# The Debian package of the Linux tool: build it, install it, use it once, remove it.
stage_deb() {
  build_native build || return 1
  (cd build && cpack -G DEB >/dev/null) || return 1
  local deb
  deb=$(ls -t build/q55x-*.deb | head -n 1)
  dpkg -i "$deb" >/dev/null || return 1
  local rc=0 out
  out=$(cd / && HOME=$(mktemp -d) q55x --sim qvr298,fw=31.01.01.10 update --yes) || rc=1
  echo "$out" | grep -q "Update    Pass!!" || { echo "the installed q55x did not pass its update"; rc=1; }
  man -w q55x >/dev/null 2>&1 || [ -f /usr/share/man/man1/q55x.1 ] || { echo "no manual page"; rc=1; }
  [ -f /usr/lib/udev/rules.d/60-q55x.rules ] || [ -f /lib/udev/rules.d/60-q55x.rules ] || { echo "no udev rule"; rc=1; }
  dpkg -r q55x >/dev/null
  return "$rc"
}

# Stages that live beside their programs: each script builds what else it needs, prints its own
# summary and exits 1 on failure, 77 when it cannot run here (with its reason in $Q55X_SKIP_NOTE).
stage_campaign() { build_native build && tests/campaign/ci.sh build; }
stage_fuzz() { fuzz/ci.sh build; }
stage_kernel() { build_native build && tests/kernel_e2e/ci.sh build; }
stage_bench() { build_native build && bench/ci.sh build; }

declare -A RESULT=() WALL=() WHY=()

run_stage() {   # stage
  local s=$1 start rc why
  echo
  echo "=== stage $s: ${STAGE_WHAT[$s]}"
  start=$(date +%s)
  # shellcheck disable=SC2046
  Q55X_SKIP_NOTE=$(mktemp)
  export Q55X_SKIP_NOTE
  if why=$(unavailable $(stage_pkgs "$s")); then
    ( set -e; "stage_${s//-/_}" )
    rc=$?
    why=$(cat "$Q55X_SKIP_NOTE")
  else
    echo "$why"
    rc=77
  fi
  rm -f "$Q55X_SKIP_NOTE"
  WALL[$s]=$(( $(date +%s) - start ))
  case $rc in
    0) RESULT[$s]=passed ;;
    77) RESULT[$s]=SKIPPED; WHY[$s]=${why:-"see its output above"} ;;
    *) RESULT[$s]=FAILED ;;
  esac
  echo "=== stage $s: ${RESULT[$s]} in ${WALL[$s]} s"
}

cmd_test() {
  local s selected=("$@")
  [ ${#selected[@]} -eq 0 ] && selected=("${STAGES[@]}")
  for s in "${selected[@]}"; do
    [ -n "${STAGE_WHAT[$s]+x}" ] || { echo "unknown stage: $s (stages: ${STAGES[*]})" >&2; exit 64; }
  done
  local t0
  t0=$(date +%s)
  echo "=== packages"
  install_stage_pkgs "${selected[@]}"
  for s in "${selected[@]}"; do run_stage "$s"; done

  local passed=0 failed=0 skipped=0
  echo
  echo "=== summary"
  for s in "${selected[@]}"; do
    printf '  %-11s %-8s %5d s%s\n' "$s" "${RESULT[$s]}" "${WALL[$s]}" "${WHY[$s]:+   ${WHY[$s]//$'\n'/; }}"
    case ${RESULT[$s]} in passed) passed=$((passed + 1)) ;; SKIPPED) skipped=$((skipped + 1)) ;; *) failed=$((failed + 1)) ;; esac
  done
  echo "=== $passed passed, $failed failed; $skipped skipped; $(( $(date +%s) - t0 )) s in all"
  [ "$failed" -eq 0 ]
}

case "${1:-test}" in
  demo) cmd_demo ;;
  test) shift $(( $# > 0 ? 1 : 0 )); cmd_test "$@" ;;
  deps) shift; install_stage_pkgs "${@:-${STAGES[@]}}" ;;
  stages) for s in "${STAGES[@]}"; do printf '%-11s %s\n' "$s" "${STAGE_WHAT[$s]}"; done ;;
  *) echo "usage: $0 demo | test [STAGE...] | deps [STAGE...] | stages" >&2; exit 64 ;;
esac
