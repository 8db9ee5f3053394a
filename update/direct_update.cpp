// The direct update of both programs and the bank recovery (direct_update.h). About 600 lines:
// the Windows and macOS forms share one write and one read routine, which stay beside both.
#include "update/direct_update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "update/progress.h"
#include "update/update_texts.h"
#include "update/buffer_update.h"
#include "image/format/crc.h"
#include "image/image.h"
#include "update/kept_copy.h"
#include "bridge/port.h"
#include "sys/aligned.h"
#include "sys/bytes.h"
#include "sys/clock.h"
#include "sys/resources.h"
#include "bridge/IDEAccess.h"
#include "flash/flash_buffer_ops.h"
#include "identify/chip_detect.h"
#include "identify/flash_detect.h"
#include "flash/flash_ops.h"
#include "identify/flash_types.h"
#include "bridge/qvaccess.h"

namespace firmware {

namespace {

using vendor::ChipType;

// Transfer units of the direct commands.
constexpr uint32_t kDefaultChunkSize = 8192;
constexpr uint32_t kFirstChunkAtZero = 4096;      // the chip takes no more at flash address 0
constexpr size_t kDirectRounding = 512;           // every direct transfer is whole 512-byte units
constexpr size_t kBufferRounding = sys::kDeviceAlignment;
constexpr uint32_t kFlashAddressSpace = 0x1000000;   // 24-bit flash addresses
constexpr uint8_t kMxicEraseFlag = 0x80;           // passed to the chip for an MXIC erase at 0

// Flash layout the procedures work with.
constexpr uint32_t kSingleBankSize = 0x10000;     // one bank of the single-bank families
constexpr uint32_t kSecondBankAt = 0x10000;
constexpr size_t kTwoBankImageSize = 2 * kBankSize;   // QVR29x: both 128 KiB banks
constexpr uint32_t kBiggestSingleBankFileWithCrc = 0x10000;
constexpr uint32_t kSmallestTwoBankFile = 0x20000;    // a single-bank file carrying both banks
constexpr uint32_t kProductAreaAt = 0x44000, kProductAreaSize = 4096;   // the QVR29x product record's unit
constexpr uint32_t kTwoPassFlashKiB = 127;        // above this the single-bank chips keep two banks
constexpr int kProgrammingAttempts = 3;
constexpr int kRecoveryAttempts = 2;
constexpr int kBufferRunsPerAttempt = 2;

// Erase modes of the direct write.
constexpr uint8_t kNoErase = 0;
constexpr uint8_t kSectorErase = 1;
constexpr uint8_t kBlockErase = 2;
constexpr uint8_t kChipErase = 3;

// Waits.
constexpr unsigned kAfterMxicEraseMs = 500;

// The chip's answer to the buffer descriptor when its ROM loader waits for a RAM image.
constexpr uint8_t kRomLoaderBoundary = 0xFF;
constexpr uint8_t kCodeStateMfgFlash = 3;
constexpr uint8_t kActivateMode = 15;

constexpr const char* kMacRoutine = "QV_UpdateFlash529";

const vendor::ChipRow& rowOf(const SelectedDevice& dev) { return vendor::chipRow(dev.chip.type); }
bool isSingleBank(const vendor::ChipRow& r) { return r.layout == vendor::FlashLayout::SingleBank; }

using sys::roundUp;

// What the two programs' write and read routines do differently.
struct DirectForm {
    UpdateWindow* window = nullptr;   // status line and message processing; none on macOS
    uint32_t flashType = vendor::kFlashUnknown;   // for the MXIC rule at address 0
    bool eraseThenWrite = false;      // QVR29x: the erase goes out in a command of its own
};

DirectForm windowsForm(UpdateWindow& w, const SelectedDevice& dev) {
    return {&w, dev.flash.type, rowOf(dev).ramBuffer};
}

enum class EraseKind { None, Sector, Block, Chip };

EraseKind eraseKindOf(uint8_t mode) {
    switch (mode) {
        case 1: case 4: return EraseKind::Sector;
        case 2: case 5: return EraseKind::Block;
        case 3: case 6: case 7: return EraseKind::Chip;
        default: return EraseKind::None;
    }
}

// Erase-as-you-go in units of `unit`: a chunk that starts at or past the units already erased
// erases the unit it starts in, and no chunk runs over the end of the erased units. The counter
// is brought to the unit that holds the chunk, so a write that starts past the counted units
// still gets a chunk that ends inside them.
uint8_t eraseAsYouGo(uint32_t at, uint32_t unit, uint32_t& counter, uint32_t& chunk, uint8_t mode) {
    if (unit == 0) return kNoErase;
    uint8_t erase = kNoErase;
    if (uint64_t{at} >= uint64_t{unit} * counter) {
        counter = at / unit + 1;
        erase = mode & 7;
    }
    const uint64_t boundary = uint64_t{unit} * counter;
    if (at + uint64_t{chunk} > boundary) chunk = static_cast<uint32_t>(boundary - at);
    return erase;
}

// fn_SerialFlashWrite529 in both forms.
bool writeDirect(vendor::BridgePort& port, const DirectForm& form, DirectUpdateState& s, uint32_t start,
                 const uint8_t* data, size_t length, uint8_t eraseMode) {
    if (length == 0) return true;
    if (data == nullptr) return false;
    const size_t total = roundUp(length, kDirectRounding);
    if (start > kFlashAddressSpace || total > kFlashAddressSpace - start) return false;
    // Only `length` bytes are taken from the caller; the rounding is zeros.
    sys::AlignedBuffer buf;
    if (!buf.reset(total)) return false;
    std::memcpy(buf.data(), data, length);

    const uint32_t chunkSize = s.chunkSize ? s.chunkSize : kDefaultChunkSize;
    const EraseKind kind = eraseKindOf(eraseMode);
    for (size_t pos = 0; pos < total;) {
        const uint32_t at = start + static_cast<uint32_t>(pos);
        uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(chunkSize, total - pos));
        if (at == 0 && chunk > kFirstChunkAtZero) chunk = kFirstChunkAtZero;
        uint8_t erase = kNoErase;
        switch (kind) {
            case EraseKind::Sector: erase = eraseAsYouGo(at, s.sectorSize, s.sectorCounter, chunk, eraseMode); break;
            case EraseKind::Block: erase = eraseAsYouGo(at, s.blockSize, s.blockCounter, chunk, eraseMode); break;
            case EraseKind::Chip: erase = at == 0 ? eraseMode & 7 : kNoErase; break;
            case EraseKind::None: break;
        }
        if (at == 0 && form.flashType == vendor::kFlashMxic && erase != kNoErase) erase |= kMxicEraseFlag;

        vendor::waitFlashReady(port);
        const uint8_t* p = buf.data() + pos;
        const int n = static_cast<int>(chunk);
        bool ok;
        if (form.eraseThenWrite && erase >= kSectorErase && erase <= kChipErase) {
            // The erase runs on in the flash after its command returns; a write sent before it is
            // done never reaches the flash, so it waits as every other write does.
            ok = port.directWrite(at, nullptr, 0, erase);
            if (ok) vendor::waitFlashReady(port);
            ok = ok && port.directWrite(at, p, n, kNoErase);
        } else
            ok = port.directWrite(at, p, n, erase);
        if (!ok) return false;
        pos += chunk;
        Progress(form.window).step();
    }
    return true;
}

// fn_SerialFlashRead529 in both forms: `length` bytes reach `out` even after a failed chunk.
bool readDirect(vendor::BridgePort& port, const DirectForm& form, const DirectUpdateState& s, uint32_t start,
                uint8_t* out, size_t length) {
    if (length == 0) return true;
    if (out == nullptr || length > kFlashAddressSpace) return false;
    const size_t total = roundUp(length, kDirectRounding);
    if (start > kFlashAddressSpace || total > kFlashAddressSpace - start) return false;
    sys::AlignedBuffer buf;
    if (!buf.reset(total)) return false;
    Progress(form.window).show(kTextReading);
    const uint32_t chunkSize = s.chunkSize ? s.chunkSize : kDefaultChunkSize;
    bool ok = true;
    for (size_t pos = 0; pos < total;) {
        const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(chunkSize, total - pos));
        vendor::waitFlashReady(port);
        if (!port.directRead(start + static_cast<uint32_t>(pos), buf.data() + pos, static_cast<int>(chunk))) {
            ok = false;
            break;
        }
        pos += chunk;
        Progress(form.window).step();
    }
    std::memcpy(out, buf.data(), length);
    return ok;
}

