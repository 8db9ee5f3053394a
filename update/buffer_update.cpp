#include "update/buffer_update.h"

#include <algorithm>
#include <cstring>

#include "update/kept_copy.h"
#include "update/progress.h"
#include "update/update_texts.h"
#include "image/image.h"
#include "sys/aligned.h"
#include "sys/bytes.h"
#include "sys/clock.h"
#include "sys/resources.h"
#include "bridge/IDEAccess.h"
#include "discovery/discovery.h"
#include "flash/flash_buffer_ops.h"
#include "identify/flash_detect.h"
#include "bridge/qvaccess.h"

namespace firmware {

namespace {

using vendor::BufferDescriptor;
using vendor::kBufferBoundary4K;
using vendor::kBufferDataMode;
using vendor::kBufferDescriptorMode;
using vendor::kBufferOffsetSpace;
using vendor::kBufferProgramMode;
using vendor::kBufferTransferUnit;
using vendor::kMfgCodeReadLength;
using vendor::kRamLoaderBoundary;
using vendor::kRamLoaderCapacity;

// The chip takes the image into a buffer of this size; the image buffers of the buffer path are
// this large so that the product area (0x44000) always lies inside them.
constexpr size_t kImageBufferSize = 0x80000;
constexpr uint8_t kRamDownloadMode = 6;
// NVRAM write of mode 3 with no data: the chip erases its whole flash.
constexpr uint8_t kEraseWholeChip = 3;
constexpr int kDownloadAttempts = 3;

// The product record the chip keeps at the start of its product area.
constexpr uint32_t kProductAreaOffset = 0x44000;
constexpr uint32_t kProductAreaSize = 4096;
constexpr size_t kProductRecordSize = 72;
constexpr uint8_t kProductRecordMark = 0x42;
constexpr size_t kProductSerialOffset = 52;
constexpr size_t kProductSerialLength = 20;

// Chip information record: code state, ROM variant, chip code.
constexpr size_t kChipInfoSize = 16;
constexpr uint8_t kCodeStateMfgRam = 2;
constexpr size_t kInfoCodeState = 6;
constexpr size_t kInfoRomVariant = 7;
constexpr size_t kInfoChipCode = 8;

// Waits of the buffer path and of the re-attach.
constexpr unsigned kAfterRamDownloadMs = 100;
constexpr unsigned kAfterChipEraseMs = 500;
constexpr unsigned kBeforeFirstScanMs = 2000;
constexpr unsigned kBetweenScansMs = 500;
constexpr int kScanLimit = 60;

// What the one-button update and the macOS thread compare at least: bank 0.
constexpr size_t kBankCompareLength = 0x20000;
constexpr uint32_t kImageRounding = 256;
constexpr size_t kBufferAlignment = sys::kDeviceAlignment;


struct ChipInfo {
    bool valid = false;   // the command succeeded and the record carries its signature F4 E7
    uint8_t bytes[kChipInfoSize] = {};

