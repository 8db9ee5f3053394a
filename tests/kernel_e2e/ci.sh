#!/usr/bin/env bash
# The real-kernel end-to-end stage: q55x and sg3_utils against an emulated QVR298 that sits on a
# USB bus of a real Linux kernel, reached through usb-storage, the SCSI mid-layer and SG_IO.
#
#   tests/kernel_e2e/ci.sh [BUILD_DIR]      (default build-kernel-e2e; dev.sh passes "build")
#
# It installs what it needs (Debian packages, and Debian's own kernel unpacked into the build
# tree), builds q55x and the gadget program in BUILD_DIR, packs a small initramfs (busybox,
# sg3_utils, q55x, the gadget, the modules), boots it under QEMU (TCG: the KVM of these machines
# does not run a stock kernel) and reads the guest's verdicts from its console. Everything it
# writes goes to BUILD_DIR/kernel_e2e/: guest.log (the console), timing.txt (q55x against
# sg_write_buffer). Exit status 1 when any check fails or the guest does not finish.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build-kernel-e2e}
JOBS=${JOBS:-2}
HERE=tests/kernel_e2e
OUT=$BUILD/kernel_e2e
mkdir -p "$OUT"

# shellcheck source=../../cmake/pkgs.sh
. cmake/pkgs.sh
stage_needs kernel
skip() { skip_stage kernel-e2e "$*"; }

[ -f "$BUILD/build.ninja" ] || cmake -S . -B "$BUILD" -G Ninja -DQ55X_WERROR=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target q55x q55x-ffs-bridge q55x_images

# Debian's kernel, the one linux-image-amd64 stands for, unpacked once per build tree.
kernel_version() {
  apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: linux-image-\(.*\)$/\1/p' | head -n 1
}
kver=$(kernel_version)
if [ -z "$kver" ]; then
  apt_refresh
  kver=$(kernel_version)
fi
[ -n "$kver" ] || skip "the package indexes name no linux-image-amd64 kernel"
KROOT=$OUT/kernel
if [ ! -f "$KROOT/boot/vmlinuz-$kver" ] || [ ! -f "$KROOT/lib/modules/$kver/modules.dep" ]; then
  echo "== kernel $kver"
  rm -rf "$KROOT" && mkdir -p "$KROOT"
  rm -f "$OUT"/linux-image-"$kver"_*.deb
  for try in 1 2 3; do
    dl=$(cd "$OUT" && apt-get download -q "linux-image-$kver" 2>&1) && break
    [ "$try" -lt 3 ] && sleep "${Q55X_APT_RETRY_PAUSE:-5}"
  done
  ls "$OUT"/linux-image-"$kver"_*.deb >/dev/null 2>&1 \
    || skip "linux-image-$kver could not be downloaded: $(grep -m1 '^E:' <<<"$dl")"
  dpkg-deb -x "$OUT"/linux-image-"$kver"_*.deb "$KROOT"
  rm -f "$OUT"/linux-image-"$kver"_*.deb
  depmod -b "$KROOT" "$kver"
fi

# --- the initramfs
ROOT=$(mktemp -d "$OUT/root.XXXXXX")
trap 'rm -rf "$ROOT"' EXIT
mkdir -p "$ROOT"/{bin,sbin,usr/bin,usr/share/q55x,lib/mods,proc,sys,dev,tmp,run}
cp /bin/busybox "$ROOT"/bin/busybox
for a in $("$ROOT"/bin/busybox --list); do [ "$a" = busybox ] || ln -sf busybox "$ROOT/bin/$a"; done

MODS="sg sd_mod scsi_debug configfs usbcore dummy_hcd libcomposite usb_f_fs usb-storage vfat nls_cp437 nls_ascii"
for m in $MODS; do
  modprobe -d "$KROOT" -S "$kver" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
  b=$(basename "$ko")
  case "$ko" in
    *.xz)  xz -dc "$ko" > "$ROOT/lib/mods/${b%.xz}"; b=${b%.xz} ;;
    *.zst) zstd -qdc "$ko" > "$ROOT/lib/mods/${b%.zst}"; b=${b%.zst} ;;
    *)     cp "$ko" "$ROOT/lib/mods/$b" ;;
  esac
  echo "$b" >> "$ROOT"/lib/mods/order
done

