// What the system's device manager knows of a bridge's node without a command to it, read through
// libudev as the system's own tools read it: the block node and udev's persistent names of the
// disk, the USB device above it (ids, serial number, port) or the 1394 device (GUID, node).
#pragma once
#include <string>

#include "cli/session.h"

namespace cli {

// Fills what udev knows of `sgNode` ("/dev/sg2") into `facts` (mounts aside); false when the
// build has no libudev or udev knows no such node, and `facts` is then untouched.
bool udevFactsOf(const std::string& sgNode, NodeFacts& facts);

// The SCSI generic node ("/dev/sg2") of any name of a disk: its block node, a link to it
// (/dev/disk/by-id/..., /dev/disk/by-path/...), or the sg node itself; empty when udev cannot tell.
std::string udevSgNodeOf(const std::string& name);

// The USB device above the node as its path under /sys/devices ("pci0000:00/0000:00:14.0/usb1/1-2");
// empty when there is none or udev cannot tell.
std::string udevUsbDevicePathOf(const std::string& sgNode);

}  // namespace cli
