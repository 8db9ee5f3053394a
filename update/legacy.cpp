#include "update/legacy.h"

#include <algorithm>
#include <cstring>

#include "bridge/IDEAccess.h"
#include "bridge/port.h"
#include "flash/flash_ops.h"
#include "image/image.h"
#include "sys/aligned.h"
#include "sys/bytes.h"
#include "sys/clock.h"
#include "update/direct_update.h"
#include "update/kept_copy.h"
#include "update/progress.h"
#include "update/serial_flash.h"

namespace firmware {

namespace {

// The legacy bridges: 8 KiB chunks over at least 32 KiB, 512 settings bytes at 0x8000.
constexpr uint32_t kLegacyChunk = 8192;
constexpr uint32_t kLegacyLeast = 0x8000;
constexpr uint32_t kLegacyNvramAt = 0x8000;
constexpr uint32_t kLegacyNvramLen = 512;
constexpr uint32_t kLegacyChipEraseAbove = 65536;   // larger files take a chip erase
constexpr uint32_t kLegacyRestoreUpTo = 0x8000;     // smaller files get the settings bytes back
constexpr uint32_t kAmicBootSectors[] = {0x0000, 0x1000, 0x3000, 0x7000};
constexpr uint32_t kAmicTopSector = 0xF000;
constexpr uint32_t kAmicTopAbove = 32768;
constexpr uint32_t kSecondHalfAt = 0x8000;

constexpr unsigned kAfterEraseMs = 500;
constexpr unsigned kBeforeLegacyReadBackMs = 1000;

bool eraseAndSettle(const SerialFlash& link, const Progress& p, uint32_t addr) {
    link.waitReady();
    if (!link.eraseUnit(addr)) return p.fail(kTextEraseCommandFail);
    sys::sleepMs(kAfterEraseMs);
    if (!link.waitReady()) return p.fail(kTextNotReadyAfterErase);
    return true;
}

bool eraseLegacy(const SelectedDevice& dev, const SerialFlash& link, const Progress& p, size_t fileSize) {
    if (fileSize > kLegacyChipEraseAbove) {
        link.waitReady();
        if (!IDEAccess::QV_SerialFlashChipErase(dev.path)) return p.fail(kTextEraseCommandFail);
        sys::sleepMs(kAfterEraseMs);
        if (!link.waitReady()) return p.fail(kTextNotReadyAfterEraseCmd);
        return true;
    }
    const int amic = dev.flash.amicModel;
    if (amic == 1 || amic == 3 || amic == 5) {
        // The boot-sector parts: the small sectors at the bottom, then the one at the top.
        for (uint32_t at : kAmicBootSectors)
            if (!eraseAndSettle(link, p, at)) return false;
        if (fileSize > kAmicTopAbove && !eraseAndSettle(link, p, kAmicTopSector)) return false;
        return true;
    }
    if (amic != -1 && amic != 4) return p.fail(kTextAmicUnknown);
    if (!eraseAndSettle(link, p, 0)) return false;
    return fileSize <= kSecondHalfAt || eraseAndSettle(link, p, kSecondHalfAt);
}

}  // namespace

bool UpdateFlashLegacy(UpdateWindow& w, SelectedDevice& dev) {
    Progress p(&w);
    // Its sectors are erased by the flash's own opcode: a flash nobody could name is not erased.
    if (!flashKnown(dev)) return p.fail(kTextUnknownFlash);
    const FileImage file = readFirmwareFile(w.firmwareFile());
    if (!file.opened || file.bytes.empty()) return p.fail(kTextOpenFileError);
    if (startsWithCode(file)) return p.fail(kTextCodeWithoutNvram);
    const size_t fileSize = file.bytes.size();
    const size_t length = sys::roundUp(std::max<size_t>(fileSize, kLegacyLeast), kLegacyChunk);
    if (length > vendor::kSpiAddressSpace) return p.fail(kTextOpenFileError);
    if (length > flashBytesFor(dev, length)) return p.fail(kTextFwBiggerThanFlash);
    sys::AlignedBuffer readBack, image;
    if (!readBack.reset(length)) return p.fail(kTextAllocReadError);
    if (!image.reset(length)) return p.fail(kTextAllocWriteError);
    std::memcpy(image.data(), file.bytes.data(), fileSize);

    vendor::WinPort port(dev.path);
    const SerialFlash link(port);
    // The settings bytes at 0x8000 are read for every file that leaves them in the erased range;
    // the smaller files get them back. Without a good copy they cannot be given back, and the
    // update stops before anything is erased.
    uint8_t nvram[kLegacyNvramLen] = {};
    const bool restore = fileSize <= kLegacyRestoreUpTo;
    if (fileSize <= kLegacyChipEraseAbove) {
        link.waitReady();
        const bool ok = readKeptCopy([&](uint8_t* b) { return link.read(kLegacyNvramAt, b, kLegacyNvramLen); }, nvram,
                                     kLegacyNvramLen);
        w.debug(ok ? "NVRAM O.K.\n" : "NVRAM fail\n");
        if (!ok && restore) return p.fail(kTextBackupNvramFail);
    }
    const vendor::FlashType flashType = dev.flash.type;
    const bool unprotect = flashType == vendor::kFlashSt || flashType == vendor::kFlashMxic;
    if (!prepareFlashForWrite(link, p, dev.flash.atmelModel != -1, unprotect)) return false;
    // SST parts come up protected: unlocked before the bridge's erase, as in the SST update.
    if (flashType == vendor::kFlashSst) vendor::sstUnlock(port);

    p.show(kTextErasing);
    if (!eraseLegacy(dev, link, p, fileSize)) return false;
    if (!link.read(0, readBack.data(), static_cast<uint32_t>(length))) return p.fail(kTextReadErasedError);
    if (!allErased(readBack.data(), length)) return p.fail(kTextNotErased);

    p.show(kTextProgramming);
    // A flash whose command set the bridge was told (parameter value 32) is written page by page.
    const bool spiWrite = dev.flash.flashParameterSent;
    const SerialFlash writer(port, {spiWrite, flashType, dev.flash.sst25});
    for (size_t pos = 0; pos < length; pos += kLegacyChunk) {
        writer.waitReady();
        if (!writer.write(static_cast<uint32_t>(pos), image.data() + pos, kLegacyChunk))
            return p.fail(kTextProgrammingFail);
        p.step();
    }
    if (restore) {
        uint8_t back[kLegacyNvramLen] = {};
        link.waitReady();
        if (!link.write(kLegacyNvramAt, nvram, kLegacyNvramLen)) return p.fail(kTextNvramBackFail);
        w.debug("write NVRAM O.K.\n");
        link.waitReady();
        // The settings count as much as the code: they are verified as well.
        if (!link.read(kLegacyNvramAt, back, kLegacyNvramLen)) return p.failAppending(kTextLegacyReadFail);
        if (std::memcmp(back, nvram, kLegacyNvramLen) != 0) return p.failAppending(kTextLegacyCompareFail);
    }

    sys::sleepMs(kBeforeLegacyReadBackMs);
    link.waitReady();
    if (!link.read(0, readBack.data(), static_cast<uint32_t>(length))) return p.failAppending(kTextLegacyReadFail);
    if (std::memcmp(image.data(), readBack.data(), length) != 0) return p.failAppending(kTextLegacyCompareFail);
    return p.succeed(kTextPowerCycleLegacy);
}

}  // namespace firmware
