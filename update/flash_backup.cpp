#include "update/flash_backup.h"

#include <algorithm>

#include "update/buffer_update.h"
#include "update/direct_update.h"
#include "update/progress.h"
#include "update/qvd525_1394.h"
#include "update/run_dispatch.h"
#include "bridge/IDEAccess.h"
#include "sys/clock.h"
#include "flash/flash_ops.h"

namespace firmware {

namespace {

constexpr uint32_t kSerialChunk = 16384;
constexpr uint32_t kQvr294Piece = 512;
constexpr uint16_t kQvr294ChipBuffer = 0xC800;

bool readSerialFlash(UpdateWindow& w, const SelectedDevice& dev, std::vector<uint8_t>& out) {
    w.setStatus("ReadFlash...");
    for (uint32_t a = 0; a < out.size(); a += kSerialChunk) {
        const uint32_t n = std::min<uint32_t>(kSerialChunk, static_cast<uint32_t>(out.size()) - a);
        IDEAccess::WaitFlashReady(dev.path);
        if (!IDEAccess::QV_SerialFlashRead(dev.path, a, out.data() + a, static_cast<int>(n))) return false;
        Progress(w).step();
    }
    return true;
}

bool readQvr294(UpdateWindow& w, const SelectedDevice& dev, std::vector<uint8_t>& out) {
    w.setStatus("ReadFlash...");
    uint8_t piece[kQvr294Piece];
    for (uint32_t a = 0; a < out.size(); a += kQvr294Piece) {
        if (!IDEAccess::QV_FlashLoad294(dev.path, 100, a, kQvr294Piece, kQvr294ChipBuffer)) return false;
        sys::sleepMs(3);
        if (!IDEAccess::QV_BufferUpload294(dev.path, 100, 1, piece)) return false;
        sys::sleepMs(3);
        std::copy_n(piece, std::min<size_t>(kQvr294Piece, out.size() - a), out.begin() + a);
        Progress(w).step();
    }
    return true;
}

}  // namespace

ReadPath readPathFor(const SelectedDevice& dev, bool bufferDescriptorReadable) {
    if (takes1394Route(dev)) return ReadPath::Over1394;
    const vendor::ReadRoute p = vendor::chipRow(dev.chip.type).read;
    if (p == vendor::ReadRoute::BufferOrDirect) return bufferDescriptorReadable ? ReadPath::Buffer : ReadPath::Direct;
    switch (p) {
        case vendor::ReadRoute::Direct: return ReadPath::Direct;
        case vendor::ReadRoute::Qvr294: return ReadPath::Qvr294;
        case vendor::ReadRoute::SerialFlash: return ReadPath::SerialFlash;
        case vendor::ReadRoute::BufferOrDirect:
        case vendor::ReadRoute::None: break;
    }
    return ReadPath::None;
}

const char* readPathName(ReadPath p) {
    switch (p) {
        case ReadPath::Buffer: return "buffer read (READ BUFFER)";
        case ReadPath::Direct: return "direct flash read";
        case ReadPath::SerialFlash: return "serial flash read";
        case ReadPath::Qvr294: return "chip buffer read";
        case ReadPath::Over1394: return "direct flash read in 256-byte pieces (1394)";
        case ReadPath::None: break;
    }
    return "none";
}

bool readFlash(UpdateWindow& w, const SelectedDevice& dev, uint32_t length, std::vector<uint8_t>& out,
               std::string& error) {
    const uint32_t flashBytes = dev.flash.capacityKiB * 1024u;
    if (length == 0) length = flashBytes;
    if (length == 0 || (flashBytes && length > flashBytes)) {
        error = "the flash size is not known, or the length is larger than the flash";
        return false;
    }
    uint8_t d[4] = {};
    const bool descriptor = vendor::chipRow(dev.chip.type).read == vendor::ReadRoute::BufferOrDirect &&
                            IDEAccess::QV_ReadBuffer(dev.path, 3, 0, 0, d, sizeof d);
    const ReadPath path = readPathFor(dev, descriptor);
    out.assign(length, 0);
    bool ok = false;
    switch (path) {
        case ReadPath::Buffer:
            ok = ReadFlashViaBuffer(w, dev, 0, out.data(), out.size(), length);
            break;
        case ReadPath::Direct: {
            const DirectUpdateState s = directUpdateStateFor(dev);
            ok = fn_SerialFlashRead529(w, dev, s, 0, out.data(), length);
            break;
        }
        case ReadPath::SerialFlash:
            ok = readSerialFlash(w, dev, out);
            break;
        case ReadPath::Qvr294:
            ok = readQvr294(w, dev, out);
            break;
        case ReadPath::Over1394:
            ok = readFlash525Over1394(w, dev, 0, out.data(), length);
            break;
        case ReadPath::None:
            error = "this chip's flash cannot be read by q55x";
            return false;
    }
    if (!ok) error = std::string("the ") + readPathName(path) + " failed";
    return ok;
}

}  // namespace firmware
