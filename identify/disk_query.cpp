#include "identify/disk_query.h"

#include <array>

#include "bridge/IDEAccess.h"

namespace vendor {

namespace {

constexpr uint32_t k28BitSaturated = 0x0FFFFFFF;
constexpr uint32_t kDefaultSectorSize = 512;
// The largest logical sector any drive reports; a larger or zero figure is not a sector size.
constexpr uint64_t kLargestSectorSize = 64 * 1024;

using Identify = std::array<uint8_t, 512>;

unsigned word(const Identify& id, int w) { return id[2 * w] | (id[2 * w + 1] << 8); }
uint32_t dword(const Identify& id, int w) { return word(id, w) | (static_cast<uint32_t>(word(id, w + 1)) << 16); }

}  // namespace

bool diskCapacitySectors(BridgePort& port, uint64_t* sectors) {
    Identify id{};
    if (!port.getDiskIdentify(id.data())) return false;
    uint64_t count = dword(id, 60);
    if (count == k28BitSaturated)
        count = dword(id, 100) | (static_cast<uint64_t>(dword(id, 102)) << 32);
    if (sectors) *sectors = count;
    return true;
}

bool isLessThan2THDD(BridgePort& port) {
    Identify id{};
    if (!port.getDiskIdentify(id.data())) return true;
    return dword(id, 60) != k28BitSaturated || id[204] == 0;
}

uint32_t logicalSectorSize(BridgePort& port) {
    Identify id{};
    if (!port.getDiskIdentify(id.data())) return kDefaultSectorSize;
    const unsigned w106 = word(id, 106);
    if (w106 != 0x5000 && w106 != 0x6000) return kDefaultSectorSize;
    // Words 117-118 count 16-bit words; a drive that leaves them empty (as word 106 = 0x6000
    // allows) has the default size.
    const uint64_t bytes = 2ull * dword(id, 117);
    return (bytes == 0 || bytes > kLargestSectorSize) ? kDefaultSectorSize : static_cast<uint32_t>(bytes);
}

}  // namespace vendor

namespace IDEAccess {

bool GetDiskCapacity(Path path, uint64_t* sectors) {
    vendor::WinPort port(path);
    return vendor::diskCapacitySectors(port, sectors);
}

bool IsLessThan2THDD(Path path) {
    vendor::WinPort port(path);
    return vendor::isLessThan2THDD(port);
}

bool GetLastLba(Path path, uint64_t* lastLba) {
    uint8_t cap[16] = {};
    if (!QV_ReadCapacity16(path, cap)) return false;
    uint64_t lba = 0;
    for (int i = 0; i < 8; ++i) lba = (lba << 8) | cap[i];
    if (lastLba) *lastLba = lba;
    return true;
}

uint32_t GetLogicalSectorSize(Path path) {
    vendor::WinPort port(path);
    return vendor::logicalSectorSize(port);
}

}  // namespace IDEAccess

namespace qvaccess {

bool IsLessThan2THDD(Device dev) {
    vendor::MacPort port(dev);
    return vendor::isLessThan2THDD(port);
}

}  // namespace qvaccess