// Every message of the update ends it, except those of a programming attempt.
bool fail(UpdateWindow& w, const char* text) { return Progress(w).fail(text); }
void show(UpdateWindow& w, const char* text) { Progress(w).show(text); }

// The direct path: each pass writes, reads back and compares, with up to three erase modes.
// The product area as it was before the run, written back where the run erased it.
bool putBackProductArea(vendor::BridgePort& link, const DirectForm& form, DirectUpdateState& s,
                        const sys::AlignedBuffer& area, sys::AlignedBuffer& readBack) {
    vendor::waitFlashReady(link);
    if (!readDirect(link, form, s, kProductAreaAt, readBack.data(), kProductAreaSize)) return false;
    if (std::memcmp(readBack.data(), area.data(), kProductAreaSize) == 0) return true;
    s.sectorCounter = kProductAreaAt / s.sectorSize;
    if (!writeDirect(link, form, s, kProductAreaAt, area.data(), kProductAreaSize, kSectorErase)) return false;
    vendor::waitFlashReady(link);
    return readDirect(link, form, s, kProductAreaAt, readBack.data(), kProductAreaSize) &&
           std::memcmp(readBack.data(), area.data(), kProductAreaSize) == 0;
}

bool programDirect(UpdateWindow& w, const SelectedDevice& dev, DirectUpdateState& s, sys::AlignedBuffer& image,
                   sys::AlignedBuffer& readBack, size_t fileSize, uint32_t length, int passes, uint8_t firstMode,
                   bool keepProductArea) {
    vendor::WinPort link(dev.path);
    const DirectForm form = windowsForm(w, dev);
    if (rowOf(dev).ramBuffer) {
        // A bridge that answers the buffer descriptor checks its banks' signature blocks at boot.
        uint8_t descriptor[4] = {};
        if (IDEAccess::QV_ReadBuffer(dev.path, vendor::kBufferDescriptorMode, 0, 0, descriptor, 4))
            StampBankSignature(image.data(), image.size());
    }
    const uint8_t modes[kProgrammingAttempts] = {firstMode, kSectorErase, kChipErase};
    // The single-bank chips' NVRAM as the image holds it, for a failed run to put back.
    const vendor::ChipRow& row = rowOf(dev);
    sys::AlignedBuffer nvram;
    if (isSingleBank(row) && nvram.reset(kNvramSize)) std::memcpy(nvram.data(), image.data() + row.nvram.at, kNvramSize);
    bool chipErased = false;
    // The product area is read before the first attempt that erases the whole chip (the others
    // stop short of it), and put back once the image is in.
    sys::AlignedBuffer productArea;
    const auto readProductArea = [&] {
        const auto read = [&](uint8_t* b) { return readDirect(link, form, s, kProductAreaAt, b, kProductAreaSize); };
        return productArea.reset(kProductAreaSize) && readKeptCopy(read, productArea.data(), kProductAreaSize);
    };
    for (int pass = 0; pass < passes; ++pass) {
        const uint32_t bank = pass == 0 ? 0 : kSecondBankAt;
        if (pass > 0) {
            s.blockCounter = kSecondBankAt / s.blockSize;
            s.sectorCounter = kSecondBankAt / s.sectorSize;
            // A file that carries both banks gives the second bank its own copy.
            if (fileSize >= kSmallestTwoBankFile) std::memmove(image.data(), image.data() + kSecondBankAt, kSingleBankSize);
        }
        bool passed = false;
        for (int attempt = 0; attempt < kProgrammingAttempts && !passed; ++attempt) {
            show(w, kTextProgramming);
            chipErased = chipErased || (bank == 0 && modes[attempt] == kChipErase);
            if (keepProductArea && modes[attempt] == kChipErase && productArea.size() == 0 && !readProductArea()) {
                show(w, kTextReadCommandFail);
                return false;
            }
            if (!writeDirect(link, form, s, bank, image.data(), length, modes[attempt])) {
                show(w, kTextWriteBinFail);
                continue;
            }
            vendor::waitFlashReady(link);
            if (!readDirect(link, form, s, bank, readBack.data(), length)) {
                show(w, kTextReadCommandFail);
                continue;
            }
            if (std::memcmp(image.data(), readBack.data(), length) != 0) {
                show(w, kTextCompareFail);
                continue;
            }
            passed = true;
        }
        if (!passed) {
            // The failure stays a failure, but what the chip keeps goes back where the attempts
            // erased it: the bank's NVRAM unit (from the image, which holds it) and the product area.
            // A chip erase (sent at the first bank only) took the other bank's unit as well.
            for (int b = 0; b < passes && nvram.size() != 0; ++b) {
                if (b != pass && !chipErased) continue;
                const uint32_t at = (b == 0 ? 0 : kSecondBankAt) + row.nvram.at;
                s.sectorCounter = at / s.sectorSize;
                writeDirect(link, form, s, at, nvram.data(), kNvramSize, kSectorErase);
            }
            if (productArea.size() != 0) putBackProductArea(link, form, s, productArea, readBack);
            return false;
        }
    }
    if (productArea.size() != 0 && !putBackProductArea(link, form, s, productArea, readBack)) {
        show(w, kTextWriteBinFail);
        return false;
    }
    return true;
}