progs=("$BUILD/cli/q55x" "$BUILD/tests/kernel_e2e/q55x-ffs-bridge")
for t in sg_raw sg_inq sg_readcap sg_turs sg_map sg_write_buffer; do progs+=("$(command -v "$t")"); done
cp "${progs[@]}" "$ROOT"/usr/bin/
for p in "${progs[@]}"; do ldd "$p" | awk '/=> \// { print $3 } /^\t\/lib/ { print $1 }' || true; done | sort -u |
  while read -r lib; do mkdir -p "$ROOT$(dirname "$lib")"; cp -L "$lib" "$ROOT$lib"; done
[ -e "$ROOT"/lib64/ld-linux-x86-64.so.2 ] || { mkdir -p "$ROOT"/lib64; cp -L /lib64/ld-linux-x86-64.so.2 "$ROOT"/lib64/; }
cp -r "$BUILD"/images "$ROOT"/usr/share/q55x/images
# The guest's root is mktemp's (0700): open it, so that the check run as another user can start.
chmod 755 "$ROOT"
mkdir -p "$ROOT"/etc
printf 'root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/tmp:/bin/sh\n' > "$ROOT"/etc/passwd
printf 'root:x:0:\nnogroup:x:65534:\n' > "$ROOT"/etc/group
cp "$HERE"/guest/init "$ROOT"/init
cp "$HERE"/guest/checks.sh "$ROOT"/checks.sh
chmod +x "$ROOT"/init "$ROOT"/checks.sh
(cd "$ROOT" && find . | cpio -o -H newc --quiet) | gzip -1 > "$OUT"/initramfs.cpio.gz

# --- the guest
echo "== booting $kver under QEMU (TCG)"
start=$(date +%s)
set +e
timeout "${BOOT_TIMEOUT:-600}" qemu-system-x86_64 -accel tcg,thread=multi -cpu max -m 1024 -smp 2 \
  -nographic -no-reboot -net none -kernel "$KROOT/boot/vmlinuz-$kver" -initrd "$OUT"/initramfs.cpio.gz \
  -append "console=ttyS0 quiet loglevel=4 panic=-1" < /dev/null > "$OUT"/guest.log 2>&1
qrc=$?
set -e
tr -d '\r' < "$OUT"/guest.log > "$OUT"/guest.log.tmp && mv "$OUT"/guest.log.tmp "$OUT"/guest.log
echo "== guest finished in $(( $(date +%s) - start )) s (qemu exit $qrc); console: $OUT/guest.log"

grep -a 'GUEST: \(PASS\|FAIL\)' "$OUT"/guest.log || true
passed=$(grep -ac 'GUEST: PASS' "$OUT"/guest.log || true)
failed=$(grep -ac 'GUEST: FAIL' "$OUT"/guest.log || true)
result=$(sed -n 's/.*GUEST: RESULT rc=\([0-9]*\).*/\1/p' "$OUT"/guest.log)

# q55x against sg_write_buffer: the same image in the same 4096-byte WRITE BUFFER mode 0x0E chunks.
# "ms per chunk" runs from one chunk's CBW to the next, as the gadget saw them; "device ms" is the
# gadget's share (data phase, the emulated flash programming, status); "host ms" is the rest: the
# tool and the kernel's SCSI and USB stack. Device times differ with what the flash must erase
# first (sg_write_buffer runs on the old image, q55x after it), so compare the host column.
grep -a 'GUEST: TIMING' "$OUT"/guest.log | sed 's/.*GUEST: TIMING //' | awk '
  { tool = $1; for (i = 2; i <= NF; i++) { split($i, kv, "="); v[tool, kv[1]] = kv[2] } tools[++n] = tool }
  END {
    printf "%-16s %8s %14s %14s %14s %10s\n", "tool", "chunks", "ms per chunk", "device ms", "host ms", "wall s"
    for (i = 1; i <= n; i++) { t = tools[i]
      printf "%-16s %8d %14.2f %14.2f %14.2f %10s\n", t, v[t, "chunks"], v[t, "cycle_us"] / 1000,
             v[t, "device_us"] / 1000, (v[t, "cycle_us"] - v[t, "device_us"]) / 1000, v[t, "wall_s"] }
    q = v["q55x", "cycle_us"] - v["q55x", "device_us"]; s = v["sg_write_buffer", "cycle_us"] - v["sg_write_buffer", "device_us"]
    if (q > 0 && s > 0)
      printf "host time per chunk (tool + kernel stack, device excluded): q55x %.2f ms, sg_write_buffer %.2f ms, ratio %.2f\n", q / 1000, s / 1000, q / s
  }' | tee "$OUT"/timing.txt

if [ -z "$result" ]; then
  echo "== the guest did not finish (see $OUT/guest.log)"
  failed=$((failed + 1))
fi
echo "kernel-e2e: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "${result:-1}" = 0 ]
