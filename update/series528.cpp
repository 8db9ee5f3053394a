#include "update/series528.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "bridge/port.h"
#include "bridge/qvaccess.h"
#include "bridge/IDEAccess.h"
#include "flash/flash_ops.h"
#include "identify/flash_detect.h"
#include "image/image.h"
#include "sys/aligned.h"
#include "sys/bytes.h"
#include "sys/resources.h"
#include "update/direct_update.h"
#include "update/kept_copy.h"
#include "update/progress.h"
#include "update/serial_flash.h"

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
bool eraseAndProgram(const SerialFlash& link, const Progress& p, const PagePlan& plan, uint8_t* kept) {
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
bool programKeepingNvram(const SerialFlash& link, const Progress& p, const PagePlan& plan, uint8_t* kept) {
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
    return static_cast<uint32_t>(sys::roundUp(covered, kPage));
}

bool isQvd523(const vendor::ChipRow& r) { return r.series528 == vendor::Series528Rules::Qvd523; }

// The flash bytes a run covers when they fit: inside the 24-bit flash addresses (past them the
// erase units would wrap round onto the start) and inside the flash, which `flashBytes` gives for
// the bytes needed. 0 when they do not: the run is refused before anything is erased.
uint32_t fittingTotal(size_t fileSize, bool addNvram, const std::function<uint64_t(uint64_t)>& flashBytes) {
    if (fileSize + (addNvram ? kKept : 0) > vendor::kSpiAddressSpace) return 0;
    const uint32_t total = totalFor(fileSize, addNvram);
    return total <= flashBytes(total) ? total : 0;
}

// The QVD523 takes the image-defined part of its NVRAM (bytes 128-207) from a file that carries its
// own NVRAM into the one it keeps; in a file that starts with its code those bytes are code.
void takeQvd523Data(const vendor::ChipRow& row, bool keep, bool carries, const uint8_t* file, size_t size,
                    uint8_t* kept) {
    if (keep && carries && isQvd523(row) && size >= kQvd523DataAt + kQvd523DataLen)
        std::memcpy(kept + kQvd523DataAt, file + kQvd523DataAt, kQvd523DataLen);
}

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
    // A file that ends before its NVRAM does has none to write, whatever the box says: the chip's
    // stays, and nothing is left past it for the code.
    const bool carries = carriesOwnNvram(file, t);
    const bool keep = !(carries && w.includeNvram() && file.bytes.size() >= kKept);

    sys::AlignedBuffer kept;
    if (!kept.reset(kKept)) return p.fail(kTextAllocError);
    vendor::WinPort port(dev.path);
    const SerialFlash link(port, {spiWrite, flashType, dev.flash.sst25});
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
    const uint32_t total = fittingTotal(fileSize, !carries, [&](uint64_t needed) { return flashBytesFor(dev, needed); });
    if (total == 0) return p.fail(kTextFwBiggerThanFlash);

    const bool unprotect = spiWrite ? flashType == vendor::kFlashMxic
                                    : (flashType == vendor::kFlashSt || flashType == vendor::kFlashMxic) &&
                                          !isQvd523(row);
    if (!prepareFlashForWrite(link, p, dev.flash.atmelModel != -1, unprotect)) return false;

    takeQvd523Data(row, keep, carries, file.bytes.data(), fileSize, kept.data());

    PagePlan plan;
    plan.file = file.bytes.data();
    plan.fileSize = fileSize;
    plan.fileStart = fileStart;
    plan.keep = keep;
    plan.total = total;

    if (row.flashPrepare) IDEAccess::QV_FlashPrepare(dev.path);
    // SST parts come up with their protection set, which the bridge's unit erase does not clear:
    // they are unlocked before anything is erased, as the MXIC parts are unprotected (on either
    // route: the 528 route erases with the bridge's unit erase too).
    if (flashType == vendor::kFlashSst) vendor::sstUnlock(port);
    if (spiWrite && isQvd523(row) && flashType == vendor::kFlashSst) {
        // This pairing does not take the bridge's unit erase cleanly: the part is cleared first.
        vendor::sstChipErase(port);
        link.waitReady();
    }
    if (!programKeepingNvram(link, p, plan, kept.data())) return false;
    return p.succeed(kTextPowerCycle);
}

// ATMEL parts answer the read-id with their maker code 1F.
bool flashIsAtmel(vendor::BridgePort& port) {
    uint8_t id[4] = {};
    return port.flashTypeChkId(0x9F, id, sizeof id) && id[0] == 0x1F;
}

}  // namespace

bool UpdateFlash_528Series(UpdateWindow& w, SelectedDevice& dev) { return update528Windows(w, dev, false); }

bool UpdateFlashSst(UpdateWindow& w, SelectedDevice& dev) { return update528Windows(w, dev, true); }

// --- macOS -----------------------------------------------------------------------------------

bool UpdateFlash_528Series(uint32_t device, vendor::ChipType chipType, const uint8_t* image, size_t size) {
    if (image == nullptr || size == 0) return false;
    Progress p(nullptr);
    vendor::MacPort port(device);
    const SerialFlash link(port);
    sys::AlignedBuffer kept;
    if (!kept.reset(kKept)) return false;
    link.waitReady();
    if (!readKeptCopy([&](uint8_t* b) { return link.read(0, b, kKept); }, kept.data(), kKept)) return false;
    // An image that starts with its code carries no NVRAM: the chip's first 4 KiB stay in front of
    // it, valid or not, so the code lands where the chip looks for it.
    const bool codeOnly = startsWithCode(image, size);
    // An image shorter than the NVRAM has none to give a chip whose own lacks its mark.
    const bool keep = codeOnly || size < kKept || (kept[kValidityMarkerAt] == 'Q' && kept[kValidityMarkerAt + 1] == 'V');

    if (flashIsAtmel(port) && !link.enableWrite()) return false;
    macPrint("update_func: check flash type.");
    const uint32_t flashType = qvaccess::FlashTypeForUpdate(device);
    if (flashType == vendor::kFlashUnknown) {
        macPrint(kTextUnknownFlash);
        return false;
    }
    // The Windows routes' size rule, the flash measured as they measure it; a flash whose size is
    // not known counts as 64 KiB.
    const uint32_t total =
        fittingTotal(size, codeOnly, [&](uint64_t needed) { return macFlashBytes(device, flashType, needed); });
    if (total == 0) {
        macPrint(kTextFwBiggerThanFlash);
        return false;
    }
    const vendor::ChipRow& row = vendor::chipRow(chipType);
    if ((flashType == vendor::kFlashSt || flashType == vendor::kFlashMxic) && !isQvd523(row)) link.unprotect();
    if (flashType == vendor::kFlashSst) vendor::sstUnlock(port);

    const size_t fileStart = keep && !codeOnly ? kKept : 0;
    if (size <= fileStart) return false;
    takeQvd523Data(row, keep, !codeOnly, image, size, kept.data());

    PagePlan plan;
    plan.file = image;
    plan.fileSize = size;
    plan.fileStart = fileStart;
    plan.keep = keep;
    plan.total = total;
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

}  // namespace firmware
