// The system's devices on Linux: the bridge SCSI generic nodes from sysfs, hot-plug from uevents.
#include "mac_app/registry/devices.h"
#include "mac_app/registry/linux_services.h"
#include "transport/maclib/qvlib.h"

namespace macapp {

namespace {

class LinuxEnvironment final : public DeviceEnvironment {
public:
    LinuxEnvironment() {
        iokit::setServices(&services_);
        maclib::setMakerDeviceSource(&services_);
    }
    ~LinuxEnvironment() override {
        maclib::setMakerDeviceSource(nullptr);
        iokit::setServices(nullptr);
    }

private:
    iokit::LinuxServices services_;
};

}  // namespace

std::unique_ptr<DeviceEnvironment> makeSystemEnvironment() { return std::make_unique<LinuxEnvironment>(); }

}  // namespace macapp