// The ROM loader waits for a RAM image: only then can the buffer path download one. After a
// download the chip runs that image (descriptor boundary 12) until it resets.
bool romLoaderWaiting(const SelectedDevice& dev) {
    uint8_t descriptor[4] = {};
    if (!IDEAccess::QV_ReadBuffer(dev.path, vendor::kBufferDescriptorMode, 0, 0, descriptor, 4)) return true;
    return descriptor[0] == kRomLoaderBoundary;
}

// The buffer path of the QVR29x bridges: the chip programs its flash itself.
bool programThroughBuffer(UpdateWindow& w, const SelectedDevice& dev, sys::AlignedBuffer& image,
                          sys::AlignedBuffer& readBack, uint32_t length, uint32_t readLength) {
    uint8_t info[16] = {};
    if (!IDEAccess::QV_GetChipInfo(dev.path, info, sizeof info)) return false;
    const bool download = info[6] != kCodeStateMfgFlash;
    if (download) StampBankSignature(image.data(), image.size());
    // Everything written is compared, under the manufacturing code too; the read-back holds it.
    const size_t compared = std::min(download ? size_t{length} : bufferCompareLength(length), readBack.size());
    for (int attempt = 0; attempt < kProgrammingAttempts; ++attempt) {
        show(w, kTextProgramming);
        bool failed = false;
        for (int run = 0; run < kBufferRunsPerAttempt && !failed; ++run) {
            const bool downloadNow = download && romLoaderWaiting(dev);
            if (!DownloadViaBuffer(w, dev, 0, image.data(), image.size(), length, downloadNow)) {
                show(w, kTextWriteBinFail);
                failed = true;
            } else if (!ReadFlashViaBuffer(w, dev, 0, readBack.data(), readBack.size(), readLength)) {
                show(w, kTextReadFwFail);
                failed = true;
            } else if (firstDifferenceOutsideBankSignatures(image.data(), readBack.data(), compared) >= 0) {
                show(w, kTextCompareFail);
                failed = true;
            }
        }
        if (!failed) return true;
    }
    return false;
}

}  // namespace

