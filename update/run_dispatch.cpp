#include "update/run_dispatch.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "update/update_texts.h"
#include "update/buffer_update.h"
#include "image/format/crc.h"
#include "update/direct_update.h"
#include "image/image.h"
#include "update/kept_copy.h"
#include "sys/aligned.h"
#include "sys/clock.h"
#include "sys/resources.h"
#include "bridge/IDEAccess.h"
#include "identify/chip_detect.h"
#include "identify/disk_query.h"
#include "identify/flash_detect.h"
#include "flash/flash_ops.h"
#include "identify/flash_types.h"
#include "bridge/qvaccess.h"

namespace firmware {

namespace {

using vendor::ChipType;

// The QVD528 family's flash units: erased in 32 KiB units, programmed, read back and compared in
// 16 KiB pages; the chip's settings live in the first 4 KiB.
constexpr uint32_t kEraseUnit = 32768;
constexpr uint32_t kPage = 16384;
constexpr uint32_t kKept = static_cast<uint32_t>(kNvramSize);
constexpr uint32_t kPageAfterKept = kPage - kKept;   // file bytes that follow the kept NVRAM in a page
constexpr size_t kQvd523DataAt = 128;              // the image-defined part of the QVD523's NVRAM
constexpr size_t kQvd523DataLen = 80;
constexpr size_t kValidityMarkerAt = 126;          // "QV" when the chip's NVRAM is valid

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

// The QVD525 on a 1394 connection: 256-byte pieces, the write erases in front of 0 and 0x8000.
constexpr uint32_t k1394Piece = 256;
constexpr uint32_t k1394Least = 0x8000;
constexpr uint32_t k1394NvramAt = 0x8000;
constexpr uint32_t k1394NvramLen = 1024;
constexpr uint32_t k1394DotEvery = 2048;

// The QVR294's chip buffer commands.
constexpr uint32_t k294Piece = 512;
constexpr uint16_t k294Half = 256;
constexpr uint16_t k294BufferPage = 51200;          // 0xC800: where a downloaded piece lands
constexpr uint16_t k294BufferSecondHalf = 51456;
constexpr uint8_t k294TransferVv = 100;
constexpr uint8_t k294TransferWw = 1;
constexpr uint8_t k294FlashVv = 0;
constexpr int k294EraseMode = 3;
constexpr int k294Attempts = 3;
constexpr size_t k294LeastImage = 2 * kBankSize;    // the bank stamp touches both 128 KiB banks
constexpr size_t kFileRounding = 256;

// The q556E's firmware area on its disk: 256 blocks below a 256-block boundary near the end.
constexpr uint64_t kAreaBlocks = 256;
constexpr uint32_t kDiskUnit = 65536;
constexpr size_t kAreaMarkerAt = 150;               // 0x55, R (4 bytes, big-endian), 0xAA
constexpr uint8_t kAreaMarkerHead = 0x55;
constexpr uint8_t kAreaMarkerTail = 0xAA;
constexpr uint64_t kBlocksIn32Bits = 0x100000000ull;
constexpr int kChipStatusLen = 20;
constexpr size_t kStatusWholeBlockAt = 17;          // 1: the area is counted from R, not R - 1

// Waits.
constexpr unsigned kAfterEraseMs = 500;
constexpr unsigned kBeforeLegacyReadBackMs = 1000;
constexpr unsigned kAfter294EraseMs = 5000;
constexpr unsigned k294AfterDownloadMs = 1;
constexpr unsigned k294BetweenHalvesMs = 20;
constexpr unsigned k294ReadPauseMs = 3;

constexpr const char* kMessageTitle = "Message";

size_t roundUp(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

bool allErased(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

// Where a procedure reports: the window's status line on Windows; on macOS nothing but the
// update thread's own lines.
class Progress {
public:
    explicit Progress(UpdateWindow* w) : w_(w) {}
    void show(const char* text) {
        if (!w_) return;
        w_->setStatus(text);
        w_->processMessages();
    }
    bool fail(const char* text) {
        show(text);
        return false;
    }
    // Appended to what the status line already says.
    bool failAppending(const char* text) {
        if (w_) {
            w_->appendStatus(text);
            w_->processMessages();
        }
        return false;
    }
    void step() {
        if (!w_) return;
        w_->appendStatus(".");
        w_->processMessages();
    }
    void macLine(const char* line) {
        if (!w_) macPrint(line);
    }
    UpdateWindow* window() const { return w_; }

private:
    UpdateWindow* w_;
};

bool succeed(UpdateWindow& w, const char* box) {
    w.setStatus(kTextSuccess);
    w.processMessages();
    w.messageBox(box, kMessageTitle, sys::MsgIcon::None);
    w.processMessages();
    return true;
}

// The serial-flash command set as one program reaches it.
class SerialLink {
public:
    virtual ~SerialLink() = default;
    virtual bool read(uint32_t addr, uint8_t* buf, uint32_t len) const = 0;
    // Programs an erased stretch: the bridge's own write, or the flash-type-aware SPI write.
    virtual bool write(uint32_t addr, const uint8_t* data, uint32_t len) const = 0;
    virtual bool eraseUnit(uint32_t addr) const = 0;
    virtual bool waitReady() const = 0;
    // Raw write enable (06) and the wait for the write-enable latch.
    virtual bool enableWrite() const = 0;
    // Write enable with the status unprotect; its outcome does not decide anything.
    virtual void unprotect() const = 0;
};

class WinSerial final : public SerialLink {
public:
    struct SpiWrite {
        bool on = false;
        vendor::FlashType flashType = vendor::kFlashUnknown;
        bool sst25 = false;
    };
    explicit WinSerial(std::string_view path) : path_(path) {}
    WinSerial(std::string_view path, SpiWrite spi) : path_(path), spi_(spi) {}
    bool read(uint32_t addr, uint8_t* buf, uint32_t len) const override {
        return IDEAccess::QV_SerialFlashRead(path_, addr, buf, static_cast<int>(len));
    }
    bool write(uint32_t addr, const uint8_t* data, uint32_t len) const override {
        if (spi_.on) return IDEAccess::ProgramFlashBySpi(path_, addr, data, len, spi_.flashType, spi_.sst25);
        return IDEAccess::QV_SerialFlashWrite(path_, addr, data, static_cast<int>(len));
    }
    bool eraseUnit(uint32_t addr) const override { return IDEAccess::QV_SerialFlashSectorErase(path_, addr); }
    bool waitReady() const override { return IDEAccess::WaitFlashReady(path_); }
    bool enableWrite() const override {
        return IDEAccess::QV_SerialFlashCommand(path_, {0x06}, false) && IDEAccess::WaitFlashWriteEnabled(path_);
    }
    void unprotect() const override { IDEAccess::QV_SFWriteEnable(path_); }

private:
    std::string_view path_;
    SpiWrite spi_;
};

class MacSerial final : public SerialLink {
public:
    explicit MacSerial(uint32_t device) : device_(device) {}
    bool read(uint32_t addr, uint8_t* buf, uint32_t len) const override {
        return qvaccess::QV_SerialFlashRead(device_, addr, buf, static_cast<int>(len));
    }
    bool write(uint32_t addr, const uint8_t* data, uint32_t len) const override {
        return qvaccess::QV_SerialFlashWrite(device_, addr, data, static_cast<int>(len));
    }
    bool eraseUnit(uint32_t addr) const override { return qvaccess::QV_SerialFlashSectorErase(device_, addr); }
    bool waitReady() const override { return qvaccess::fn_WAIT_DEVICE_READY(device_); }
    bool enableWrite() const override {
        return qvaccess::QV_SerialFlashWriteEnable(device_) &&
               qvaccess::fn_WAIT_DEVICE_READY_ATM(device_, vendor::kFlashStatusWriteLatch);
    }
    void unprotect() const override { qvaccess::QV_SFWriteEnable(device_); }

private:
    uint32_t device_;
};

// Writes one stretch, reads it back and compares it.
bool writeVerified(const SerialLink& link, Progress& p, uint32_t at, const uint8_t* data, uint32_t len,
                   uint8_t* readBack) {
    link.waitReady();
    if (!link.write(at, data, len)) return p.fail(kTextWriteCommandFail);
    link.waitReady();
    if (!link.read(at, readBack, len)) return p.fail(kTextWriteCommandFail);
    if (std::memcmp(data, readBack, len) != 0) return p.fail(kTextCompareFail);
    p.step();
    return true;
}

// The write enable an ATMEL part needs before anything is erased, and the status unprotect of the
// parts that may come up protected. Shared by the serial-flash procedures.
bool prepareFlashForWrite(const SerialLink& link, Progress& p, bool atmel, bool unprotect) {
    if (atmel && !link.enableWrite()) return p.fail(kTextAtmelFail);
    if (unprotect) link.unprotect();
    return true;
}

// How one run of the 32 KiB / 16 KiB scheme is laid out.
struct PagePlan {
    const uint8_t* file = nullptr;
    size_t fileSize = 0;
    size_t fileStart = 0;     // 4096 when the file's own NVRAM gives way to the kept one
    bool keep = false;        // the chip's NVRAM (in `kept`) goes back in front of the code
    uint32_t total = 0;       // flash bytes the update covers, a multiple of 16 KiB
};

// Erases the covered units, then writes the pages: the kept NVRAM with the next 12 KiB of the
// file, the last 4 KiB of a page carried into the next one, and a carry left over at the end as
// a 4 KiB tail. `kept` holds the chip's NVRAM on entry and becomes the carry.
bool eraseAndProgram(const SerialLink& link, Progress& p, const PagePlan& plan, uint8_t* kept) {
    sys::AlignedBuffer page, scratch, readBack;
    if (!page.reset(kPage) || !scratch.reset(kPage) || !readBack.reset(kPage)) return p.fail(kTextAllocError);

    const uint32_t units = (plan.total + kEraseUnit - 1) / kEraseUnit;
    p.show(kTextErasing);
    p.macLine("Erasing flash.");
    for (uint32_t u = 0; u < units; ++u) {
        const uint32_t at = u * kEraseUnit;
        link.waitReady();
        if (!link.eraseUnit(at)) return p.fail(kTextEraseCommandFail);
        p.step();
        // The unit is looked at only once the flash has finished with it.
        link.waitReady();
        for (uint32_t half = 0; half < kEraseUnit; half += kPage) {
            if (!link.read(at + half, readBack.data(), kPage)) return p.fail(kTextReadAfterEraseFail);
            if (!allErased(readBack.data(), kPage)) return p.fail(kTextNotErased);
        }
    }

    p.show(kTextProgramming);
    p.macLine("Programing flash.");
    const uint64_t erasedEnd = uint64_t{units} * kEraseUnit;
    size_t pos = plan.fileStart;
    uint32_t at = 0;
    while (pos < plan.fileSize) {
        const size_t got = std::min<size_t>(kPage, plan.fileSize - pos);
        if (at + uint64_t{kPage} > erasedEnd) return p.fail(kTextWriteCommandFail);
        scratch.zero();
        std::memcpy(scratch.data(), plan.file + pos, got);
        pos += got;
        const uint8_t* out = scratch.data();
        if (plan.keep) {
            std::memcpy(page.data(), kept, kKept);
            std::memcpy(page.data() + kKept, scratch.data(), kPageAfterKept);
            out = page.data();
        }
        if (!writeVerified(link, p, at, out, kPage, readBack.data())) return false;
        if (plan.keep) std::memcpy(kept, scratch.data() + kPageAfterKept, kKept);
        at += kPage;
    }
    if (plan.keep && at != plan.total) {
        if (at + uint64_t{kKept} > erasedEnd) return p.fail(kTextWriteCommandFail);
        if (!writeVerified(link, p, at, kept, kKept, readBack.data())) return false;
    }
    return true;
}

// eraseAndProgram, and after a run that failed once the units were erased, the chip's NVRAM put
// back where it reads erased: the failure stays a failure, but the next attempt finds the NVRAM
// and keeps it again instead of keeping the blank. A device that no longer answers gets nothing.
bool programKeepingNvram(const SerialLink& link, Progress& p, const PagePlan& plan, uint8_t* kept) {
    if (!plan.keep) return eraseAndProgram(link, p, plan, kept);
    sys::AlignedBuffer original, now;
    if (!original.reset(kKept) || !now.reset(kKept)) return p.fail(kTextAllocError);
    std::memcpy(original.data(), kept, kKept);
    if (eraseAndProgram(link, p, plan, kept)) return true;
    link.waitReady();
    if (link.read(0, now.data(), kKept) && allErased(now.data(), kKept)) {
        link.waitReady();
        link.write(0, original.data(), kKept);
    }
    return false;
}

// total: the file (at least one page), plus the chip's NVRAM in front of a file without its own,
// in whole pages.
uint32_t totalFor(size_t fileSize, bool addNvram) {
    const size_t covered = std::max<size_t>(fileSize + (addNvram ? kKept : 0), kPage);
    return static_cast<uint32_t>(roundUp(covered, kPage));
}

bool isQvd523(const vendor::ChipRow& r) { return r.series528 == vendor::Series528Rules::Qvd523; }

// The chips of these procedures read their NVRAM at flash 0 and their code from 4 KiB on. A file
// that starts with the code's signature block carries no NVRAM in front of it: written from 0 it
// would leave the chip on its ROM code, read from 4 KiB on it would lose its first 4 KiB.
bool startsWithCode(const uint8_t* bytes, size_t size) {
    return size >= sizeof kSignature && std::memcmp(bytes, kSignature, sizeof kSignature) == 0;
}
bool startsWithCode(const FileImage& f) { return startsWithCode(f.bytes.data(), f.bytes.size()); }

// The Windows form, shared by UpdateFlash_528Series and UpdateFlashSst: they differ in the page
// writer, the NVRAM option and the flash preparation.
bool update528Windows(UpdateWindow& w, SelectedDevice& dev, bool spiWrite) {
    Progress p(&w);
    const ChipType t = dev.chip.type;
    const vendor::ChipRow& row = vendor::chipRow(t);
    const vendor::FlashType flashType = dev.flash.type;
    // The flash-type-aware write takes the file as it is, its NVRAM included.
    if (spiWrite) w.setIncludeNvram(true);

    // Erased in 32 KiB units by the flash's own opcode: a flash nobody could name is not erased.
    if (!flashKnown(dev)) return p.fail(kTextUnknownFlash);

    const FileImage file = readFirmwareFile(w.firmwareFile());
    // A code-only file goes behind the chip's kept NVRAM, also on the chips whose files are
    // otherwise taken to carry their own.
    const bool carries = (row.fileCarriesNvram && !startsWithCode(file)) ||
                         (file.opened && fn_bCheckFwIncludeNVRAM(file, t));
    const bool keep = !(carries && w.includeNvram());

    sys::AlignedBuffer kept;
    if (!kept.reset(kKept)) return p.fail(kTextAllocError);
    const WinSerial link(dev.path, {spiWrite, flashType, dev.flash.sst25});
    if (keep) {
        link.waitReady();
        if (!readKeptCopy([&](uint8_t* b) { return link.read(0, b, kKept); }, kept.data(), kKept))
            return p.fail(kTextBackupNvramFail);
    }
    // A file with nothing in it, or nothing past the NVRAM it gives way to, is no firmware: it
    // is refused before the flash is touched, its protection bits included. So is one that runs
    // past the 24-bit flash addresses, whose erase units would wrap round onto the start.
    const size_t fileStart = carries && keep ? kKept : 0;
    if (!file.opened || file.bytes.size() <= fileStart) return p.fail(kTextOpenFileError);
    const size_t fileSize = file.bytes.size();
    if (fileSize + (carries ? 0 : kKept) > vendor::kSpiAddressSpace) return p.fail(kTextFwBiggerThanFlash);
    const uint32_t total = totalFor(fileSize, !carries);
    if (total > flashBytesFor(dev, total)) return p.fail(kTextFwBiggerThanFlash);

    const bool unprotect = spiWrite ? flashType == vendor::kFlashMxic
                                    : (flashType == vendor::kFlashSt || flashType == vendor::kFlashMxic) &&
                                          !isQvd523(row);
    if (!prepareFlashForWrite(link, p, dev.flash.atmelModel != -1, unprotect)) return false;

    if (keep && carries && isQvd523(row) && fileSize >= kQvd523DataAt + kQvd523DataLen)
        std::memcpy(kept.data() + kQvd523DataAt, file.bytes.data() + kQvd523DataAt, kQvd523DataLen);

    PagePlan plan;
    plan.file = file.bytes.data();
    plan.fileSize = fileSize;
    plan.fileStart = fileStart;
    plan.keep = keep;
    plan.total = total;

    if (row.flashPrepare) IDEAccess::QV_FlashPrepare(dev.path);
    if (spiWrite && isQvd523(row) && flashType == vendor::kFlashSst) {
        // This pairing does not take the bridge's unit erase cleanly: the part is cleared first.
        IDEAccess::SstChipErase(dev.path);
        link.waitReady();
    }
    if (!programKeepingNvram(link, p, plan, kept.data())) return false;
    return succeed(w, kTextPowerCycle);
}

// --- the legacy bridges ---------------------------------------------------------------------

bool eraseAndSettle(const SerialLink& link, Progress& p, uint32_t addr) {
    link.waitReady();
    if (!link.eraseUnit(addr)) return p.fail(kTextEraseCommandFail);
    sys::sleepMs(kAfterEraseMs);
    if (!link.waitReady()) return p.fail(kTextNotReadyAfterErase);
    return true;
}

bool eraseLegacy(const SelectedDevice& dev, const SerialLink& link, Progress& p, size_t fileSize) {
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

// --- Windows procedures ----------------------------------------------------------------------

bool UpdateFlash_528Series(UpdateWindow& w, SelectedDevice& dev) { return update528Windows(w, dev, false); }

bool UpdateFlashSst(UpdateWindow& w, SelectedDevice& dev) { return update528Windows(w, dev, true); }

bool UpdateFlashLegacy(UpdateWindow& w, SelectedDevice& dev) {
    Progress p(&w);
    // Its sectors are erased by the flash's own opcode: a flash nobody could name is not erased.
    if (!flashKnown(dev)) return p.fail(kTextUnknownFlash);
    const FileImage file = readFirmwareFile(w.firmwareFile());
    if (!file.opened || file.bytes.empty()) return p.fail(kTextOpenFileError);
    if (startsWithCode(file)) return p.fail(kTextCodeWithoutNvram);
    const size_t fileSize = file.bytes.size();
    const size_t length = roundUp(std::max<size_t>(fileSize, kLegacyLeast), kLegacyChunk);
    if (length > vendor::kSpiAddressSpace) return p.fail(kTextOpenFileError);
    if (length > flashBytesFor(dev, length)) return p.fail(kTextFwBiggerThanFlash);
    sys::AlignedBuffer readBack, image;
    if (!readBack.reset(length)) return p.fail(kTextAllocReadError);
    if (!image.reset(length)) return p.fail(kTextAllocWriteError);
    std::memcpy(image.data(), file.bytes.data(), fileSize);

    const WinSerial link(dev.path);
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

    p.show(kTextErasing);
    if (!eraseLegacy(dev, link, p, fileSize)) return false;
    if (!link.read(0, readBack.data(), static_cast<uint32_t>(length))) return p.fail(kTextReadErasedError);
    if (!allErased(readBack.data(), length)) return p.fail(kTextNotErased);

    p.show(kTextProgramming);
    // A flash whose command set the bridge was told (parameter value 32) is written page by page.
    const bool spiWrite = dev.flash.flashParameterSent;
    const WinSerial writer(dev.path, {spiWrite, flashType, dev.flash.sst25});
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
    return succeed(w, kTextPowerCycleLegacy);
}

bool UpdateFlash525Over1394(UpdateWindow& w, SelectedDevice& dev) {
    Progress p(&w);
    const FileImage file = readFirmwareFile(w.firmwareFile());
    if (!file.opened || file.bytes.empty()) return p.fail(kTextOpenFileError);
    if (startsWithCode(file)) return p.fail(kTextCodeWithoutNvram);
    const size_t length = roundUp(std::max<size_t>(file.bytes.size(), k1394Least), k1394Piece);
    if (length > vendor::kSpiAddressSpace) return p.fail(kTextOpenFileError);
    if (length > flashBytesFor(dev, length)) return p.fail(kTextFwBiggerThanFlash);
    sys::AlignedBuffer image, readBack;
    if (!image.reset(length) || !readBack.reset(length)) return p.fail(kTextAllocError);
    std::memcpy(image.data(), file.bytes.data(), file.bytes.size());

    // Every transfer of this procedure is one piece, the reads as well as the writes.
    DirectUpdateState s = directUpdateStateFor(dev);
    s.chunkSize = k1394Piece;
    if (length <= k1394NvramAt) {
        // The settings at 0x8000 lie outside the erased units of such a file; the copy is taken
        // before anything is written, so a bridge that cannot be read is not written either.
        uint8_t nvram[k1394NvramLen] = {};
        if (!fn_SerialFlashRead529(w, dev, s, k1394NvramAt, nvram, k1394NvramLen)) return p.fail(kTextBackupNvramFail);
    }
    p.show(kTextProgramming);
    for (size_t pos = 0; pos < length; pos += k1394Piece) {
        const bool erase = pos == 0 || pos == k1394NvramAt;
        if (!IDEAccess::QV_SetNVRAM_529(dev.path, static_cast<uint32_t>(pos), image.data() + pos,
                                        static_cast<int>(k1394Piece), erase))
            return p.fail(kTextWriteBinFail);
        if ((pos + k1394Piece) % k1394DotEvery == 0) p.step();
    }
    // Only a write that reads back as sent counts, and only then is the user sent to the power
    // switch.
    if (!fn_SerialFlashRead529(w, dev, s, 0, readBack.data(), length)) return p.fail(kTextReadCommandFail);
    if (std::memcmp(image.data(), readBack.data(), length) != 0) return p.fail(kTextCompareFail);
    return succeed(w, kTextPowerCycle);
}

bool UpdateFlash294(UpdateWindow& w, SelectedDevice& dev) {
    Progress p(&w);
    const FileImage file = readFirmwareFile(w.firmwareFile());
    if (!file.opened || file.bytes.empty()) return p.fail(kTextOpenFileError);
    const size_t length = roundUp(file.bytes.size(), kFileRounding);
    if (length > vendor::kSpiAddressSpace) return p.fail(kTextOpenFileError);
    if (roundUp(length, k294Piece) > flashBytesFor(dev, roundUp(length, k294Piece)))
        return p.fail(kTextFwBiggerThanFlash);
    // Whole 512-byte pieces go out, and the bank stamp needs both banks whatever the file.
    const size_t bufferSize = std::max(roundUp(length, sys::kDeviceAlignment), k294LeastImage);
    sys::AlignedBuffer image, readBack;
    if (!image.reset(bufferSize) || !readBack.reset(bufferSize)) return p.fail(kTextAllocError);
    std::memcpy(image.data(), file.bytes.data(), file.bytes.size());
    StampBankSignature(image.data(), image.size());

    const std::string& path = dev.path;
    for (int attempt = 0; attempt < k294Attempts; ++attempt) {
        p.show(kTextProgramming);
        IDEAccess::QV_FlashErase294(path, k294FlashVv, 0, k294EraseMode);
        sys::sleepMs(kAfter294EraseMs);
        bool written = true;
        for (size_t pos = 0; pos < length && written; pos += k294Piece) {
            const uint32_t at = static_cast<uint32_t>(pos);
            written = IDEAccess::QV_BufferDownload294(path, k294TransferVv, k294TransferWw, image.data() + pos);
            if (written) {
                sys::sleepMs(k294AfterDownloadMs);
                written = IDEAccess::QV_FlashProgram294(path, k294FlashVv, at, k294Half, k294BufferPage);
            }
            if (written) {
                sys::sleepMs(k294BetweenHalvesMs);
                written = IDEAccess::QV_FlashProgram294(path, k294FlashVv, at + k294Half, k294Half,
                                                        k294BufferSecondHalf);
            }
            if (written) p.step();
        }
        if (!written) {
            p.show(kTextWriteBinFail);
            continue;
        }
        bool read = true;
        for (size_t pos = 0; pos < length && read; pos += k294Piece) {
            read = IDEAccess::QV_FlashLoad294(path, k294FlashVv, static_cast<uint32_t>(pos), k294Piece, k294BufferPage);
            sys::sleepMs(k294ReadPauseMs);
            if (read) read = IDEAccess::QV_BufferUpload294(path, k294TransferVv, k294TransferWw, readBack.data() + pos);
            sys::sleepMs(k294ReadPauseMs);
        }
        if (!read) {
            p.show(kTextReadFwFail);
            continue;
        }
        if (firstDifferenceOutsideBankSignatures(image.data(), readBack.data(), length) >= 0) {
            p.show(kTextCompareFail);
            continue;
        }
        return succeed(w, kTextPowerCycle);
    }
    w.processMessages();
    return false;
}

bool UpdateDiskResident(UpdateWindow& w, SelectedDevice& dev) {
    Progress p(&w);
    const std::string& path = dev.path;
    const FileImage file = readFirmwareFile(w.firmwareFile());
    if (!file.opened || file.bytes.empty()) return p.fail(kTextOpenFileError);
    const size_t length = roundUp(file.bytes.size(), kFileRounding);
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
    return succeed(w, kTextPowerCycle);
}

// --- macOS -----------------------------------------------------------------------------------

namespace {

// ATMEL parts answer the read-id with their maker code 1F.
bool macFlashIsAtmel(uint32_t device) {
    uint8_t id[4] = {};
    return qvaccess::QV_FlashTypeChkID(device, 0x9F, id, sizeof id) && id[0] == 0x1F;
}

}  // namespace

bool UpdateFlash_528Series(uint32_t device, vendor::ChipType chipType, const uint8_t* image, size_t size) {
    if (image == nullptr || size == 0) return false;
    Progress p(nullptr);
    const MacSerial link(device);
    sys::AlignedBuffer kept;
    if (!kept.reset(kKept)) return false;
    link.waitReady();
    if (!readKeptCopy([&](uint8_t* b) { return link.read(0, b, kKept); }, kept.data(), kKept)) return false;
    // An image that starts with its code carries no NVRAM: the chip's first 4 KiB stay in front of
    // it, valid or not, so the code lands where the chip looks for it.
    const bool codeOnly = startsWithCode(image, size);
    const bool keep = codeOnly || (kept[kValidityMarkerAt] == 'Q' && kept[kValidityMarkerAt + 1] == 'V');

    if (macFlashIsAtmel(device) && !link.enableWrite()) return false;
    macPrint("update_func: check flash type.");
    uint8_t reply[4] = {};
    uint32_t flashType = qvaccess::QV_SerialFlashType(device, reply) ? reply[0] : 0;
    if (flashType == 0) {
        vendor::_VenderCmdPara record;
        qvaccess::fn_SerialFalshType(device, record);
        flashType = record.flashType;
    }
    if (flashType == vendor::kFlashUnknown) {
        macPrint(kTextUnknownFlash);
        return false;
    }
    const vendor::ChipRow& row = vendor::chipRow(chipType);
    if ((flashType == vendor::kFlashSt || flashType == vendor::kFlashMxic) && !isQvd523(row)) link.unprotect();

    const size_t fileStart = keep && !codeOnly ? kKept : 0;
    if (size <= fileStart) return false;
    if (isQvd523(row) && size >= kQvd523DataAt + kQvd523DataLen)
        std::memcpy(kept.data() + kQvd523DataAt, image + kQvd523DataAt, kQvd523DataLen);

    PagePlan plan;
    plan.file = image;
    plan.fileSize = size;
    plan.fileStart = fileStart;
    plan.keep = keep;
    plan.total = totalFor(size, codeOnly);
    return programKeepingNvram(link, p, plan, kept.data());
}

int qvd528_update_func(uint32_t device, const std::function<void(bool)>& showResult) {
    std::vector<uint8_t> bundle;
    const bool loaded = sys::loadResource(kMacQvd528Image, "BIN", bundle) && !bundle.empty();
    // Without its image the update cannot start; the wizard still hears that it failed.
    const bool ok = loaded && UpdateFlash_528Series(device, vendor::chipTypeOfCode("528"), bundle.data(), bundle.size());
    if (ok) macPrint("update_func: show success message.");
    if (showResult) showResult(ok);
    return ok ? 0 : -1;
}

// --- the Run button --------------------------------------------------------------------------

namespace {

bool probeHolds(vendor::RunProbe probe, const SelectedDevice& dev, const std::string& firmwareFile) {
    switch (probe) {
        case vendor::RunProbe::FlashUnknown: return dev.flash.type == vendor::kFlashUnknown;
        case vendor::RunProbe::Ieee1394: return dev.busKind() == vendor::Bus::Ieee1394;
        case vendor::RunProbe::Sst25: return dev.flash.sst25;
        case vendor::RunProbe::SstFlash: return dev.flash.type == vendor::kFlashSst;
        case vendor::RunProbe::FileTooBig: return !FileFitsFlash(firmwareFile, dev.flash.capacityKiB);
        case vendor::RunProbe::Old227:
            return !IDEAccess::IsRegister505EReady(dev.path) && dev.chip.revision <= 4;
    }
    return false;
}

}  // namespace

RunProcedure chooseRunProcedure(const SelectedDevice& dev, const std::string& firmwareFile) {
    const vendor::RunRoute& route = vendor::chipRow(dev.chip.type).run;
    for (uint8_t i = 0; i < route.stepCount; ++i)
        if (probeHolds(route.steps[i].probe, dev, firmwareFile)) return route.steps[i].then;
    return route.usual;
}

RunPlan describeRun(RunProcedure p) {
    switch (p) {
        case RunProcedure::DirectUpdate:
            return {p, "RunDirectUpdate", "direct flash write with erase in front, read back and compare"};
        case RunProcedure::Series528:
            return {p, "UpdateFlash_528Series",
                    "erase in 32 KiB units, 16 KiB pages through the bridge's flash write, each read back and compared"};
        case RunProcedure::Sst:
            return {p, "UpdateFlashSst",
                    "erase in 32 KiB units, 16 KiB pages by SPI cycles for the flash's own type, each read back and compared"};
        case RunProcedure::Legacy:
            return {p, "UpdateFlashLegacy", "erase, 8 KiB chunks through the bridge's flash write, read back and compare"};
        case RunProcedure::Qvd525Over1394:
            return {p, "UpdateFlash525Over1394", "256-byte direct writes over 1394 that erase in front of 0 and 0x8000, read back and compare"};
        case RunProcedure::Qvr294:
            return {p, "UpdateFlash294", "erase, 512-byte pieces through the chip's buffer, read back and compare"};
        case RunProcedure::DiskResident:
            return {p, "UpdateDiskResident", "the firmware area on the attached disk, written and read back in 64 KiB units"};
        case RunProcedure::FileTooBig: return {p, "none", kTextFileBiggerThanFlash};
        case RunProcedure::None: break;
    }
    return {RunProcedure::None, "none", "none: this chip has no update procedure"};
}

RunPlan planRun(const SelectedDevice& dev, const std::string& firmwareFile) {
    return describeRun(chooseRunProcedure(dev, firmwareFile));
}

bool runChosenProcedure(RunProcedure p, UpdateWindow& w, SelectedDevice& dev) {
    switch (p) {
        case RunProcedure::None: return false;
        case RunProcedure::DirectUpdate: return RunDirectUpdate(w, dev);
        case RunProcedure::Series528: return UpdateFlash_528Series(w, dev);
        case RunProcedure::Sst: return UpdateFlashSst(w, dev);
        case RunProcedure::Legacy: return UpdateFlashLegacy(w, dev);
        case RunProcedure::Qvd525Over1394: return UpdateFlash525Over1394(w, dev);
        case RunProcedure::Qvr294: return UpdateFlash294(w, dev);
        case RunProcedure::DiskResident: return UpdateDiskResident(w, dev);
        case RunProcedure::FileTooBig:
            w.messageBox(kTextFileBiggerThanFlash, kMessageTitle, sys::MsgIcon::None);
            return false;
    }
    return false;
}

}  // namespace firmware
