// What on the host uses the disk behind a bridge: mounted partitions, partitions held by
// device-mapper, md or LVM, active swap. A chip reset drops the disk from the bus with whatever the
// host had not written to it yet, so an update refuses while any of these stand.
#pragma once
#include <string>
#include <vector>

namespace cli {

// One line per use of the block device `disk` ("/dev/sdb") or its partitions:
// "/dev/sdb1 is mounted on /media/ann/DATA", "/dev/sdb2 is active swap", "/dev/sdb3 is held by
// dm-0" (and, from the exclusive open, "/dev/sdb is open for another program's sole use ..."). Read from sysfs (block/<disk>/<part>/dev, .../holders) and the process's mount and swap
// tables, under the roots given (tests pass pretend ones).
std::vector<std::string> diskUsers(const std::string& disk, const std::string& sysfsRoot = "/sys",
                                   const std::string& procRoot = "/proc");

// How to end each use, for the refusal.
std::string howToFreeDisk(const std::vector<std::string>& users);

// The disk behind a bridge held for this process alone while it lives (see DeviceSession::holdDisk).
struct DiskHold {
    virtual ~DiskHold() = default;
};

}  // namespace cli
