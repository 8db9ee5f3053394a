// The maker's device library as the macOS program calls it, and our implementation of it over the
// transport seam. A controller is named by a 32-bit device object that the library hands out;
// results are integers, 0 for success.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
// Fills up to 256 64-bit slots, each holding one device object in its low 32 bits.
int getDeviceList(uint64_t* slots, int* count);
int openConnection(uint32_t device);
int closeConnection(uint32_t device);
// direction 1: data from the device (also for commands without data); 2: data to the device.
int scsiCdbExecute(uint32_t device, const uint8_t* cdb, int cdbLen, void* data, int dataLen,
                   int reserved, int direction);
int qvWarmBoot(uint32_t device);
}

namespace maclib {

constexpr int kDeviceListSlots = 256;
constexpr int kDirFromDevice = 1;
constexpr int kDirToDevice = 2;

// Where the library finds its controllers: the emulator's bus, or the Linux storage devices.
struct MakerDevice {
    uint32_t object = 0;
    std::string path;
};

class MakerDeviceSource {
public:
    virtual ~MakerDeviceSource() = default;
    virtual std::vector<MakerDevice> list() = 0;
};

void setMakerDeviceSource(MakerDeviceSource* source);  // nullptr: none (no controllers)
MakerDeviceSource* makerDeviceSource();

// The path behind a device object handed out by the last getDeviceList, or empty.
std::string pathOfDevice(uint32_t device);

}  // namespace maclib
