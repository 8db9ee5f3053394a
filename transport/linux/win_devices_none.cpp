// Outside Windows there is no SetupDi: the Windows discovery sees no devices unless the emulator
// supplies them.
#include "transport/win_devices.h"

namespace transport {

namespace {

class NoWinDevices final : public WinDeviceApi {
public:
    bool openDiskInterfaces() override { return false; }
    bool diskInterfacePath(unsigned, std::string&) override { return false; }
    void closeDiskInterfaces() override {}
    bool deviceNumber(const std::string&, StorageDeviceNumber&) override { return false; }
    uint32_t logicalDriveMask() override { return 0; }
    std::string windowsDirectory() override { return {}; }
    DriveKind driveType(const std::string&) override { return DriveKind::Unknown; }
};

}  // namespace

WinDeviceApi& platformWinDeviceApi() {
    static NoWinDevices api;
    return api;
}

}  // namespace transport
