// Builds without libudev: the session reads sysfs by hand (see session_hw.cpp).
#include "cli/linux/udev_facts.h"

namespace cli {

bool udevFactsOf(const std::string&, NodeFacts&) { return false; }
std::string udevSgNodeOf(const std::string&) { return {}; }
std::string udevUsbDevicePathOf(const std::string&) { return {}; }

}  // namespace cli
