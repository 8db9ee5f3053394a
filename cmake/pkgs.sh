# Installing missing Debian packages, shared by dev.sh and the stage scripts it runs.
#   . cmake/pkgs.sh; install_pkgs PKG...

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