    uint8_t codeState() const { return bytes[kInfoCodeState]; }
    uint8_t romVariant() const { return bytes[kInfoRomVariant]; }
    std::string_view chipCode() const { return {reinterpret_cast<const char*>(bytes + kInfoChipCode), 3}; }
    // The downloaded manufacturing code of a ROM-variant-0 chip runs from RAM.
    bool runsMfgCodeFromRam() const { return valid && codeState() == kCodeStateMfgRam && romVariant() == 0; }
};

ChipInfo readChipInfo(const std::string& path) {
    ChipInfo info;
    info.valid = IDEAccess::QV_GetChipInfo(path, info.bytes, static_cast<int>(kChipInfoSize)) &&
                 info.bytes[0] == 0xF4 && info.bytes[1] == 0xE7;
    return info;
}

bool readDescriptor(const std::string& path, BufferDescriptor& d) {
    uint8_t reply[4] = {};
    if (!IDEAccess::QV_ReadBuffer(path, kBufferDescriptorMode, 0, 0, reply, 4)) return false;
    d = vendor::bufferDescriptorOf(reply);
    return true;
}

bool eraseWholeChip(const std::string& path) {
    return IDEAccess::QV_SetNVRAM_529(path, 0, nullptr, 0, kEraseWholeChip);
}

// The whole range must be reachable by the 24-bit buffer offsets.
bool fitsOffsets(uint32_t start, size_t length) {
    return start < kBufferOffsetSpace && length <= kBufferOffsetSpace - start;
}

using sys::roundUp;

// Every message of the buffer path ends it.
bool fail(UpdateWindow& w, const char* text) { return Progress(w).fail(text); }

// Sends `length` bytes of `data` (which holds at least that many) in transfer units; a length that
// is not a whole number of units ends with a shorter command rather than reaching past the data.
bool programFlash(UpdateWindow& w, const std::string& path, uint32_t start, const uint8_t* data, uint32_t length) {
    const Progress p(w);
    p.show(kTextProgrammingFlash);
    for (uint32_t pos = 0; pos < length; pos += kBufferTransferUnit) {
        const uint32_t n = std::min(kBufferTransferUnit, length - pos);
        if (!IDEAccess::QV_WriteBuffer(path, kBufferProgramMode, 0, start + pos, data + pos, static_cast<int>(n)))
            return false;
        p.step();
    }
    return true;
}

// Byte 0 = 0x42, the serial number at 52-71 completed with spaces, everything else zero.
void buildProductRecord(const Settings& s, uint8_t* record) {
    std::memset(record, 0, kProductRecordSize);
    record[0] = kProductRecordMark;
    std::memset(record + kProductSerialOffset, ' ', kProductSerialLength);
    std::memcpy(record + kProductSerialOffset, s.serialNum.data(), std::min(s.serialNum.size(), kProductSerialLength));
}

// With the manufacturing code running: the chip must be the one the image is for, and the product
// record is written when the user asked for it.
bool checkChipAndWriteProduct(UpdateWindow& w, const std::string& path, const uint8_t* image, size_t imageSize) {
    const ChipInfo info = readChipInfo(path);
    if (!info.valid || info.codeState() != kCodeStateMfgRam) return true;
    if (imageSize < kHeaderChipCodeOffset + 3 ||
        std::memcmp(info.bytes + kInfoChipCode, image + kHeaderChipCodeOffset, 3) != 0) {
        w.debug("FW and Chip not match.\n");
        return false;
    }
    if (!w.setProductSn()) return true;
    sys::AlignedBuffer record;
    if (!record.reset(kProductRecordSize)) return false;
    buildProductRecord(w.settings(), record.data());
    // The user asked for the serial number: an update that could not write it is no success.
    if (!IDEAccess::QV_WriteProductInfo(path, w.settings().vid, w.settings().pid, record.data())) {
        w.debug("QV_WriteProductInfo fail.\n");
        return false;
    }
    return true;
}

// The macOS thread programs the chip's whole buffer capacity, zeros past the image: a product
// record an earlier update wrote at 0x44000 goes into the image buffer first, from a confirmed
// read, wherever the image does not reach it and the capacity does. False when it cannot be read.
bool keepProductArea(uint32_t device, uint8_t* image, size_t imageLength) {
    constexpr size_t kAreaEnd = kProductAreaOffset + kProductAreaSize;
    uint8_t reply[4] = {};
    if (imageLength >= kAreaEnd ||
        !qvaccess::QV_ReadBuffer(device, kBufferDescriptorMode, 0, 0, reply, sizeof reply) ||
        vendor::bufferDescriptorOf(reply).capacity < kAreaEnd)
        return true;
    uint8_t area[kProductAreaSize];
    const auto read = [device](uint8_t* b) {
        return qvaccess::QV_ReadBuffer(device, kBufferDataMode, 0, kProductAreaOffset, b, int{kProductAreaSize});
    };
    if (!readKeptCopy(read, area, kProductAreaSize)) return false;
    const size_t from = std::max<size_t>(imageLength, kProductAreaOffset);
    std::memcpy(image + from, area + (from - kProductAreaOffset), kAreaEnd - from);
    return true;
}

}  // namespace

size_t bufferCompareLength(size_t written) { return std::max(kBankCompareLength, written); }

bool inBankSignatureArea(size_t offset) {
    return (offset >= 0x200 && offset < 0x400) || (offset >= 0x20200 && offset < 0x20400);
}

long firstDifferenceOutsideBankSignatures(const uint8_t* a, const uint8_t* b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (a[i] != b[i] && !inBankSignatureArea(i)) return static_cast<long>(i);
    }
    return -1;
}

