// The emulator's side of the Windows discovery seam: the bus's devices as present disk
// interfaces, and a volume table in which each enclosure's disk carries one lettered volume
// (E:, F:, ... in attachment order) beside a system drive C: on an internal disk.
#pragma once
#include <map>
#include <mutex>
#include <string>

#include "sim/bus.h"
#include "transport/win_devices.h"

namespace sim {

constexpr uint32_t kFileDeviceDisk = 7;

class SimWinDevices final : public transport::WinDeviceApi {
public:
    explicit SimWinDevices(Bus& bus) : bus_(bus) {}

    bool openDiskInterfaces() override;
    bool diskInterfacePath(unsigned index, std::string& path) override;
    void closeDiskInterfaces() override {}
    bool deviceNumber(const std::string& path, transport::StorageDeviceNumber& out) override;
    uint32_t logicalDriveMask() override;
    std::string windowsDirectory() override { return "C:\\WINDOWS"; }
    transport::DriveKind driveType(const std::string& root) override;

    // Tests: give a device number more volumes, or a network drive.
    void addVolume(char letter, uint32_t deviceNumber);
    void addNetworkDrive(char letter);

private:
    Bus& bus_;
    std::mutex mutex_;
    std::vector<std::string> interfaces_;
    std::map<char, uint32_t> extraVolumes_;
    std::map<char, bool> network_;
    std::map<char, uint32_t> volumes();
};

}  // namespace sim