DirectUpdateState directUpdateStateFor(const SelectedDevice& dev) {
    DirectUpdateState s;
    const uint32_t kib = std::min<uint32_t>(dev.flash.capacityKiB, kFlashAddressSpace / 1024);
    if (kib > 0) s.flashSize = kib * 1024;
    if (dev.flash.blockSize) s.blockSize = dev.flash.blockSize;
    if (dev.flash.sectorSize) s.sectorSize = dev.flash.sectorSize;
    return s;
}

bool fn_SerialFlashWrite529(UpdateWindow& w, const SelectedDevice& dev, DirectUpdateState& s, uint32_t start,
                            const uint8_t* data, size_t length, uint8_t eraseMode) {
    vendor::WinPort port(dev.path);
    return writeDirect(port, windowsForm(w, dev), s, start, data, length, eraseMode);
}

bool fn_SerialFlashRead529(UpdateWindow& w, const SelectedDevice& dev, const DirectUpdateState& s, uint32_t start,
                           uint8_t* buffer, size_t length) {
    vendor::WinPort port(dev.path);
    return readDirect(port, windowsForm(w, dev), s, start, buffer, length);
}

bool RunDirectUpdate(UpdateWindow& w, SelectedDevice& dev) {
    DirectUpdateState s = directUpdateStateFor(dev);
    s.chunkSize = kDefaultChunkSize;
    return UpdateFlashDirect(w, dev, s);
}

