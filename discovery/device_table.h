// The device table both front ends fill from a scan: one record per recognised bridge, with the
// text of its list row. The scan's candidates come from the platform's discovery (the Windows
// disk interfaces, Linux sysfs, the emulator).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bridge/bus.h"
#include "identify/chip_detect.h"

namespace vendor {

constexpr size_t kDeviceTableSize = 128;
constexpr size_t kDevicePathCapacity = 256;   // characters, terminator aside

struct DeviceRecord {
    std::string path;          // lower case; every command to the device goes here
    std::string driveLetters;  // the letters of its volumes (Windows), or its volumes (Linux)
    int32_t recoveryMark = 0;  // set once the bank recovery has looked at this entry
};

struct ListedDevice {
    DeviceRecord record;
    ChipId chip;
    std::string product;       // inquiry bytes 8-31, untrimmed
    Bus bus = Bus::Usb;
    bool busKnown = true;      // false: neither discovery nor the path could tell (bus shows Usb)
    std::string busLabel;      // "USB DISK", "UASP DISK", "1394 DISK"
    std::string rowText;       // "<<USB>> " + product
};

struct DeviceListing {
    size_t candidates = 0;
    std::vector<ListedDevice> devices;   // recognised ones, chip type not 0
    bool tableFull = false;              // "The tool only can show %d disks." was due
    size_t pathTooLong = 0;              // candidates left out: their path does not fit a record
};

struct Candidate {
    std::string path;
    std::optional<Bus> bus;   // as discovery found it; empty: judged from a Windows path's text, else unknown
};

// Identifies each candidate in order; drops those whose chip type is 0, and sends nothing to a
// candidate whose path is longer than kDevicePathCapacity (it is counted in pathTooLong).
// `volumesOf` gives the drive letters (or volumes) of a device path.
DeviceListing listBridges(const std::vector<Candidate>& candidates,
                          const std::function<std::string(const std::string&)>& volumesOf);

}  // namespace vendor
