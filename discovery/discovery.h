// Finding the bridges the Windows program works on: the present disk interfaces whose path names
// a USB, 1394 or UAS disk and whose device answers as one of our bridges, and the drive letters of
// each device's volumes. The same algorithms run over the system (transport/win) or over the
// emulator's interface list and volume table.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "transport/win_devices.h"
#include "bridge/bus.h"

namespace vendor {

constexpr unsigned kMaxCandidates = 16;      // path slots of one scan
constexpr size_t kMaxPathLength = 255;       // characters per slot, terminator aside
constexpr size_t kMaxDriveLetters = 18;

struct Enumeration {
    std::vector<std::string> paths;   // accepted paths in enumeration order (at most 16)
    unsigned leftOut = 0;             // accepted devices that had no slot or whose path was too long
};

// Inquiry bytes 36-37 read "q5" or "q2": the first characters of our chips' vendor code.
bool IsBridgeByInquiry(std::string_view path);

// The bridge test of a candidate: the inquiry test, or else a GPIO read that succeeds.
bool answersAsBridge(std::string_view path);

// Accepts a path when it names a USB ("usbsto"), 1394 ("sbp2", only with includeFireWire) or UAS
// ("scsi") disk, as enumerated (case-sensitive), and the device answers the inquiry test or the
// GPIO read. Stops at the first interface whose detail cannot be read.
Enumeration EnumerateBridgeDevices(bool includeFireWire);

bool GetDeviceNumber(const std::string& path, transport::StorageDeviceNumber& number);

// The letters (ascending, upper case, no separators) of the logical drives that are volumes of
// the device at `path`: never the system drive, and network drives are not opened.
std::string FindDriveLetters(const std::string& path);

// "1394 DISK" / "<<1394>> ", "UASP DISK" / "<<UASP>> ", "USB DISK" / "<<USB>> ".
struct BusLabel {
    const char* label;
    const char* rowPrefix;
};
BusLabel busLabel(Bus bus);

// The label of a device by its Windows path.
inline BusLabel busLabelOf(std::string_view path) { return busLabel(busOfPath(path).value_or(Bus::Usb)); }

std::string toLowerAscii(std::string_view s);

}  // namespace vendor
