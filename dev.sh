#!/usr/bin/env bash
# Q55x developer entry point.
#   ./dev.sh demo   install what is missing, build, and update an emulated QVR298 enclosure
#   ./dev.sh test   install what is missing, build everything, run every test suite
#   ./dev.sh deps   only install what is missing
set -euo pipefail
cd "$(dirname "$0")"
JOBS=${JOBS:-2}

NATIVE_PKGS=(g++ cmake ninja-build googletest libcli11-dev nlohmann-json3-dev)
WIN_PKGS=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386 fonts-wine)

missing() {
  local out=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || out+=("$p")
  done
  echo "${out[@]:-}"
}

install_pkgs() {
  local need
  need=$(missing "$@")
  [ -z "$need" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  if [[ " $need " == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  echo "== installing: $need"
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $need >/dev/null
}

build_native() {   # dir [extra cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_ctest() {      # dir label
  echo "== tests: $2"
  local rc
  set +e
  ctest --test-dir "$1" -j "$JOBS" --timeout 120 --output-on-failure 2>&1 \
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

cmd_test() {
  install_pkgs "${NATIVE_PKGS[@]}" "${WIN_PKGS[@]}"
  local failed=0
  build_native build
  run_ctest build "native" || failed=1

  build_native build-asan -DQ55X_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan "address + undefined sanitizers" || failed=1

  wine_env
  for arch in i686 x86_64; do
    cmake -S . -B "build-win-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" >/dev/null
    cmake --build "build-win-$arch" -j "$JOBS"
    run_ctest "build-win-$arch" "Windows $arch under wine" || failed=1
  done
  wineserver -k || true

  if [ "$failed" -ne 0 ]; then echo "== some test suites failed"; exit 1; fi
  echo "== all test suites passed"
}

case "${1:-test}" in
  demo) cmd_demo ;;
  test) cmd_test ;;
  deps) install_pkgs "${NATIVE_PKGS[@]}" "${WIN_PKGS[@]}" ;;
  *) echo "usage: $0 demo|test|deps" >&2; exit 64 ;;
esac
