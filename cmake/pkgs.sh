# Debian packages: the one place that installs them, for dev.sh and every stage script.
#   . cmake/pkgs.sh
#   install_stage_pkgs STAGE...   install what the stages need (stage_pkgs), never ending the caller
#   install_pkgs PKG...           install the missing ones of these packages, never ending the caller
#   unavailable PKG...            prints "PKG: why" for each one still missing; status 1 if any is
#
# A package mirror in mid-sync is an ordinary day: `apt-get update` is tried a few times and an
# index that still fails is a warning; a package that cannot be installed is reported with apt's
# own words, and the stages that need it are skipped by their callers, not the whole run.

# What each stage needs. A stage whose packages are missing is skipped; "STAGE/run" lists what it
# needs only to run its tests (the Windows stages still build without wine).
declare -gA Q55X_STAGE_PKGS=(
  [native]="g++ cmake ninja-build googletest libcli11-dev nlohmann-json3-dev libudev-dev libsystemd-dev pkg-config"
  [gnustep]="gnustep-make libgnustep-base-dev libgnustep-gui-dev gnustep-back0.29 gobjc++ xvfb xauth imagemagick"
  [asan]=""
  [tsan]=""
  [win-i686]="g++-mingw-w64-i686-posix"
  [win-i686/run]="wine wine64 wine32:i386 fonts-wine"
  [win-x86_64]="g++-mingw-w64-x86-64-posix"
  [win-x86_64/run]="wine wine64 fonts-wine"
  [deb]="dpkg-dev"
  [campaign]=""
  [fuzz]="clang libclang-rt-14-dev"
  [kernel]="qemu-system-x86 busybox-static sg3-utils cpio kmod xz-utils zstd"
  [bench]="libbenchmark-dev"
)

# Every stage but fuzz builds with the native tool chain (the Windows stages run its generators).
stage_pkgs() {   # STAGE -> the packages, on one line
  local s=$1 base
  case $s in
    fuzz) base="cmake ninja-build libcli11-dev nlohmann-json3-dev" ;;
    */run) base="" ;;
    *) base=${Q55X_STAGE_PKGS[native]} ;;
  esac
  echo "$base ${Q55X_STAGE_PKGS[$s]:-}"
}

# Why a package is missing, as apt said it ("" when nothing was tried yet).
declare -gA Q55X_PKG_WHY=()

installed() {   # PKG -> status 0 when dpkg has it installed
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing() {
  local out=() p
  for p in "$@"; do installed "$p" || out+=("$p"); done
  echo "${out[@]:-}"
}

q55x_sudo() {
  if [ "$(id -u)" -ne 0 ]; then sudo "$@"; else "$@"; fi
}

# apt-get update, at most once per run of the caller, tried up to three times; a failed index
# that the install can do without is a warning (apt's own lines are shown).
Q55X_APT_REFRESHED=${Q55X_APT_REFRESHED:-}
apt_refresh() {
  [ -n "$Q55X_APT_REFRESHED" ] && return 0
  Q55X_APT_REFRESHED=1
  export Q55X_APT_REFRESHED
  local try out
  for try in 1 2 3; do
    if out=$(q55x_sudo apt-get -o DPkg::Lock::Timeout=120 update -qq 2>&1); then return 0; fi
    [ "$try" -lt 3 ] && sleep "${Q55X_APT_RETRY_PAUSE:-5}"
  done
  echo "== warning: apt-get update did not complete after 3 tries; installing from the indexes it has:"
  echo "$out" | grep -E '^(E|W):' | sed 's/^/   /'
  return 0
}

# The line that says why apt could not install PKG: the first unmet dependency it names, and its
# closing error.
apt_why() {   # apt output -> one line
  local dep err
  dep=$(grep -m1 -E '^ [^ ].* : (Depends|PreDepends|Conflicts|Breaks):' <<<"$1" | sed 's/^ *//')
  err=$(grep -m1 -E '^E: ' <<<"$1")
  [ -z "$dep$err" ] && err=$(tail -n 1 <<<"$1")
  echo "${dep:+$dep; }$err"
}

install_pkgs() {
  local need p out
  need=$(missing "$@")
  [ -z "$need" ] && return 0
  if [[ " $need " == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    q55x_sudo dpkg --add-architecture i386
    Q55X_APT_REFRESHED=
  fi
  echo "== installing: $need"
  apt_refresh
  # shellcheck disable=SC2086
  if DEBIAN_FRONTEND=noninteractive q55x_sudo apt-get -o DPkg::Lock::Timeout=120 install -y -qq \
       --no-install-recommends $need >/dev/null 2>&1; then
    return 0
  fi
  # One package that cannot be installed must not keep the others out: one at a time, keeping
  # apt's reason for each that fails.
  for p in $need; do
    installed "$p" && continue
    if ! out=$(DEBIAN_FRONTEND=noninteractive q55x_sudo apt-get -o DPkg::Lock::Timeout=120 install -y -q \
                 --no-install-recommends "$p" 2>&1); then
      Q55X_PKG_WHY[$p]=$(apt_why "$out")
      echo "== $p could not be installed: ${Q55X_PKG_WHY[$p]}"
    fi
  done
  return 0
}

install_stage_pkgs() {   # STAGE...
  local s all=()
  for s in "$@"; do
    # shellcheck disable=SC2207
    all+=($(stage_pkgs "$s"))
    [ -n "${Q55X_STAGE_PKGS[$s/run]+x}" ] && all+=(${Q55X_STAGE_PKGS[$s/run]})
  done
  # shellcheck disable=SC2046
  install_pkgs $(printf '%s\n' "${all[@]}" | awk 'NF && !seen[$0]++')
}

unavailable() {   # PKG... -> "PKG: why" per missing package; status 1 when any is missing
  local p rc=0
  for p in "$@"; do
    installed "$p" && continue
    echo "$p: ${Q55X_PKG_WHY[$p]:-not installed}"
    rc=1
  done
  return "$rc"
}

# For a stage script: installs what STAGE needs, or ends the script as skipped.
stage_needs() {   # STAGE
  install_stage_pkgs "$1"
  local why
  # shellcheck disable=SC2046
  why=$(unavailable $(stage_pkgs "$1")) && return 0
  skip_stage "$1" "${why//$'\n'/; }"
}

# Ends a stage script with status 77 (skipped), leaving the reason where dev.sh reads it.
skip_stage() {   # STAGE REASON
  echo "$1: skipped: $2"
  if [ -n "${Q55X_SKIP_NOTE:-}" ]; then echo "$2" >"$Q55X_SKIP_NOTE"; fi
  exit 77
}
