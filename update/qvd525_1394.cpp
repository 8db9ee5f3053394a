#include "update/qvd525_1394.h"

#include <algorithm>
#include <cstring>

#include "bridge/IDEAccess.h"
#include "flash/flash_ops.h"
#include "image/image.h"
#include "sys/aligned.h"
#include "sys/bytes.h"
#include "update/direct_update.h"
#include "update/progress.h"

namespace firmware {

namespace {

// The QVD525 on a 1394 connection: 256-byte pieces, the write erases in front of 0 and 0x8000.
constexpr uint32_t k1394Piece = 256;
constexpr uint32_t k1394Least = 0x8000;
constexpr uint32_t k1394NvramAt = 0x8000;
constexpr uint32_t k1394NvramLen = 1024;
constexpr uint32_t k1394DotEvery = 2048;

}  // namespace

bool readFlash525Over1394(UpdateWindow& w, const SelectedDevice& dev, uint32_t start, uint8_t* buffer, size_t length) {
    DirectUpdateState s = directUpdateStateFor(dev);
    s.chunkSize = k1394Piece;
    return fn_SerialFlashRead529(w, dev, s, start, buffer, length);
}

bool UpdateFlash525Over1394(UpdateWindow& w, SelectedDevice& dev) {
    Progress p(&w);
    const FileImage file = readFirmwareFile(w.firmwareFile());
    if (!file.opened || file.bytes.empty()) return p.fail(kTextOpenFileError);
    if (startsWithCode(file)) return p.fail(kTextCodeWithoutNvram);
    const size_t length = sys::roundUp(std::max<size_t>(file.bytes.size(), k1394Least), k1394Piece);
    if (length > vendor::kSpiAddressSpace) return p.fail(kTextOpenFileError);
    if (length > flashBytesFor(dev, length)) return p.fail(kTextFwBiggerThanFlash);
    sys::AlignedBuffer image, readBack;
    if (!image.reset(length) || !readBack.reset(length)) return p.fail(kTextAllocError);
    std::memcpy(image.data(), file.bytes.data(), file.bytes.size());

    // Every transfer of this procedure is one piece, the reads as well as the writes.
    if (length <= k1394NvramAt) {
        // The settings at 0x8000 lie outside the erased units of such a file; the copy is taken
        // before anything is written, so a bridge that cannot be read is not written either.
        uint8_t nvram[k1394NvramLen] = {};
        if (!readFlash525Over1394(w, dev, k1394NvramAt, nvram, k1394NvramLen)) return p.fail(kTextBackupNvramFail);
    }
    p.show(kTextProgramming);
    for (size_t pos = 0; pos < length; pos += k1394Piece) {
        const bool erase = pos == 0 || pos == k1394NvramAt;
        // The bridge passes each piece straight to the flash, which drops it while the erase or
        // the program of the piece before is still running: each waits as the direct writes do.
        IDEAccess::WaitFlashReady(dev.path);
        if (!IDEAccess::QV_SetNVRAM_529(dev.path, static_cast<uint32_t>(pos), image.data() + pos,
                                        static_cast<int>(k1394Piece), erase))
            return p.fail(kTextWriteBinFail);
        if ((pos + k1394Piece) % k1394DotEvery == 0) p.step();
    }
    // Only a write that reads back as sent counts, and only then is the user sent to the power
    // switch.
    if (!readFlash525Over1394(w, dev, 0, readBack.data(), length)) return p.fail(kTextReadCommandFail);
    if (std::memcmp(image.data(), readBack.data(), length) != 0) return p.fail(kTextCompareFail);
    return p.succeed(kTextPowerCycle);
}

}  // namespace firmware
