#!/usr/bin/env bash
# The setup on a bad day for the package mirror: stand-ins for apt-get, dpkg-query and sudo put on
# PATH make `apt-get update` fail as a mirror in mid-sync does, and can hold packages back as
# missing or uninstallable. Checks that
#   - `./dev.sh demo`, without a terminal, still installs what it can, builds and updates the
#     emulated enclosure to the end;
#   - `./dev.sh test STAGE` reports a package that cannot be installed as a skipped stage, with
#     apt's own reason, and does not end the run.
#   tests/setup/ci.sh [BUILD_DIR]     (the demo builds in build/; a built tree makes this quick)
set -uo pipefail
cd "$(dirname "$0")/../.."
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
mkdir -p "$fake/bin"
: >"$fake/missing" ; : >"$fake/broken"

cat >"$fake/bin/apt-get" <<'SH'
#!/usr/bin/env bash
# Stand-in apt-get: update fails like a mirror in mid-sync; install "installs" a package by
# taking it off the missing list, unless it is on the broken list.
echo "apt-get $*" >>"$FAKE_APT/calls"
for a in "$@"; do
  case $a in
    update)
      echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100 ;;
    install) install=1 ;;
  esac
done
[ -n "${install:-}" ] || exit 0
rc=0
for a in "$@"; do
  case $a in -*|install) continue ;; esac
  if grep -qx "$a" "$FAKE_APT/broken"; then
    echo "The following packages have unmet dependencies:"
    echo " $a : Depends: libstandin:i386 (= 1.0) but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    rc=100
  fi
done
[ "$rc" -eq 0 ] && for a in "$@"; do sed -i "/^$a\$/d" "$FAKE_APT/missing"; done
exit "$rc"
SH
cat >"$fake/bin/dpkg-query" <<'SH'
#!/usr/bin/env bash
# Stand-in dpkg-query: the packages on the missing list are not installed; the rest as dpkg says.
pkg=${!#}
if grep -qx "$pkg" "$FAKE_APT/missing"; then echo "unknown ok not-installed"; exit 1; fi
exec /usr/bin/dpkg-query "$@"
SH
printf '#!/bin/sh\nexec "$@"\n' >"$fake/bin/sudo"
chmod +x "$fake/bin/"*
export FAKE_APT=$fake PATH="$fake/bin:$PATH" Q55X_APT_RETRY_PAUSE=0
unset Q55X_APT_REFRESHED   # a run of dev.sh around this one may have refreshed already

passed=0 failed=0
check() {   # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then echo "  ok: $what"; passed=$((passed + 1)); else echo "  FAILED: $what"; failed=$((failed + 1)); fi
}

echo "-- ./dev.sh demo: apt-get update fails, one package to install, no terminal"
echo nlohmann-json3-dev >"$fake/missing"
out=$(./dev.sh demo </dev/null 2>&1); rc=$?
check "the demo ends with exit 0" [ "$rc" -eq 0 ]
check "a failed index is a warning" grep -q "warning: apt-get update did not complete" <<<"$out"
check "the missing package was installed" grep -q "^apt-get .*install .*nlohmann-json3-dev" "$fake/calls"
check "the update shows its progress" grep -q '^Programming Flash\.\.\.' <<<"$out"
check "the update passes" grep -q "Update    Pass!!" <<<"$out"
check "the enclosure reports the new firmware" grep -q "31.01.01.15" <<<"$out"
[ "$rc" -eq 0 ] || tail -n 20 <<<"$out"

echo "-- ./dev.sh test kernel: a package that cannot be installed"
echo qemu-system-x86 >"$fake/missing"; echo qemu-system-x86 >"$fake/broken"; : >"$fake/calls"
out=$(./dev.sh test kernel </dev/null 2>&1); rc=$?
check "the run ends with exit 0" [ "$rc" -eq 0 ]
check "the package is named with apt's reason" \
  grep -q "qemu-system-x86 could not be installed: qemu-system-x86 : Depends: libstandin:i386" <<<"$out"
check "the stage is skipped, with the package" grep -qE "^  kernel +SKIPPED .*qemu-system-x86" <<<"$out"
check "the closing line counts it apart" grep -q "^=== 0 passed, 0 failed; 1 skipped" <<<"$out"
check "nothing was built for it" bash -c "! grep -q 'booting' <<<\"\$1\"" _ "$out"
[ "$rc" -eq 0 ] || tail -n 20 <<<"$out"

echo "setup: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