bool UpdateFlashDirect(UpdateWindow& w, SelectedDevice& dev, DirectUpdateState& s) {
    const vendor::ChipRow& row = rowOf(dev);
    const bool qvr29x = row.ramBuffer;
    const bool singleBank = isSingleBank(row);
    const bool twoBanks = vendor::keepsTwoBanks(row);
    const uint32_t flashKiB = s.flashSize / 1024;
    vendor::WinPort link(dev.path);
    const DirectForm form = windowsForm(w, dev);
    if (s.blockSize == 0) s.blockSize = DirectUpdateState{}.blockSize;
    if (s.sectorSize == 0) s.sectorSize = DirectUpdateState{}.sectorSize;

    // The file is looked at before anything is sent: an empty (or unreadable) one is no firmware.
    const FileImage file = readFirmwareFile(w.firmwareFile());
    const bool fileReadable = file.opened && !file.bytes.empty();
    // A file that starts with its code (signature block at 0) carries no NVRAM of its own: on the
    // chips whose code follows their 4 KiB NVRAM it goes behind the chip's NVRAM, which is kept
    // whatever "Include 4K NVRAM" says (there is no NVRAM in the file to include).
    const bool codeOnly = !qvr29x && !singleBank && fileReadable && file.bytes.size() >= sizeof kSignature &&
                          std::memcmp(file.bytes.data(), kSignature, sizeof kSignature) == 0;

    // The chip's own NVRAM, unless the file's is to be written. A single-bank file that ends
    // before the NVRAM does carries none: the box, ticked and hidden on these chips, cannot ask
    // for bytes the file does not have.
    // The same holds where the NVRAM comes first: a file shorter than it carries none.
    const bool fileHasNoNvram = codeOnly || (singleBank ? !carriesSingleBankNvram(file.bytes.size(), dev.chip.type)
                                                        : file.bytes.size() < kNvramSize);
    const bool keepNvram = !qvr29x && (!w.includeNvram() || fileHasNoNvram);
    const uint32_t nvramAt = row.nvram.at;
    sys::AlignedBuffer kept;
    if (!qvr29x) {
        if (row.flashPrepare) IDEAccess::QV_FlashPrepare(dev.path);
        if (keepNvram) {
            if (!kept.reset(kNvramSize)) return fail(w, kTextAllocError);
            const auto read = [&](uint8_t* b) { return readDirect(link, form, s, nvramAt, b, kNvramSize); };
            if (!readKeptCopy(read, kept.data(), kNvramSize)) return fail(w, kTextBackupNvramFail);
        }
    }

    // The file.
    if (!fileReadable) return fail(w, kTextOpenFileError);
    const size_t fileSize = file.bytes.size();
    size_t length = roundUp(codeOnly ? kNvramSize + fileSize : fileSize, kFileRounding);

    // Whole KiB are compared, but the bytes must fit too: the last page of a file a few bytes
    // over the flash would be sent past its end.
    if (qvr29x && (length / 1024 > flashKiB || length > s.flashSize)) return fail(w, kTextFwBiggerThanFlash);

    // Buffers sized for the work: both QVR29x banks (the bank stamp and the second copy of a
    // one-bank file need them whatever the flash), and the first 64 KiB of a single-bank chip,
    // where its kept NVRAM and region checksum stand.
    size_t bufferLength = roundUp(qvr29x ? s.flashSize : length, kBufferRounding);
    if (qvr29x) bufferLength = std::max(bufferLength, kTwoBankImageSize);
    if (singleBank) bufferLength = std::max<size_t>(bufferLength, kSingleBankSize);
    bufferLength = std::max(bufferLength, roundUp(length, kBufferRounding));
    sys::AlignedBuffer image, readBack;
    if (!image.reset(bufferLength) || !readBack.reset(bufferLength)) return fail(w, kTextAllocError);
    uint8_t* img = image.data();
    const uint8_t* fileBytes = file.bytes.data();

    // The image: the file, with the kept NVRAM where the chip reads it.
    if (qvr29x) {
        std::memcpy(img, fileBytes, fileSize);
        // A one-bank file fills both banks, where the flash has room for the second.
        if (fileSize == kBankSize && s.flashSize >= kTwoBankImageSize) {
            std::memcpy(img + kBankSize, fileBytes, fileSize);
            length = kTwoBankImageSize;
        }
    } else if (!keepNvram) {
        std::memcpy(img, fileBytes, fileSize);
    } else if (singleBank) {
        std::memcpy(img, fileBytes, fileSize);
        std::memcpy(img + nvramAt, kept.data(), kNvramSize);
        // A file that carries both banks writes the second from its own half: the chip's settings
        // go there too, or the second bank's copy of them would be the file's.
        if (twoBanks && fileSize >= kSmallestTwoBankFile)
            std::memcpy(img + kSecondBankAt + nvramAt, kept.data(), kNvramSize);
    } else if (codeOnly) {
        std::memcpy(img, kept.data(), kNvramSize);
        std::memcpy(img + kNvramSize, fileBytes, fileSize);
    } else {
        std::memcpy(img, kept.data(), kNvramSize);
        if (fileSize > kNvramSize) std::memcpy(img + kNvramSize, fileBytes + kNvramSize, fileSize - kNvramSize);
    }

    // The single-bank chips check their code region's CRC-16 at boot; where the flash keeps the
    // bank twice, the second copy is written in a pass of its own.
    int passes = 1;
    if (singleBank) {
        if (fileSize <= kBiggestSingleBankFileWithCrc) stampRegionCrc(img, image.size(), row.codeEnd);
        if (twoBanks) {
            if (flashKiB > kTwoPassFlashKiB) passes = 2;
            length = std::min<size_t>(length, kSingleBankSize);
        }
    }
    // The kept NVRAM is written with the code: a file that ends before it must not leave it in
    // an erased unit behind the last byte written.
    if (keepNvram) length = std::max<size_t>(length, nvramAt + kNvramSize);
    // Every byte is to fit the flash before anything is erased, the code behind a kept NVRAM too.
    if (!qvr29x) {
        const uint64_t extent = (passes > 1 ? kSecondBankAt : 0) + roundUp(length, kDirectRounding);
        if (extent > flashBytesFor(dev, extent)) return fail(w, kTextFwBiggerThanFlash);
    }

    // From here on the flash is written.
    show(w, kTextProgramming);
    s.blockCounter = 0;
    s.sectorCounter = 0;
    const bool bufferPath = qvr29x && w.readWriteBuffer();

    // MXIC parts are erased ahead of the first write.
    if (dev.flash.type == vendor::kFlashMxic) {
        vendor::waitFlashReady(link);
        bool erased = false;
        if (qvr29x) {
            if (!bufferPath) erased = link.directWrite(0, nullptr, 0, kBlockErase);
        } else {
            erased = writeDirect(link, form, s, 0, img, std::min<size_t>(kFirstChunkAtZero, image.size()), kBlockErase);
        }
        if (erased) sys::sleepMs(kAfterMxicEraseMs);
    }

    // Write, read back and compare, with up to three erase modes (or through the RAM buffer).
    const uint8_t firstMode = dev.flash.type == vendor::kFlashAmic ? kChipErase : s.defaultEraseMode;
    // A QVR29x keeps its product record past every image short of it; a chip erase (the AMIC
    // parts', or the last attempt's) takes it with the rest.
    const bool keepProductArea =
        qvr29x && !bufferPath && length <= kProductAreaAt && s.flashSize >= kProductAreaAt + kProductAreaSize;
    const bool ok = bufferPath
                        ? programThroughBuffer(w, dev, image, readBack, static_cast<uint32_t>(length),
                                               static_cast<uint32_t>(bufferLength))
                        : programDirect(w, dev, s, image, readBack, fileSize, static_cast<uint32_t>(length), passes,
                                        firstMode, keepProductArea);
    if (!ok) {
        w.processMessages();
        return false;
    }

    // The chips that restart on command are told to; the others wait for the user's power switch.
    show(w, kTextSuccess);
    const bool autoReset = w.settings().chipReset == 1;
    if (row.resetsAfterUpdate) {
        // The bridge may drop off the bus before it answers; the box tells the user what follows.
        if (!bufferPath)
            IDEAccess::QV_ChipReset256(dev.path);
        else if (autoReset)
            IDEAccess::QV_WriteBuffer(dev.path, kActivateMode, 0, 0, nullptr, 0);
        w.messageBox(autoReset ? kTextAutoReset : kTextPowerCycle, Progress::kMessageTitle, sys::MsgIcon::None);
    } else {
        w.messageBox(kTextPowerCycle, Progress::kMessageTitle, sys::MsgIcon::None);
    }
    w.processMessages();
    return true;
}

