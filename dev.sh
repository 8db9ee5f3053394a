#!/usr/bin/env bash
# Q55x developer entry point.
#   ./dev.sh demo   install what is missing, build, and update an emulated QVR298 enclosure
#   ./dev.sh test   install what is missing, build everything, run every test suite
#   ./dev.sh deps   only install what is missing
set -euo pipefail
cd "$(dirname "$0")"
JOBS=${JOBS:-2}

NATIVE_PKGS=(g++ cmake ninja-build googletest libcli11-dev nlohmann-json3-dev)
GNUSTEP_PKGS=(gnustep-make libgnustep-base-dev libgnustep-gui-dev gnustep-back0.29 gobjc++ xvfb xauth imagemagick)
WIN_PKGS=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386 fonts-wine)

# shellcheck source=cmake/pkgs.sh
. cmake/pkgs.sh

build_native() {   # dir [extra cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_ctest() {      # dir label [ctest args...]
  echo "== tests: $2"
  local dir=$1 rc
  shift 2
  set +e
  ctest --test-dir "$dir" -j "$JOBS" --timeout 120 --output-on-failure "$@" 2>&1 \
    | grep -vE '^ +Start +[0-9]+: |Test +#[0-9]+: .* Passed '
  rc=${PIPESTATUS[0]}
  set -e
  return "$rc"
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

cmd_demo() {
  install_pkgs "${NATIVE_PKGS[@]}"
  build_native build
  local q=build/cli/q55x state
  state=$(mktemp -d)/enclosure.state
  echo "== an emulated QVR298 enclosure at firmware 31.01.01.10"
  "$q" --sim "qvr298,fw=31.01.01.10,state=$state" list
  echo "== the one-button update"
  "$q" --sim "qvr298,state=$state" update
  echo "== the same enclosure afterwards"
  "$q" --sim "qvr298,state=$state" info
}

# The GNUstep build of FwUpdateMac.app: its tests under a virtual X server, then one emulated
# update driven end to end through the windows.
gnustep_stage() {
  echo "== GNUstep front end: FwUpdateMac.app"
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

# The Debian package of the Linux tool: build it, install it, use it once, remove it.
debian_package() {
  echo "== tests: Debian package"
  (cd build && cpack -G DEB >/dev/null) || return 1
  local deb
  deb=$(ls -t build/q55x-*.deb | head -n 1)
  dpkg -i "$deb" >/dev/null || return 1
  local rc=0 out
  out=$(cd / && HOME=$(mktemp -d) q55x --sim qvr298,fw=31.01.01.10 update --yes) || rc=1
  echo "$out" | grep -q "Update    Pass!!" || rc=1
  man -w q55x >/dev/null 2>&1 || [ -f /usr/share/man/man1/q55x.1 ] || rc=1
  [ -f /usr/lib/udev/rules.d/60-q55x.rules ] || [ -f /lib/udev/rules.d/60-q55x.rules ] || rc=1
  dpkg -r q55x >/dev/null
  if [ "$rc" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
  return "$rc"
}

cmd_test() {
  install_pkgs "${NATIVE_PKGS[@]}" "${GNUSTEP_PKGS[@]}" "${WIN_PKGS[@]}"
  local failed=0
  build_native build
  run_ctest build "native" -E MacApp || failed=1
  gnustep_stage || failed=1

  build_native build-asan -DQ55X_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan "address + undefined sanitizers" -E MacApp || failed=1

  wine_env
  for arch in i686 x86_64; do
    cmake -S . -B "build-win-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" >/dev/null
    cmake --build "build-win-$arch" -j "$JOBS"
    run_ctest "build-win-$arch" "Windows $arch under wine" || failed=1
    local exe="build-win-$arch/win_app/Q55xFwTool.exe" report="build-win-$arch/win_app/r.json"
    echo "== Q55xFwTool.exe ($arch): imports and an unattended update of an emulated QVR298"
    if "$arch-w64-mingw32-objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' \
        | grep -vxE '(kernel32|user32|gdi32|comctl32|comdlg32|shell32|setupapi|version|msvcrt|advapi32|ole32|ucrtbase|api-ms-win-.*)\.dll' \
        | grep .; then
      echo "== $exe imports a DLL that is not part of the system"; failed=1
    fi
    rm -f "$report"
    if ! timeout 120 wine "$exe" --sim qvr298,fw=31.01.01.10 --auto-update --report "$report" </dev/null; then
      echo "== $exe --auto-update did not pass"; failed=1
    elif ! grep -q '"result":"Update    Pass!!"' "$report"; then
      echo "== $report does not show \"Update    Pass!!\""; failed=1
    fi
  done
  wineserver -k || true

  debian_package || failed=1

  # Stages that live beside their programs: each script builds what else it needs, prints its
  # own summary and exits non-zero on failure.
  local stage
  for stage in tests/campaign/ci.sh fuzz/ci.sh tests/kernel_e2e/ci.sh bench/ci.sh; do
    [ -x "$stage" ] || continue
    echo "== stage: $stage"
    JOBS=$JOBS "./$stage" build || failed=1
  done

  if [ "$failed" -ne 0 ]; then echo "== some test suites failed"; exit 1; fi
  echo "== all test suites passed"
}

case "${1:-test}" in
  demo) cmd_demo ;;
  test) cmd_test ;;
  deps) install_pkgs "${NATIVE_PKGS[@]}" "${GNUSTEP_PKGS[@]}" "${WIN_PKGS[@]}" ;;
  *) echo "usage: $0 demo|test|deps" >&2; exit 64 ;;
esac