bool DownloadViaBuffer(UpdateWindow& w, const SelectedDevice& dev, uint32_t start, const uint8_t* image,
                       size_t imageSize, uint32_t length, bool downloadFirst) {
    if (image == nullptr || length == 0 || length > imageSize || !fitsOffsets(start, length)) return false;
    const std::string& path = dev.path;

    // The image is staged in a buffer of at least 512 KiB: programming reads only inside it, and
    // the product area read back from the chip has its place there whatever the image's length.
    sys::AlignedBuffer staged;
    if (!staged.reset(std::max<size_t>(kImageBufferSize, roundUp(length, kBufferAlignment)))) return false;
    const auto stage = [&] {
        staged.zero();
        std::memcpy(staged.data(), image, std::min(imageSize, staged.size()));
    };

    // After a chip erase under the manufacturing code: the chip is checked against the image, the
    // product record asked for is written, and its area goes back in with the image, so that
    // programming does not wipe it. False when the update is to stop.
    const auto stageAfterChipErase = [&] {
        if (!checkChipAndWriteProduct(w, path, image, imageSize)) return false;
        stage();
        if (w.setProductSn() &&
            !IDEAccess::QV_ReadBuffer(path, kBufferDataMode, 0, kProductAreaOffset, staged.data() + kProductAreaOffset,
                                      static_cast<int>(kProductAreaSize)))
            return fail(w, kTextProductReadFail);
        return true;
    };

    BufferDescriptor d;
    if (!readDescriptor(path, d)) return fail(w, kTextDescriptorError);

    if (!downloadFirst) {
        if (d.boundary != kBufferBoundary4K) return fail(w, kTextBoundaryError);
        if (readChipInfo(path).runsMfgCodeFromRam()) {
            if (!eraseWholeChip(path)) return fail(w, kTextChipEraseFail);
            sys::sleepMs(kAfterChipEraseMs);
            // A run after the one that downloaded the manufacturing code erases what that one
            // wrote, the product record with it: the record is written again as it was then.
            if (!stageAfterChipErase()) return false;
        } else {
            stage();
        }
        return programFlash(w, path, start, staged.data(), length);
    }

    if (d.boundary != kRamLoaderBoundary) return fail(w, kTextBoundaryError);
    if (d.capacity != kRamLoaderCapacity) return fail(w, kTextCapacityError);
    Progress(w).show(kTextDownloading);

    // The ROM loader takes the manufacturing code made for its chip and ROM variant.
    const ChipInfo info = readChipInfo(path);
    if (!info.valid) return false;
    sys::AlignedBuffer mfg;
    if (!mfg.reset(kMfgImageSize)) return false;
    const int number = mfgImageNumberFor(info.chipCode(), info.romVariant());
    if (LoadMfgImage(mfg.data(), mfg.size(), 0, 0, number) != kMfgImageSize) return false;
    if (!IDEAccess::QV_WriteBuffer(path, kRamDownloadMode, 0, start, mfg.data(), static_cast<int>(kMfgImageSize)))
        return fail(w, kTextDownloadFail);
    sys::sleepMs(kAfterRamDownloadMs);

    for (int attempt = 0; attempt < kDownloadAttempts; ++attempt) {
        if (!eraseWholeChip(path)) return fail(w, kTextChipEraseFail);
        sys::sleepMs(kAfterChipEraseMs);
        if (!readDescriptor(path, d)) return fail(w, kTextDescriptorError);
        if (d.boundary != kBufferBoundary4K) return fail(w, kTextBoundaryError);
        if (!stageAfterChipErase()) return false;
        if (programFlash(w, path, start, staged.data(), length)) return true;
    }
    return false;
}

