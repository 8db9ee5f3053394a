#include "update/disk_resident.h"

#include <algorithm>
#include <cstring>

#include "bridge/IDEAccess.h"
#include "identify/disk_query.h"
#include "image/image.h"
#include "sys/aligned.h"
#include "sys/bytes.h"
#include "update/progress.h"

namespace firmware {

namespace {

// The q556E's firmware area on its disk: 256 blocks below a 256-block boundary near the end.
constexpr uint64_t kAreaBlocks = 256;
constexpr uint32_t kDiskUnit = 65536;
constexpr size_t kAreaMarkerAt = 150;               // 0x55, R (4 bytes, big-endian), 0xAA
constexpr uint8_t kAreaMarkerHead = 0x55;
constexpr uint8_t kAreaMarkerTail = 0xAA;
constexpr uint64_t kBlocksIn32Bits = 0x100000000ull;
constexpr int kChipStatusLen = 20;
constexpr size_t kStatusWholeBlockAt = 17;          // 1: the area is counted from R, not R - 1

}  // namespace

bool UpdateDiskResident(UpdateWindow& w, SelectedDevice& dev) {
    Progress p(&w);
    const std::string& path = dev.path;
    const FileImage file = readFirmwareFile(w.firmwareFile());
    if (!file.opened || file.bytes.empty()) return p.fail(kTextOpenFileError);
    const size_t length = sys::roundUp(file.bytes.size(), kFileRounding);
    sys::AlignedBuffer image;
    if (!image.reset(length)) return p.fail(kTextAllocReadError);
    std::memcpy(image.data(), file.bytes.data(), file.bytes.size());
    p.show(kTextProgramming);

    // The disk: its size in its own blocks from IDENTIFY, and the block size it reports.
    uint64_t sectors = 0;
    const bool sized = IDEAccess::GetDiskCapacity(path, &sectors);
    const bool big = sized && sectors > kBlocksIn32Bits;
    const char* writeFail = big ? kTextHddWrite16Fail : kTextHddWriteFail;
    const char* readFail = big ? kTextHddRead16Fail : kTextHddReadFail;
    const uint32_t blockSize = IDEAccess::GetLogicalSectorSize(path);
    if (!sized || blockSize == 0 || kDiskUnit % blockSize != 0) return p.fail(readFail);
    const uint64_t blocksPerUnit = kDiskUnit / blockSize;
    uint8_t status[kChipStatusLen] = {};
    const bool wholeBlock = IDEAccess::QV_GetChipStatus(path, status, kChipStatusLen) && status[kStatusWholeBlockAt] == 1;
    const auto areaStart = [&](uint64_t r) -> uint64_t {
        if (r <= kAreaBlocks) return UINT64_MAX;
        const uint64_t top = (wholeBlock ? r : r - 1) / kAreaBlocks * kAreaBlocks;
        return top >= kAreaBlocks ? top - kAreaBlocks : UINT64_MAX;
    };

    sys::AlignedBuffer unit, readBack;
    if (!unit.reset(kDiskUnit) || !readBack.reset(kDiskUnit)) return p.fail(kTextAllocReadError);

    // R is the disk's own IDENTIFY capacity, not what the bridge reports for it, unless the area
    // already carries its marker: then the R stored there, so the area stays where the bridge
    // looks for it. A stored R that would put the area off the disk is not believed; nor is one
    // on a disk whose size does not fit the marker's four bytes.
    uint64_t r = sectors;
    if (sectors > kAreaBlocks) {
        const uint64_t probe = areaStart(sectors);
        if (probe != UINT64_MAX && probe < sectors &&
            IDEAccess::QV_DiskReadDmaExt(path, probe, readBack.data(), static_cast<int>(blockSize),
                                         static_cast<int>(blockSize))) {
            const uint8_t* m = readBack.data() + kAreaMarkerAt;
            const uint64_t stored = uint64_t{m[1]} << 24 | uint64_t{m[2]} << 16 | uint64_t{m[3]} << 8 | m[4];
            if (!big && m[0] == kAreaMarkerHead && m[5] == kAreaMarkerTail && stored > kAreaBlocks &&
                stored <= sectors)
                r = stored;
        }
    }
    const uint64_t start = areaStart(r);
    const uint64_t units = (length + kDiskUnit - 1) / kDiskUnit;
    // The firmware must fit its area, and the area the disk.
    if (start == UINT64_MAX || units * blocksPerUnit > kAreaBlocks || start + kAreaBlocks > sectors)
        return p.fail(writeFail);

    image[kAreaMarkerAt] = kAreaMarkerHead;
    for (int i = 0; i < 4; ++i) image[kAreaMarkerAt + 1 + i] = static_cast<uint8_t>(r >> (24 - 8 * i));
    image[kAreaMarkerAt + 5] = kAreaMarkerTail;

    uint64_t block = start;
    for (size_t pos = 0; pos < length; pos += kDiskUnit, block += blocksPerUnit) {
        const size_t n = std::min<size_t>(kDiskUnit, length - pos);
        unit.zero();
        std::memcpy(unit.data(), image.data() + pos, n);
        if (!IDEAccess::QV_DiskWriteDmaExt(path, block, unit.data(), kDiskUnit, static_cast<int>(blockSize)))
            return p.fail(writeFail);
        if (!IDEAccess::QV_DiskReadDmaExt(path, block, readBack.data(), kDiskUnit, static_cast<int>(blockSize)))
            return p.fail(readFail);
        if (std::memcmp(unit.data(), readBack.data(), kDiskUnit) != 0) return p.fail(kTextHddCompareFail);
        p.step();
    }
    // A read-back can come from the drive's write cache: the firmware is on the disk only once
    // the cache is written out, and the user is about to cut the power.
    if (!IDEAccess::QV_DiskFlushCache(path)) return p.fail(writeFail);
    return p.succeed(kTextPowerCycle);
}

}  // namespace firmware