bool RecoverFirmwareBank(UpdateWindow& w, SelectedDevice& dev) {
    const ChipType t = dev.chip.type;
    if (!vendor::keepsTwoBanks(vendor::chipRow(t)) || dev.flash.capacityKiB <= kTwoPassFlashKiB) return true;
    if (dev.record && dev.record->recoveryMark) return true;

    // The update button stays off while the banks are looked at, and comes back as it was.
    struct ButtonGuard {
        UpdateWindow& w;
        bool was;
        ~ButtonGuard() { w.setUpdateButtonEnabled(was); }
    } guard{w, w.updateButtonEnabled()};
    w.setUpdateButtonEnabled(false);

    DirectUpdateState s = directUpdateStateFor(dev);
    vendor::WinPort link(dev.path);
    const DirectForm form = windowsForm(w, dev);
    sys::AlignedBuffer bank0, bank1, readBack;
    if (!bank0.reset(kSingleBankSize) || !bank1.reset(kSingleBankSize) || !readBack.reset(kSingleBankSize))
        return fail(w, kTextAllocError);

    const bool read0 = readDirect(link, form, s, 0, bank0.data(), kSingleBankSize);
    w.setStatus("");
    if (!read0) return false;
    const bool read1 = readDirect(link, form, s, kSecondBankAt, bank1.data(), kSingleBankSize);
    w.setStatus("");
    if (!read1) return false;
    const bool valid0 = ValidateBank(bank0.data(), bank0.size(), t);
    const bool valid1 = ValidateBank(bank1.data(), bank1.size(), t);

    if (dev.record) dev.record->recoveryMark = 1;
    if (valid0 == valid1) return true;

    const uint32_t target = valid0 ? kSecondBankAt : 0;
    const uint8_t* good = valid0 ? bank0.data() : bank1.data();
    s.blockCounter = target / s.blockSize;
    s.sectorCounter = target / s.sectorSize;
    bool recovered = false;
    const uint8_t modes[kRecoveryAttempts] = {kBlockErase, kSectorErase};
    for (int attempt = 0; attempt < kRecoveryAttempts && !recovered; ++attempt) {
        if (!writeDirect(link, form, s, target, good, kSingleBankSize, modes[attempt])) continue;
        const bool read = readDirect(link, form, s, target, readBack.data(), kSingleBankSize);
        w.setStatus("");
        recovered = read && std::memcmp(good, readBack.data(), kSingleBankSize) == 0;
    }
    show(w, recovered ? kTextRecoveryOk : kTextRecoveryFail);
    return recovered;
}

