#include "flash/flash_buffer_ops.h"

#include <algorithm>
#include <cstring>

#include "sys/aligned.h"
#include "identify/chip_detect.h"
#include "bridge/qvaccess.h"

namespace qvaccess {

using namespace vendor;

namespace {

// The direct flash write with erase mode 3 and no data: the chip erases its whole flash. A chip on
// its manufacturing code does not erase sectors as buffer data reaches them, so it starts blank.
constexpr uint8_t kEraseWholeChip = 3;

bool readDescriptor(Device dev, BufferDescriptor& d) {
    uint8_t reply[4] = {};
    if (!QV_ReadBuffer(dev, kBufferDescriptorMode, 0, 0, reply, 4)) return false;
    d = bufferDescriptorOf(reply);
    return true;
}

bool fitsOffsets(uint32_t offset, size_t total) {
    return offset < kBufferOffsetSpace && total <= kBufferOffsetSpace - offset;
}

// Whole transfer units, and a shorter last one when the amount is not a multiple of the unit:
// a capacity the chip reports in odd sizes must neither reach past the area nor run on.
template <typename Send>
bool inTransferUnits(size_t total, Send send) {
    for (size_t at = 0; at < total; at += kBufferTransferUnit) {
        if (!send(at, static_cast<int>(std::min<size_t>(kBufferTransferUnit, total - at)))) return false;
    }
    return true;
}

}  // namespace

bool fn_WriteBuffer298(Device dev, uint32_t offset, const uint8_t* image, size_t imageLength, bool alternate) {
    if (image == nullptr && imageLength > 0) return false;
    BufferDescriptor d;
    if (!readDescriptor(dev, d)) return false;
    // The RAM download belongs to the buffer download procedure, which checks the ROM loader's
    // descriptor (boundary FF, 64 KiB) itself; here it never goes on.
    if (alternate) return false;
    if (d.boundary != kBufferBoundary4K) return false;
    if (Is298RunMfgCode(dev) && !QV_SetNVRAM_529(dev, 0, nullptr, 0, kEraseWholeChip)) return false;

    const size_t total = (static_cast<size_t>(d.capacity) + kBufferImageRounding - 1) / kBufferImageRounding *
                         kBufferImageRounding;
    if (total == 0 || !fitsOffsets(offset, total)) return false;
    sys::AlignedBuffer area;
    if (!area.reset(total)) return false;
    if (imageLength > 0) std::memcpy(area.data(), image, std::min(imageLength, total));

    return inTransferUnits(total, [&](size_t at, int n) {
        return QV_WriteBuffer(dev, kBufferProgramMode, 0, offset + static_cast<uint32_t>(at), area.data() + at, n);
    });
}

bool fn_ReadBuffer298(Device dev, uint32_t offset, uint8_t* out, size_t length, uint8_t bufferId) {
    if (out == nullptr && length > 0) return false;
    BufferDescriptor d;
    if (!readDescriptor(dev, d) || d.boundary != kBufferBoundary4K) return false;

    const size_t total = Is298RunMfgCode(dev) ? kMfgCodeReadLength : d.capacity;
    // Sized to what is read and to what the caller takes, whichever is larger: the reads never
    // reach past it, and a caller asking for more than was read gets zeros for the rest.
    sys::AlignedBuffer area;
    if (!area.reset(std::max(total, length))) return false;

    const bool ok = total > 0 && fitsOffsets(offset, total) && inTransferUnits(total, [&](size_t at, int n) {
        return QV_ReadBuffer(dev, kBufferDataMode, bufferId, offset + static_cast<uint32_t>(at), area.data() + at, n);
    });
    if (length > 0) std::memcpy(out, area.data(), length);
    return ok;
}

}  // namespace qvaccess
