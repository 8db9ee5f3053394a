#include "update/qvr294.h"

#include <algorithm>
#include <cstring>

#include "bridge/IDEAccess.h"
#include "flash/flash_ops.h"
#include "image/format/crc.h"
#include "image/image.h"
#include "sys/aligned.h"
#include "sys/bytes.h"
#include "sys/clock.h"
#include "update/buffer_update.h"
#include "update/direct_update.h"
#include "update/progress.h"

namespace firmware {

namespace {

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
constexpr unsigned kAfter294EraseMs = 5000;
constexpr unsigned k294AfterDownloadMs = 1;
constexpr unsigned k294BetweenHalvesMs = 20;
constexpr unsigned k294ReadPauseMs = 3;

}  // namespace

bool UpdateFlash294(UpdateWindow& w, SelectedDevice& dev) {
    Progress p(&w);
    const FileImage file = readFirmwareFile(w.firmwareFile());
    if (!file.opened || file.bytes.empty()) return p.fail(kTextOpenFileError);
    const size_t length = sys::roundUp(file.bytes.size(), kFileRounding);
    if (length > vendor::kSpiAddressSpace) return p.fail(kTextOpenFileError);
    if (sys::roundUp(length, k294Piece) > flashBytesFor(dev, sys::roundUp(length, k294Piece)))
        return p.fail(kTextFwBiggerThanFlash);
    // Whole 512-byte pieces go out, and the bank stamp needs both banks whatever the file.
    const size_t bufferSize = std::max(sys::roundUp(length, sys::kDeviceAlignment), k294LeastImage);
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
        return p.succeed(kTextPowerCycle);
    }
    w.processMessages();
    return false;
}

}  // namespace firmware
