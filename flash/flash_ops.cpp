#include "flash/flash_ops.h"

#include <algorithm>

#include "bridge/cdb.h"
#include "sys/clock.h"
#include "bridge/IDEAccess.h"
#include "bridge/qvaccess.h"

namespace vendor {

SpiProgramMethod spiProgramMethod(FlashType flashType, bool sst25) {
    if (flashType == kFlashSst) return {sst25 ? SpiProgramStyle::SstWord : SpiProgramStyle::SstByte, 512};
    return {SpiProgramStyle::Page, flashType == kFlashMxic ? size_t{32} : size_t{256}};
}

namespace {

struct StatusCondition {
    uint8_t mask;
    bool anySet;   // true: some bit of mask set; false: every bit of mask clear
    bool holds(uint8_t status) const { return anySet ? (status & mask) != 0 : (status & mask) == 0; }
};

constexpr StatusCondition kNotBusy{kFlashStatusBusy, false};
constexpr StatusCondition kStatusWriteDone{kFlashStatusAfterStatusWrite, false};

const FlashWaits& waitsOf(const BridgePort& port) {
    return port.program() == Program::Windows ? kWindowsFlashWaits : kMacFlashWaits;
}

bool poll(BridgePort& port, const PollRule& rule, StatusCondition condition) {
    // A status command that fails leaves nothing to judge (the transport hands back a zeroed
    // area, which would read "not busy"): it satisfies no condition, so only a status the flash
    // really gave ends the wait, and otherwise the limit does.
    uint8_t status[4] = {};
    const auto read = [&] { return port.serialFlashStatus(status) && condition.holds(status[0]); };
    if (read()) return true;
    for (unsigned reread = 0; reread < rule.rereads; ++reread) {
        if (rule.order == PollOrder::WaitThenRead) sys::sleepMs(rule.intervalMs);
        if (read()) return true;
        if (rule.order == PollOrder::ReadThenWait) sys::sleepMs(rule.intervalMs);
    }
    return false;
}

}  // namespace

bool waitFlashReady(BridgePort& port) { return poll(port, waitsOf(port).ready, kNotBusy); }
bool waitFlashWriteLatch(BridgePort& port, uint8_t mask) { return poll(port, waitsOf(port).writeLatch, {mask, true}); }
bool waitFlashStatusClear(BridgePort& port) { return poll(port, waitsOf(port).statusClear, kStatusWriteDone); }

bool writeEnableAndUnprotect(BridgePort& port) {
    // The status write goes out even when the latch never showed: a flash that was slow to show
    // it may still take the unprotect, and the caller learns of the failure from the result.
    const bool enabled = port.serialFlashWriteEnable();
    const bool latched = waitFlashWriteLatch(port, kFlashStatusWriteLatch);
    const bool written = port.serialFlashWriteStatusUnprotect();
    const bool cleared = waitFlashStatusClear(port);
    return enabled && latched && written && cleared;
}

namespace {

using cdb::b0;
using cdb::b1;
using cdb::b2;

bool writeDisable(BridgePort& port) { return port.serialFlashCommand({0x04}, false); }

}  // namespace

// The SST parts keep their status protection until 50 and a status write of 00 clear it, and
// forget the write latch with that write; the latch is set again before programming. None of
// these cycles decides the outcome: a part that missed one ignores the programming after it,
// which the caller's read-back finds.
// The macOS program, which has no data phase, sends the status byte inside the cycle.
void sstUnlock(BridgePort& port) {
    static const uint8_t kClearProtection[2] = {0x00, 0x00};
    port.serialFlashCommand({0x50}, false);
    if (port.program() == Program::Mac) {
        port.serialFlashCommand({0x01, 0x00}, false);
    } else {
        port.serialFlashCommand({0x01}, true);
        port.serialFlashData(kClearProtection, 2);
    }
    sys::sleepMs(kSpiPaceMs);
    port.serialFlashCommand({0x06}, false);
    sys::sleepMs(kSpiPaceMs);
}

namespace {

// Whole pages only. The write enable's own outcome is not judged (a latch that did not set shows
// as a page the flash ignored); the page header and its data decide.
bool programPages(BridgePort& port, uint32_t address, const uint8_t* data, size_t length, size_t page) {
    for (size_t at = 0; at + page <= length; at += page) {
        const uint32_t a = address + static_cast<uint32_t>(at);
        sys::sleepMs(kSpiPaceMs);
        port.serialFlashCommand({0x06}, false);
        sys::sleepMs(kSpiPaceMs);
        if (!port.serialFlashCommand({0x02, b2(a), b1(a), b0(a)}, true)) return false;
        if (!port.serialFlashData(data + at, static_cast<int>(page))) return false;
    }
    return true;
}

// SST25 word programming: one auto-increment run that the part keeps across pages and chunks,
// so a page restates its address only at a 16 KiB boundary, and the first page of a transfer
// always does (without it the words would land wherever an earlier run stopped). Every cycle
// that carries address or data decides the page.
bool programSstWords(BridgePort& port, uint32_t address, const uint8_t* data, size_t length, size_t page,
                     bool startsTransfer) {
    for (size_t at = 0; at + page <= length; at += page) {
        const uint32_t a = address + static_cast<uint32_t>(at);
        const uint8_t* p = data + at;
        sstUnlock(port);
        const bool restate = a % kSstWordAddressEvery == 0 || (startsTransfer && at == 0);
        const bool opened = restate ? port.serialFlashCommand({0xAD, b2(a), b1(a), b0(a)}, true)
                                    : port.serialFlashCommand({0xAD}, true);
        if (!opened || !port.serialFlashData(p, 2)) return false;
        for (size_t i = 2; i + 1 < page; i += 2)
            if (!port.serialFlashCommand({0xAD, p[i], p[i + 1]}, false)) return false;
    }
    return true;
}

// Byte programming of the older SST parts: each page is its own run from its own address. The
// first data phase carries the first byte and a pad byte the part does not take.
bool programSstBytes(BridgePort& port, uint32_t address, const uint8_t* data, size_t length, size_t page) {
    for (size_t at = 0; at + page <= length; at += page) {
        const uint32_t a = address + static_cast<uint32_t>(at);
        const uint8_t* p = data + at;
        sstUnlock(port);
        const uint8_t first[2] = {p[0], 0x00};
        if (!port.serialFlashCommand({0xAF, b2(a), b1(a), b0(a)}, true)) return false;
        if (!port.serialFlashData(first, 2)) return false;
        for (size_t i = 1; i < page; ++i)
            if (!port.serialFlashCommand({0xAF, p[i]}, false)) return false;
    }
    return true;
}

}  // namespace

bool programFlashBySpi(BridgePort& port, uint32_t address, const uint8_t* data, size_t length, FlashType flashType,
                       bool sst25) {
    if (length == 0 || data == nullptr) return false;
    if (address >= kSpiAddressSpace || length > kSpiAddressSpace - address) return false;
    const SpiProgramMethod method = spiProgramMethod(flashType, sst25);
    bool ok = true;
    for (size_t at = 0; ok && at < length; at += kSpiChunkSize) {
        const size_t n = std::min(kSpiChunkSize, length - at);
        const uint32_t a = address + static_cast<uint32_t>(at);
        // The pages of a chunk are paced, not polled: this wait only lets an earlier erase or
        // chunk finish, and a flash that stays busy shows in the result of what follows.
        waitFlashReady(port);
        switch (method.style) {
            case SpiProgramStyle::Page: ok = programPages(port, a, data + at, n, method.pageSize); break;
            case SpiProgramStyle::SstWord:
                ok = programSstWords(port, a, data + at, n, method.pageSize, at == 0);
                break;
            case SpiProgramStyle::SstByte:
                ok = programSstBytes(port, a, data + at, n, method.pageSize);
                writeDisable(port);
                break;
        }
        sys::sleepMs(kSpiPaceMs);
    }
    // The SST25 run spans the whole transfer; it ends here, also when a chunk failed, so the part
    // never stays in auto-increment mode (in which it takes no other command).
    if (method.style == SpiProgramStyle::SstWord) writeDisable(port);
    return ok;
}

bool sstChipErase(BridgePort& port) {
    sstUnlock(port);
    const bool erased = port.serialFlashCommand({0xC7}, false);
    writeDisable(port);
    return erased;
}

}  // namespace vendor