// --- macOS ------------------------------------------------------------------------------------

namespace {

// The macOS routines keep their erase counters per call, with the erase units of the flash type.
DirectUpdateState macState(uint32_t flashType) {
    DirectUpdateState s;
    const uint32_t type = flashType < static_cast<uint32_t>(vendor::kMacFlashTypeCount) ? flashType : 0;
    s.blockSize = vendor::tbl_FlashBlockSize[type];
    s.sectorSize = vendor::tbl_FlashSectorSize[type];
    return s;
}

void macPrintf(const char* format, const char* routine) {
    char line[96];
    std::snprintf(line, sizeof line, format, routine);
    macPrint(line);
}

// MXIC parts whose command set the bridge must be told: C2 22 with these capacity codes.
bool needsMxicParameters(const uint8_t* id) {
    return id[0] == 0xC2 && id[1] == 0x22 && (id[2] == 0x10 || id[2] == 0x11 || id[2] == 0x13);
}

constexpr uint16_t kFlashParameterValue = 32;

// The chip this thread serves, by identification, and the bundle image made for it, by the chip's
// own file rule.
bool bundleFitsChip(uint32_t device, const std::vector<uint8_t>& bundle) {
    const uint64_t id = qvaccess::QV_GetChipID_Version(device);
    const vendor::ChipRow& row = vendor::chipRowOfMac(static_cast<uint32_t>(id & 0xFFFFFFFFu));
    if (row.macUpdate != vendor::MacUpdate::Qvd529) return false;
    FileImage file;
    file.opened = true;
    file.bytes = bundle;
    return FileMatchesChip(file, row.win, static_cast<int>(id >> 32));
}

}  // namespace

bool fn_SerialFlashWrite529(uint32_t device, uint32_t start, const uint8_t* data, size_t length, uint8_t eraseMode,
                            uint32_t flashType) {
    DirectUpdateState s = macState(flashType);
    DirectForm form;
    form.flashType = flashType;
    vendor::MacPort port(device);
    return writeDirect(port, form, s, start, data, length, eraseMode);
}

bool fn_SerialFlashRead529(uint32_t device, uint32_t start, uint8_t* buffer, size_t length) {
    vendor::MacPort port(device);
    return readDirect(port, DirectForm{}, DirectUpdateState{}, start, buffer, length);
}