bool ReadFlashViaBuffer(UpdateWindow& w, const SelectedDevice& dev, uint32_t start, uint8_t* buffer,
                        size_t bufferSize, uint32_t length) {
    if ((buffer == nullptr && length > 0) || length > bufferSize) return false;
    const std::string& path = dev.path;
    const Progress p(w);
    p.show(kTextReading);

    BufferDescriptor d;
    if (!readDescriptor(path, d) || d.boundary != kBufferBoundary4K) return false;
    // The manufacturing code gives back a fixed amount, the firmware its whole buffer.
    const size_t total = readChipInfo(path).runsMfgCodeFromRam() ? kMfgCodeReadLength : d.capacity;
    if (total == 0 || !fitsOffsets(start, total)) return false;

    // Sized to what is read or what the caller takes, whichever is more: the reads stay inside
    // it, and a caller asking for more than the chip gives back gets zeros for the rest.
    sys::AlignedBuffer area;
    if (!area.reset(std::max<size_t>(total, length))) return false;
    bool ok = true;
    for (size_t pos = 0; pos < total; pos += kBufferTransferUnit) {
        const size_t n = std::min<size_t>(kBufferTransferUnit, total - pos);
        if (!IDEAccess::QV_ReadBuffer(path, kBufferDataMode, 0, start + static_cast<uint32_t>(pos), area.data() + pos,
                                      static_cast<int>(n))) {
            ok = false;
            break;
        }
        p.step();
    }
    if (length > 0) std::memcpy(buffer, area.data(), length);
    return ok;
}

bool UpdateWithEmbeddedImage(UpdateWindow& w, const SelectedDevice& dev) {
    w.hideProductSn();

    sys::AlignedBuffer embedded;
    if (!embedded.reset(kImageBufferSize)) return false;
    const uint32_t size = LoadEmbeddedImage(embedded.data(), embedded.size(), 0, 0);
    if (size == 0 || size > embedded.size()) return false;
    const size_t programmed = roundUp(size, kImageRounding);

    // The image must fit the flash in bytes: a size that only fits once truncated to whole KiB
    // would send its last bytes past the end of the flash.
    const size_t flashBytes = static_cast<size_t>(dev.flash.capacityKiB) * 1024;
    if (programmed > flashBytes) return false;
    // Buffer offsets are 24-bit: no read-back can be larger than that.
    const size_t bufferLength = std::min<size_t>(roundUp(flashBytes, kBufferAlignment), kBufferOffsetSpace);
    if (programmed > bufferLength) return false;

    sys::AlignedBuffer image, readBack;
    if (!image.reset(bufferLength) || !readBack.reset(bufferLength)) return false;
    std::memcpy(image.data(), embedded.data(), size);

    if (!DownloadViaBuffer(w, dev, 0, image.data(), image.size(), static_cast<uint32_t>(programmed), false))
        return false;
    if (!ReadFlashViaBuffer(w, dev, 0, readBack.data(), readBack.size(), static_cast<uint32_t>(bufferLength)))
        return false;
    const size_t compared = bufferCompareLength(programmed);
    return firstDifferenceOutsideBankSignatures(image.data(), readBack.data(), std::min(compared, bufferLength)) < 0;
}

bool ResetAndReattach(UpdateWindow& w, const SelectedDevice& dev, const DeviceScan& scan,
                      std::vector<std::string>& found) {
    // The bridge may leave the bus before it answers; what counts is whether it comes back.
    IDEAccess::QV_ChipReset256(dev.path);
    sys::sleepMs(kBeforeFirstScanMs);
    std::vector<std::string> last;
    for (int i = 0; i < kScanLimit; ++i) {
        last = scan ? scan() : std::vector<std::string>{};
        w.processMessages();
        sys::sleepMs(kBetweenScansMs);
        if (last.size() == 1) break;
    }
    found = last;
    return !last.empty();
}

