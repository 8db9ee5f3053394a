#include "discovery/discovery.h"

#include <cstdio>

#include "bridge/IDEAccess.h"

namespace vendor {

using transport::winDeviceApi;

std::string toLowerAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

bool IsBridgeByInquiry(std::string_view path) {
    uint8_t inq[40] = {};
    if (!IDEAccess::QV_Inquiry(path, inq, sizeof inq)) return false;
    return inq[36] == 'q' && (inq[37] == '5' || inq[37] == '2');
}

namespace {

bool pathNamesBridgeBus(const std::string& path, bool includeFireWire) {
    return path.find("usbsto") != std::string::npos ||
           (includeFireWire && path.find("sbp2") != std::string::npos) ||
           path.find("scsi") != std::string::npos;
}

}  // namespace

bool answersAsBridge(std::string_view path) {
    if (IsBridgeByInquiry(path)) return true;
    uint8_t gpio[2] = {};
    return IDEAccess::GetGPIO(path, gpio);
}

Enumeration EnumerateBridgeDevices(bool includeFireWire) {
    Enumeration e;
    auto& api = winDeviceApi();
    if (!api.openDiskInterfaces()) return e;
    std::string path;
    for (unsigned index = 0; api.diskInterfacePath(index, path); ++index) {
        if (!pathNamesBridgeBus(path, includeFireWire) || !answersAsBridge(path)) continue;
        // A path that does not fit its slot, or a device beyond the last slot, is left out
        // rather than cut short; the caller sees how many.
        if (e.paths.size() >= kMaxCandidates || path.size() > kMaxPathLength) {
            ++e.leftOut;
            continue;
        }
        e.paths.push_back(path);
    }
    api.closeDiskInterfaces();
    return e;
}

bool GetDeviceNumber(const std::string& path, transport::StorageDeviceNumber& number) {
    return winDeviceApi().deviceNumber(path, number);
}

std::string FindDriveLetters(const std::string& path) {
    std::string letters;
    transport::StorageDeviceNumber dev;
    if (!GetDeviceNumber(path, dev)) return letters;
    auto& api = winDeviceApi();
    const uint32_t mask = api.logicalDriveMask();
    const std::string windir = api.windowsDirectory();
    const char systemDrive = windir.empty() ? '\0' : static_cast<char>(windir[0] & ~0x20);
    for (unsigned i = 0; i < 26 && (mask >> i) != 0; ++i) {
        if (!(mask & (1u << i))) continue;
        const char letter = static_cast<char>('A' + i);
        if (letter == systemDrive) continue;
        char root[8];
        std::snprintf(root, sizeof root, "%c:\\", letter);
        if (api.driveType(root) == transport::DriveKind::Remote) continue;
        char volume[16];
        std::snprintf(volume, sizeof volume, "\\\\.\\%c:", letter);
        transport::StorageDeviceNumber vol;
        if (!api.deviceNumber(volume, vol)) continue;
        if (vol.deviceType == dev.deviceType && vol.deviceNumber == dev.deviceNumber &&
            letters.size() < kMaxDriveLetters)
            letters.push_back(letter);
    }
    return letters;
}

BusLabel busLabel(Bus bus) {
    switch (bus) {
        case Bus::Ieee1394: return {"1394 DISK", "<<1394>> "};
        case Bus::Uas: return {"UASP DISK", "<<UASP>> "};
        case Bus::Usb: break;
    }
    return {"USB DISK", "<<USB>> "};
}

}  // namespace vendor