namespace IDEAccess {

using namespace vendor;

bool WaitFlashReady(Path path) {
    WinPort port(path);
    return waitFlashReady(port);
}

bool WaitFlashWriteEnabled(Path path, uint8_t mask) {
    WinPort port(path);
    return waitFlashWriteLatch(port, mask);
}

bool WaitFlashStatusClear(Path path) {
    WinPort port(path);
    return waitFlashStatusClear(port);
}

bool QV_SFWriteEnable(Path path) {
    WinPort port(path);
    return writeEnableAndUnprotect(port);
}

bool ProgramFlashBySpi(Path path, uint32_t address, const uint8_t* data, size_t length, FlashType flashType,
                       bool sst25) {
    WinPort port(path);
    return programFlashBySpi(port, address, data, length, flashType, sst25);
}

bool SstChipErase(Path path) {
    WinPort port(path);
    return sstChipErase(port);
}

}  // namespace IDEAccess

namespace qvaccess {

using namespace vendor;

bool fn_WAIT_DEVICE_READY(Device dev) {
    MacPort port(dev);
    return waitFlashReady(port);
}

bool fn_WAIT_DEVICE_READY_ATM(Device dev, uint8_t mask) {
    MacPort port(dev);
    return waitFlashWriteLatch(port, mask);
}

bool fn_CHECK_DEVICE_ZERO_AMC(Device dev) {
    MacPort port(dev);
    return waitFlashStatusClear(port);
}

bool QV_SFWriteEnable(Device dev) {
    MacPort port(dev);
    return writeEnableAndUnprotect(port);
}

}  // namespace qvaccess