std::string BridgeIdentity::name() const {
    if (!serial.empty()) return "serial " + serial;
    if (!port.empty()) return "port " + port;
    return "node " + node;
}

DeviceScan scanForUpdatedBridge(const BridgeIdentity& updated, const std::vector<std::string>& pathsBefore,
                                DeviceScan scanAll, IdentityOf identityOf) {
    // Nodes are compared as the device table keeps them, in lower case.
    const std::string ownNode = vendor::toLowerAscii(updated.node);
    bool serialAlone = !updated.serial.empty();
    for (const std::string& p : pathsBefore)
        if (identityOf && vendor::toLowerAscii(p) != ownNode && identityOf(p).serial == updated.serial) serialAlone = false;
    // A bridge keeps its port through a reset: where the port is known, it must agree too, so
    // that a bridge of the same serial plugged in meanwhile is never taken for it.
    const auto fits = [updated, ownNode, serialAlone](const std::string& path, const BridgeIdentity& id) {
        if (!updated.port.empty()) return id.port == updated.port && id.serial == updated.serial;
        if (serialAlone) return id.serial == updated.serial;
        return vendor::toLowerAscii(path) == ownNode;
    };
    return [fits, scanAll = std::move(scanAll), identityOf = std::move(identityOf)] {
        std::vector<std::string> paths;
        if (!scanAll || !identityOf) return paths;
        for (std::string& p : scanAll())
            if (fits(p, identityOf(p))) paths.push_back(std::move(p));
        // Two that fit are twins the host cannot tell apart: neither is taken on a guess.
        if (paths.size() > 1) paths.clear();
        return paths;
    };
}

unsigned reattachWaitSeconds() { return (kBeforeFirstScanMs + kScanLimit * kBetweenScansMs) / 1000; }

int qvr298_update_func(uint32_t device, const std::function<void(bool)>& showResult) {
    std::vector<uint8_t> bundle;
    if (!sys::loadResource(kMacQvr298Image, "bin", bundle) || bundle.empty() || bundle.size() > kImageBufferSize)
        return -1;
    const auto finish = [&](bool ok) {
        if (ok) {
            macPrint("update_func: show success message.");
        } else {
            macPrint("update_func: update fails.");
        }
        if (showResult) showResult(ok);
        return ok ? 0 : -1;
    };

    macPrint("update_func: check flash type.");
    uint8_t type[4] = {};
    if (!qvaccess::QV_SerialFlashType(device, type) || type[0] == 0) {
        vendor::_VenderCmdPara record;
        qvaccess::fn_SerialFalshType(device, record);
    }

    macPrint("update_func: allocate resources.");
    sys::AlignedBuffer image, readBack;
    if (!image.reset(kImageBufferSize) || !readBack.reset(kImageBufferSize)) {
        macPrint("update_func: allocate resources fail.");
        return finish(false);
    }
    std::memcpy(image.data(), bundle.data(), bundle.size());
    if (!keepProductArea(device, image.data(), bundle.size())) {
        macPrint("update_func: read flash fail.");
        return finish(false);
    }

    macPrint("update_func: update flash.");
    if (!qvaccess::fn_WriteBuffer298(device, 0, image.data(), image.size(), false)) {
        // Nothing after a failed write can make the update a success.
        macPrint("update_func: update falsh fail.");
        return finish(false);
    }
    macPrint("update_func: compare flash.");
    const size_t compared = bufferCompareLength(bundle.size());
    if (!qvaccess::fn_ReadBuffer298(device, 0, readBack.data(), compared, 0)) {
        macPrint("update_func: read flash fail.");
        return finish(false);
    }
    if (firstDifferenceOutsideBankSignatures(image.data(), readBack.data(), compared) >= 0) {
        macPrint("update_func: data compare fail.");
        return finish(false);
    }
    macPrint("update_func: update flash success.");
    return finish(true);
}

}  // namespace firmware
