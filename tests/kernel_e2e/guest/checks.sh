#!/bin/sh
# Runs in the guest. The emulated QVR298 becomes a USB gadget (configfs + FunctionFS) that
# dummy_hcd loops back to the host side of this kernel, where usb-storage binds to it; q55x and
# sg3_utils then reach it through SG_IO like any enclosure on a cable. One line per check:
#   GUEST: PASS|FAIL name ...     and for the timing comparison:
#   GUEST: TIMING tool chunks=N cycle_us=C device_us=D wall_s=W
SIM=${SIM:-qvr298,fw=31.01.01.10}
IMG=/usr/share/q55x/images/qvr298_v031.001.001.015.bin
export XDG_STATE_HOME=/tmp/state HOME=/tmp
FAIL=0
up() { cut -d' ' -f1 /proc/uptime; }

# chk NAME RC TEXT CMD...: CMD must exit with RC and print TEXT (a leading ! : must not print it).
chk() {
  n=$1; x=$2; e=$3; shift 3
  o=$("$@" 2>&1); rc=$?
  case "$e" in
    !*) echo "$o" | grep -qi -- "${e#!}" && found=1 || found=0; want=0 ;;
    *)  echo "$o" | grep -qi -- "$e" && found=1 || found=0; want=1 ;;
  esac
  if [ "$rc" = "$x" ] && [ $found = $want ]; then echo "GUEST: PASS $n"
  else echo "GUEST: FAIL $n (rc=$rc; wanted rc=$x and output '$e')"; FAIL=1; fi
  echo "$o" | sed 's/^/    /' | head -n 12
}

# The bridge's node: the scsi_generic device whose SCSI host sits under a USB interface.
bridge_node() {
  for s in /sys/class/scsi_generic/sg*; do
    readlink -f "$s/device" | grep -q '/usb' && { echo "/dev/${s##*/}"; return 0; }
  done
  return 1
}

# timing TOOL FROM-LINE: the WRITE BUFFER mode 0x0E commands the gadget logged since FROM-LINE.
# cycle = from one chunk's CBW to the next (the whole round trip through the host's stack and the
# tool), device = the time the gadget spent on the chunk (wrappers, data and flash programming).
timing() {
  tail -n +"$2" /tmp/emu-qvr298.log | awk -v tool="$1" -v wall="$3" '
    $1 == "CMD" && $5 == "3b" && $6 == "0e" {
      n++; dev += $3 - $2
      if (prev) { cyc += $2 - last; ncyc++ }
      last = $2; prev = 1; next }
    $1 == "CMD" { prev = 0 }
    END { printf "GUEST: TIMING %s chunks=%d cycle_us=%d device_us=%d wall_s=%s\n", tool, n,
          ncyc ? cyc / ncyc : 0, n ? dev / n : 0, wall }'
}

# --- the gadgets: one per emulated enclosure, each on its own dummy_hcd UDC
# gadget NAME UDC PRODUCT-ID PRODUCT SIM [VENDOR-ID]
gadget() {
  G=/sys/kernel/config/usb_gadget/$1
  mkdir -p $G/strings/0x409 $G/configs/c.1/strings/0x409 $G/functions/ffs.$1 || return 1
  echo "${6:-0x728d}" > $G/idVendor; echo "$3" > $G/idProduct
  echo "$1" > $G/strings/0x409/serialnumber; echo Corvane > $G/strings/0x409/manufacturer
  echo "$4" > $G/strings/0x409/product; echo bot > $G/configs/c.1/strings/0x409/configuration
  ln -s $G/functions/ffs.$1 $G/configs/c.1/
  mkdir -p /dev/ffs-$1 && mount -t functionfs "$1" /dev/ffs-$1 || return 1
  q55x-ffs-bridge --ffs /dev/ffs-$1 --gadget $G --udc "$2" --sim "$5" 2>/tmp/emu-$1.log &
  for i in $(seq 1 50); do grep -q ready /tmp/emu-$1.log && break; sleep 0.1; done
  echo "$2" > $G/UDC
}

# bridge_node MODEL: the scsi_generic node of that bridge, whose SCSI host sits under a USB interface.
bridge_node() {
  for s in /sys/class/scsi_generic/sg*; do
    readlink -f "$s/device" | grep -q '/usb' && grep -q "$1" "$s/device/model" 2>/dev/null &&
      { echo "/dev/${s##*/}"; return 0; }
  done
  return 1
}

