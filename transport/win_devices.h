// What the Windows program asks of the system to find its devices: the present interfaces of the
// disk class, the storage device number of a device or volume, and the logical drives with their
// types. The real side is SetupDi and friends (transport/win); the emulator supplies its own
// interface paths and volume table, so the discovery algorithms run unchanged in tests.
#pragma once
#include <cstdint>
#include <string>

namespace transport {

// The 12-byte reply of IOCTL_STORAGE_GET_DEVICE_NUMBER.
struct StorageDeviceNumber {
    uint32_t deviceType = 0;
    uint32_t deviceNumber = 0;
    uint32_t partitionNumber = 0;
};

enum class DriveKind : uint8_t { Unknown, Removable, Fixed, Remote, CdRom, RamDisk };

class WinDeviceApi {
public:
    virtual ~WinDeviceApi() = default;
    // Opens the list of present disk interfaces; false when the system cannot list them.
    virtual bool openDiskInterfaces() = 0;
    // The device path of the interface at `index`; false at the first index whose interface or
    // detail cannot be read.
    virtual bool diskInterfacePath(unsigned index, std::string& path) = 0;
    virtual void closeDiskInterfaces() = 0;
    // Device number of a device path or volume path ("\\.\E:"); false when it cannot be read.
    virtual bool deviceNumber(const std::string& path, StorageDeviceNumber& out) = 0;
    virtual uint32_t logicalDriveMask() = 0;
    virtual std::string windowsDirectory() = 0;
    virtual DriveKind driveType(const std::string& root) = 0;   // root like "E:\"
};

// The system's own (Windows only); elsewhere a list with no devices.
WinDeviceApi& platformWinDeviceApi();
WinDeviceApi& winDeviceApi();
void setWinDeviceApi(WinDeviceApi* api);   // nullptr restores the system's

// GUID_DEVINTERFACE_DISK, as it appears (lower case) in interface paths.
constexpr const char* kDiskInterfaceGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

}  // namespace transport