bool QV_UpdateFlash529(uint32_t device, const uint8_t* image, size_t size, uint32_t flashType) {
    if (image == nullptr || size == 0) return false;
    sys::AlignedBuffer readBack;
    if (!readBack.reset(size)) return false;
    qvaccess::fn_WAIT_DEVICE_READY(device);
    if (flashType == vendor::kFlashMxic) {
        uint8_t id[4] = {};
        if (qvaccess::QV_FlashTypeChkID(device, 0x9F, id, sizeof id) && needsMxicParameters(id)) {
            vendor::_VenderCmdPara para;   // C7, D8, 02, 20
            para.flashType = flashType;
            qvaccess::QV_SerialFlashSetPara256(device, para, false, kFlashParameterValue);
        }
        qvaccess::fn_WAIT_DEVICE_READY(device);
        if (fn_SerialFlashWrite529(device, 0, image, std::min<size_t>(size, kFirstChunkAtZero), kBlockErase, flashType))
            sys::sleepMs(kAfterMxicEraseMs);
    }
    for (uint8_t mode : {kBlockErase, kChipErase, kSectorErase}) {
        macPrintf("%s: programing.", kMacRoutine);
        if (!fn_SerialFlashWrite529(device, 0, image, size, mode, flashType)) continue;
        macPrintf("%s: read back.", kMacRoutine);
        qvaccess::fn_WAIT_DEVICE_READY(device);
        if (!fn_SerialFlashRead529(device, 0, readBack.data(), size)) continue;
        macPrintf("%s: compare.", kMacRoutine);
        if (std::memcmp(image, readBack.data(), size) == 0) return true;
    }
    return false;
}

int qvd529_update_func(uint32_t device, const std::function<void(bool)>& showResult) {
    std::vector<uint8_t> bundle;
    if (!sys::loadResource(kMacQvd529Image, "BIN", bundle) || bundle.empty()) return -1;
    // As the QVR298 thread: the result is printed before the wizard's window shows it.
    const auto finish = [&](bool ok) {
        macPrint(ok ? "update_func: show success message." : "update_func: update fails.");
        if (showResult) showResult(ok);
        return ok ? 0 : -1;
    };
    // The kept NVRAM goes back inside the image, and the image's own NVRAM area stands behind it:
    // an image that ends before the NVRAM's end would leave the rest of it erased, and is refused
    // before the flash is touched.
    if (bundle.size() < kQvd529MacKeptOffset + kNvramSize) {
        macPrint("update_func: image too short.");
        return finish(false);
    }

    // The image boots only on the chip its signature block names: on any other chip the thread
    // would leave a flash that compares well and a bridge that no longer starts.
    if (!bundleFitsChip(device, bundle)) {
        macPrint("update_func: FW and Chip not match.");
        return finish(false);
    }

    macPrint("update_func: check flash type.");
    const uint32_t flashType = qvaccess::FlashTypeForUpdate(device);

    // Written past the flash's end the image would wrap round over the NVRAM bytes kept at 0xC000.
    if (bundle.size() > macFlashBytes(device, flashType, bundle.size())) {
        macPrint(kTextFwBiggerThanFlash);
        return finish(false);
    }

    macPrint("update_func: allocate resources.");
    sys::AlignedBuffer image, kept;
    if (!image.reset(bundle.size()) || !kept.reset(bundle.size())) {
        macPrint("update_func: allocate resources fail.");
        return finish(false);
    }
    std::memcpy(image.data(), bundle.data(), bundle.size());

    macPrint("update_func: wait device ready.");
    qvaccess::fn_WAIT_DEVICE_READY(device);
    macPrint("update_func: read nvram back.");
    const auto read = [device](uint8_t* b) {
        return fn_SerialFlashRead529(device, kQvd529MacKeptOffset, b, kQvd529MacKeptSize);
    };
    if (!readKeptCopy(read, kept.data(), kQvd529MacKeptSize)) {
        macPrint("update_func: read flash fail.");
        return finish(false);
    }
    std::memcpy(image.data() + kQvd529MacKeptOffset, kept.data(), kQvd529MacKeptSize);

    macPrint("update_func: update flash.");
    const bool ok = QV_UpdateFlash529(device, image.data(), image.size(), flashType);
    macPrint(ok ? "update_func: update flash success." : "update_func: update falsh fail.");
    return finish(ok);
}

uint64_t macFlashBytes(uint32_t device, uint32_t flashType, uint64_t needed) {
    vendor::_VenderCmdPara para;
    para.flashType = flashType;
    if (needed > uint64_t{para.capacityKiB} * 1024) {
        vendor::MacPort port(device);
        vendor::detectFlashCapacity(port, vendor::FlashVariant::WinChkId, para);
    }
    return uint64_t{para.capacityKiB} * 1024;
}

}  // namespace firmware
