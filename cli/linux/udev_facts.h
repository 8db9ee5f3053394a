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

}  // namespace cli