set -- $(ls /sys/class/udc)
gadget qvr298 "$1" 0x2980 "QVR298 Bridge" "$SIM" || exit 1
# A QVD528 whose chip information record is 12 bytes and whose ODD string is 8: short replies.
gadget qvd528 "$2" 0x5280 "QVD528 Bridge" "qvd528,infolen=12" || exit 1
# Another maker's vendor id on a chip that names no bridge in its INQUIRY: never asked unless told.
gadget foreign "$3" 0x2322 "Disk" "qv84556" 0x0bc2 || exit 1
for i in $(seq 1 100); do BR=$(bridge_node QVR298) && BR2=$(bridge_node QVD528) && FOREIGN=$(bridge_node QV84556) && break; sleep 0.1; done
sleep 0.5
echo "GUEST: bridges at ${BR:-none} and ${BR2:-none}, another maker's at ${FOREIGN:-none} ($(up)s); sg nodes: $(ls /sys/class/scsi_generic | tr '\n' ' ')"
sg_map -i -x 2>&1 | sed 's/^/    /'
[ -n "$BR" ] && [ -n "$BR2" ] && [ -n "$FOREIGN" ] || { echo "GUEST: FAIL gadgets (no sg node under usb)"; tail -n 20 /tmp/emu-*.log; exit 1; }
SD=/dev/$(ls /sys/class/scsi_generic/${BR#/dev/}/device/block | head -n 1)
INTERNAL=$(for s in /sys/class/scsi_generic/sg*; do readlink -f "$s/device" | grep -q '/usb' || { echo "/dev/${s##*/}"; break; }; done)

# --- the real stack, as the tools see it
chk transport-usb-storage 0 "usb-storage" sh -c "basename \$(readlink /sys/class/scsi_generic/${BR#/dev/}/device/../../../driver)"
chk list 0 "$BR .*Corvane QVR298" q55x list
chk list-second-bridge 0 "$BR2 .*Corvane QVD528" q55x list
chk list-version 0 "firmware  *31.01.01.10" q55x list
chk list-skips-internal-disk 0 "!$INTERNAL " q55x list
chk info-jedec 0 "jedec id  ef3013" q55x --device "$BR" info
# Short replies through usb-storage: the 12-byte record's version, and the 8-byte ODD string's revision
chk short-chip-info 0 "firmware  *3.02$" q55x --device "$BR2" list
chk short-odd-string 0 "type 7, revision 2)" q55x --device "$BR2" list
# No vendor command to the internal disk or to another maker's device unless asked
chk probe-leaves-others 0 "!$FOREIGN " q55x --trace /tmp/probe.jsonl list
chk probe-sent-nothing 0 "^0$" sh -c "awk '\$1 == \"CMD\" && (\$5 == \"df\" || \$5 == \"ff\")' /tmp/emu-foreign.log | wc -l"
chk probe-trace-clean 0 "^0$" sh -c "grep -E '\"path\":\"($INTERNAL|$FOREIGN)\",\"cdb\":\"(df|ff)' /tmp/probe.jsonl | wc -l"
chk probe-all-asks 0 "$FOREIGN .*QV84556" q55x --probe-all list
# A user without rights on the nodes is told which rule grants them and how to install it
chk no-rights 5 "60-q55x.rules.*udevadm" su -s /bin/sh nobody -c "q55x list"
chk internal-disk-refused 3 "!f4 e7" q55x --device "$INTERNAL" raw e0f4e7000000000000000000 --in 16
chk raw-chip-info 0 "f4 e7 72 8d 29 80" q55x --device "$BR" raw e0f4e7000000000000000000 --in 16
chk raw-chip-info-via-sd 0 "f4 e7 72 8d 29 80" q55x --device "$SD" raw e0f4e7000000000000000000 --in 16
chk sense-by-autosense 1 "05.*20.*00" q55x --device "$BR" raw c70000000000000000000000 --in 4 --sense
chk sg3-inquiry 0 "QVR298 Bridge" sg_inq "$BR"
chk sg3-readcap 0 "Last LBA=1953525167" sg_readcap "$BR"
chk backup 0 "" q55x --device "$BR" backup /tmp/before.bin
chk backup-size 0 "^524288$" sh -c "wc -c < /tmp/before.bin | tr -d ' '"
chk verify-backup 0 "" q55x --device "$BR" verify /tmp/before.bin

# --- the same image through sg3_utils, then through q55x: the same WRITE BUFFER mode 0x0E chunks
from=$(($(wc -l < /tmp/emu-qvr298.log) + 1)); t0=$(up)
chk sg3-write-buffer 0 "" sg_write_buffer --mode=0xe --bpw=4096 --in="$IMG" "$BR"
t1=$(up); timing sg_write_buffer "$from" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')"
chk sg3-write-landed 0 "holds" q55x --device "$BR" verify "$IMG"
chk sg3-write-changed-flash 7 "" q55x --device "$BR" verify /tmp/before.bin

from=$(($(wc -l < /tmp/emu-qvr298.log) + 1)); t0=$(up)
chk q55x-flash-buffer 0 "Programming Success" q55x --device "$BR" flash "$IMG" --buffer --yes --no-backup
t1=$(up); timing q55x "$from" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')"
chk q55x-flash-landed 0 "holds" q55x --device "$BR" verify "$IMG"

# --- a direct-command bridge: 12-byte FF 04 / DF commands with 16 KiB data phases both ways
IMG2=/usr/share/q55x/images/samples/qvd528_with_nvram.bin
chk qvd528-info 0 "MXIC" q55x --device "$BR2" info
chk qvd528-flash 0 "Programming Success" q55x --device "$BR2" flash "$IMG2" --yes --no-backup
chk qvd528-flash-landed 0 "holds" q55x --device "$BR2" verify "$IMG2"

# --- the one-button update: the chip resets, leaves the bus for three seconds and enumerates
# again, while the QVD528 stays attached (the one device seen during the reset is not ours)
chk update 0 "firmware now 31.01.01.15" q55x --device "$BR" update --yes
NEW=$(bridge_node QVR298)
chk reattached 0 "firmware  *31.01.01.15" q55x --device "${NEW:-/dev/none}" list
chk reattached-inquiry 0 "QVR298 Bridge" sg_inq "${NEW:-/dev/none}"

# --- the conventions, the 0x506A register probe, a 32 KiB transfer limit, a bridge that leaves
chk version 0 "^q55x [0-9]" q55x --version
chk verbose-info 0 "cdb: .*status 0x00 (GOOD)" sh -c "q55x -v --device '$BR2' info 2>&1 | tr '\n' ' '"
set -- $(ls /sys/class/udc)
gadget qvr227 "$4" 0x2270 "QVR227 Bridge" "qvr227" || FAIL=1
# The flash's backup reads the 512 KiB flash in about 140 commands from the 12th on: the 100th
# since power-on (the kernel's own attach commands included) falls inside it.
gadget qvr297 "$5" 0x2970 "QVR297 Bridge" "qvr297,drop=100" || FAIL=1
for i in $(seq 1 100); do R227=$(bridge_node QVR227) && LEAVER=$(bridge_node QVR297) && break; sleep 0.1; done
# The register probe writes one byte, padded to two: usb-storage reports the pad as a residue of 1.
chk register-506a 0 "firmware  *9.20.02.16" q55x --trace /tmp/r.jsonl --device "${R227:-/dev/none}" info
chk register-506a-write 0 "^2$" sh -c "grep -c '\"cdb\":\"df0000000100506a000000fe\".*\"ok\":true' /tmp/r.jsonl"
# usb-storage's max_sectors sets the queue's max_hw_sectors: 64 sectors, the 64-sector quirk's 32 KiB.
MS=/sys/class/scsi_generic/${NEW#/dev/}/device/max_sectors
echo 64 > "$MS"
from=$(wc -l < /tmp/emu-qvr298.log)
chk transfer-limit-named 4 "at most 32 KiB through to $NEW" q55x --device "${NEW:-/dev/none}" flash "$IMG" --buffer --yes --no-backup --allow-reinstall
chk transfer-limit-nothing-written 0 "^0$" sh -c "tail -n +$((from + 1)) /tmp/emu-qvr298.log | awk '\$1 == \"CMD\" && \$5 == \"3b\"' | wc -l"
echo 240 > "$MS"
chk leaves-mid-command 1 "cause: reading the flash for the backup.*left the bus" sh -c "q55x --device '${LEAVER:-/dev/none}' \
  flash /usr/share/q55x/images/samples/qvr297_31.02.00.05.bin --yes >/tmp/l.out 2>&1; rc=\$?; tr '\n' ' ' </tmp/l.out; exit \$rc"
# What list shows of a node comes from libudev (sysfs attributes; no udev daemon runs here)
chk udev-facts 0 '"block_node": "/dev/sd.*"port": "[0-9]-[0-9.]*".*"serial": "qvr298".*"usb_product": "2980".*"usb_vendor": "728d"' \
  sh -c "q55x --json --device '${NEW:-/dev/none}' list | tr '\n' ' '"

# --- one owner per enclosure: a mounted disk is refused (and --force goes on); a second q55x during
# an update sends the enclosure nothing. The QVR298 now runs the image: each update reinstalls it.
BR=${NEW:-/dev/none}
SD=/dev/$(ls /sys/class/scsi_generic/${BR#/dev/}/device/block 2>/dev/null | head -n 1)
# A 4 MiB FAT partition at 1 MiB: the partition entry and the boot signature, then a file system.
{ dd if=/dev/zero bs=446 count=1 2>/dev/null
  printf '\000\000\000\000\006\000\000\000\000\010\000\000\000\040\000\000'
  dd if=/dev/zero bs=48 count=1 2>/dev/null; printf '\125\252'; } > /tmp/mbr
dd if=/tmp/mbr of="$SD" bs=512 count=1 conv=notrunc 2>/dev/null; blockdev --rereadpt "$SD"
for i in $(seq 1 50); do [ -b "${SD}1" ] && break; sleep 0.1; done
mkdir -p /mnt/enclosure
chk disk-mounted 0 "" sh -c "mkdosfs ${SD}1 >/dev/null && mount -t vfat ${SD}1 /mnt/enclosure"
chk update-refuses-mounted 1 "${SD}1 is mounted on /mnt/enclosure" q55x --device "$BR" update --yes --allow-reinstall --no-backup
chk update-force-goes-on 0 "warning: the disk behind" q55x --device "$BR" update --yes --allow-reinstall --no-backup --force
umount -l /mnt/enclosure 2>/dev/null
for i in $(seq 1 100); do BR=$(bridge_node QVR298) && break; sleep 0.1; done
# Mounted in a mount namespace of its own, the disk is in no mount table q55x reads: the exclusive
# open of the whole disk finds it busy all the same.
SD=/dev/$(ls /sys/class/scsi_generic/${BR#/dev/}/device/block 2>/dev/null | head -n 1)
for i in $(seq 1 50); do [ -b "${SD}1" ] && break; sleep 0.1; done
unshare -m sh -c "mount -t vfat ${SD}1 /mnt/enclosure && touch /tmp/hidden && exec sleep 600" & HIDDEN=$!
for i in $(seq 1 50); do [ -e /tmp/hidden ] && break; sleep 0.1; done
chk update-refuses-hidden-mount 1 "${SD} is open for another program's sole use" q55x --device "$BR" update --yes --allow-reinstall --no-backup
kill $HIDDEN; wait $HIDDEN 2>/dev/null; sleep 1   # the namespace goes, and its mount with it
# The first update takes a backup first: long enough for the others to come while it holds the lock.
q55x --device "$BR" update --yes --allow-reinstall > /tmp/first.out 2>&1 & FIRST=$!
for i in $(seq 1 100); do q55x list 2>/dev/null | grep -q "updating (pid $FIRST)" && break; sleep 0.1; done
chk second-list 0 "updating (pid $FIRST)" q55x --trace /tmp/second-list.jsonl list
chk second-update 6 "held by another q55x" q55x --trace /tmp/second-update.jsonl --device "$BR" update --yes --allow-reinstall --no-backup
# Whether the first has made its journal yet or not, recover leaves its enclosure alone.
chk second-recover 0 "" sh -c "q55x --trace /tmp/second-recover.jsonl recover --yes; exit 0"
chk second-sent-nothing 0 "^0$" sh -c "cat /tmp/second-*.jsonl | grep -c '\"path\":\"$BR\"'; true"
wait $FIRST; rc=$?
chk first-update-passed 0 "Update    Pass" sh -c "cat /tmp/first.out; exit $rc"

for g in qvr298 qvd528; do
  echo "GUEST: --- gadget log of $g (tail)"; grep -v '^CMD ' /tmp/emu-$g.log | tail -n 10 | sed 's/^/    /'
done
exit $FAIL
