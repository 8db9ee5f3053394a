#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "transport/win_devices.h"

namespace transport {

namespace {

const GUID kDiskGuid = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

class SystemWinDevices final : public WinDeviceApi {
public:
    bool openDiskInterfaces() override {
        closeDiskInterfaces();
        set_ = SetupDiGetClassDevsA(&kDiskGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set_ == INVALID_HANDLE_VALUE) return false;
        // The detail buffer: 1024 bytes, zero-filled, size field set to the fixed part.
        detail_.assign(1024, 0);
        return true;
    }

    bool diskInterfacePath(unsigned index, std::string& path) override {
        if (set_ == INVALID_HANDLE_VALUE) return false;
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &kDiskGuid, index, &data)) return false;
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail_.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        DWORD needed = 0;
        if (!SetupDiGetDeviceInterfaceDetailA(set_, &data, detail, static_cast<DWORD>(detail_.size()),
                                              &needed, nullptr))
            return false;
        path.assign(detail->DevicePath);
        return true;
    }

    void closeDiskInterfaces() override {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
        set_ = INVALID_HANDLE_VALUE;
        detail_.clear();
    }

    bool deviceNumber(const std::string& path, StorageDeviceNumber& out) override {
        HANDLE h = CreateFileA(path.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        STORAGE_DEVICE_NUMBER n{};
        DWORD got = 0;
        SetLastError(0);
        const BOOL ok = DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &got, nullptr);
        const DWORD err = GetLastError();
        CloseHandle(h);
        if (!ok || err != 0) return false;
        out.deviceType = n.DeviceType;
        out.deviceNumber = n.DeviceNumber;
        out.partitionNumber = n.PartitionNumber;
        return true;
    }

    uint32_t logicalDriveMask() override { return GetLogicalDrives(); }

    std::string windowsDirectory() override {
        char dir[512] = {};
        const UINT n = GetWindowsDirectoryA(dir, sizeof dir);
        return n > 0 && n < sizeof dir ? std::string(dir, n) : std::string();
    }

    DriveKind driveType(const std::string& root) override {
        switch (GetDriveTypeA(root.c_str())) {
            case DRIVE_REMOVABLE: return DriveKind::Removable;
            case DRIVE_FIXED: return DriveKind::Fixed;
            case DRIVE_REMOTE: return DriveKind::Remote;
            case DRIVE_CDROM: return DriveKind::CdRom;
            case DRIVE_RAMDISK: return DriveKind::RamDisk;
            default: return DriveKind::Unknown;
        }
    }

    ~SystemWinDevices() override { closeDiskInterfaces(); }

private:
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    std::vector<char> detail_;
};

}  // namespace

WinDeviceApi& platformWinDeviceApi() {
    static SystemWinDevices api;
    return api;
}

}  // namespace transport
