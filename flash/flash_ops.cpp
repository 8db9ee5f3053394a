#include "flash/flash_ops.h"

#include <algorithm>

#include "sys/clock.h"
#include "bridge/IDEAccess.h"
#include "bridge/qvaccess.h"

namespace vendor {

SpiProgramMethod spiProgramMethod(FlashType flashType, bool sst25) {
    if (flashType == kFlashSst) return {sst25 ? SpiProgramStyle::SstWord : SpiProgramStyle::SstByte, 512};
    return {SpiProgramStyle::Page, flashType == kFlashMxic ? size_t{32} : size_t{256}};
}

namespace {

// What the waits and the write enable need from one program: its status read, its two status
// commands and its row of wait rules.
class FlashLink {
public:
    explicit FlashLink(const FlashWaits& waits) : waits_(waits) {}
    virtual ~FlashLink() = default;
    // Leaves the status in buf[0]; a command that fails leaves whatever the transfer put there.
    virtual void readStatus(uint8_t* buf4) = 0;
    virtual bool writeEnable() = 0;
    virtual bool writeStatusUnprotect() = 0;
    const FlashWaits& waits() const { return waits_; }

private:
    const FlashWaits& waits_;
};

class WinLink final : public FlashLink {
public:
    explicit WinLink(IDEAccess::Path path) : FlashLink(kWindowsFlashWaits), path_(path) {}
    void readStatus(uint8_t* buf4) override { IDEAccess::QV_SerialFlashStatus(path_, buf4); }
    bool writeEnable() override { return IDEAccess::QV_SerialFlashWriteEnable(path_); }
    bool writeStatusUnprotect() override { return IDEAccess::QV_SerialFlashWriteStatusAMC(path_); }

private:
    IDEAccess::Path path_;
};

class MacLink final : public FlashLink {
public:
    explicit MacLink(qvaccess::Device dev) : FlashLink(kMacFlashWaits), dev_(dev) {}
    void readStatus(uint8_t* buf4) override { qvaccess::QV_SerialFlashStatus(dev_, buf4); }
    bool writeEnable() override { return qvaccess::QV_SerialFlashWriteEnable(dev_); }
    bool writeStatusUnprotect() override { return qvaccess::QV_SerialFlashWriteStatusAMC(dev_); }

private:
    qvaccess::Device dev_;
};

struct StatusCondition {
    uint8_t mask;
    bool anySet;   // true: some bit of mask set; false: every bit of mask clear
    bool holds(uint8_t status) const { return anySet ? (status & mask) != 0 : (status & mask) == 0; }
};

constexpr StatusCondition kNotBusy{kFlashStatusBusy, false};
constexpr StatusCondition kStatusWriteDone{kFlashStatusAfterStatusWrite, false};

bool poll(FlashLink& link, const PollRule& rule, StatusCondition condition) {
    // One status area for the whole wait: a status command that fails does not end the wait, the
    // byte is judged as the area holds it.
    uint8_t status[4] = {};
    link.readStatus(status);
    if (condition.holds(status[0])) return true;
    for (unsigned reread = 0; reread < rule.rereads; ++reread) {
        if (rule.order == PollOrder::WaitThenRead) sys::sleepMs(rule.intervalMs);
        link.readStatus(status);
        if (condition.holds(status[0])) return true;
        if (rule.order == PollOrder::ReadThenWait) sys::sleepMs(rule.intervalMs);
    }
    return false;
}

bool waitReady(FlashLink& link) { return poll(link, link.waits().ready, kNotBusy); }
bool waitLatch(FlashLink& link, uint8_t mask) { return poll(link, link.waits().writeLatch, {mask, true}); }
bool waitStatusWritten(FlashLink& link) { return poll(link, link.waits().statusClear, kStatusWriteDone); }

bool writeEnableAndUnprotect(FlashLink& link) {
    // The status write goes out even when the latch never showed: a flash that was slow to show
    // it may still take the unprotect, and the caller learns of the failure from the result.
    const bool enabled = link.writeEnable();
    const bool latched = waitLatch(link, kFlashStatusWriteLatch);
    const bool written = link.writeStatusUnprotect();
    const bool cleared = waitStatusWritten(link);
    return enabled && latched && written && cleared;
}

}  // namespace
}  // namespace vendor

namespace IDEAccess {

using namespace vendor;

bool WaitFlashReady(Path path) {
    WinLink link(path);
    return waitReady(link);
}

bool WaitFlashWriteEnabled(Path path, uint8_t mask) {
    WinLink link(path);
    return waitLatch(link, mask);
}

bool WaitFlashStatusClear(Path path) {
    WinLink link(path);
    return waitStatusWritten(link);
}

bool QV_SFWriteEnable(Path path) {
    WinLink link(path);
    return writeEnableAndUnprotect(link);
}

namespace {

uint8_t a2(uint32_t a) { return static_cast<uint8_t>(a >> 16); }
uint8_t a1(uint32_t a) { return static_cast<uint8_t>(a >> 8); }
uint8_t a0(uint32_t a) { return static_cast<uint8_t>(a); }

bool writeDisable(Path path) { return QV_SerialFlashCommand(path, {0x04}, false); }

// The SST parts keep their status protection until 50 and a status write of 00 clear it, and
// forget the write latch with that write; the latch is set again before programming. None of
// these cycles decides the outcome: a part that missed one ignores the programming after it,
// which the caller's read-back finds.
void sstUnlock(Path path) {
    static const uint8_t kClearProtection[2] = {0x00, 0x00};
    QV_SerialFlashCommand(path, {0x50}, false);
    QV_SerialFlashCommand(path, {0x01}, true);
    QV_SerialFlashData(path, kClearProtection, 2);
    sys::sleepMs(kSpiPaceMs);
    QV_SerialFlashCommand(path, {0x06}, false);
    sys::sleepMs(kSpiPaceMs);
}

// Whole pages only. The write enable's own outcome is not judged (a latch that did not set shows
// as a page the flash ignored); the page header and its data decide.
bool programPages(Path path, uint32_t address, const uint8_t* data, size_t length, size_t page) {
    for (size_t at = 0; at + page <= length; at += page) {
        const uint32_t a = address + static_cast<uint32_t>(at);
        sys::sleepMs(kSpiPaceMs);
        QV_SerialFlashCommand(path, {0x06}, false);
        sys::sleepMs(kSpiPaceMs);
        if (!QV_SerialFlashCommand(path, {0x02, a2(a), a1(a), a0(a)}, true)) return false;
        if (!QV_SerialFlashData(path, data + at, static_cast<int>(page))) return false;
    }
    return true;
}

// SST25 word programming: one auto-increment run that the part keeps across pages and chunks,
// so a page restates its address only at a 16 KiB boundary, and the first page of a transfer
// always does (without it the words would land wherever an earlier run stopped). Every cycle
// that carries address or data decides the page.
bool programSstWords(Path path, uint32_t address, const uint8_t* data, size_t length, size_t page,
                     bool startsTransfer) {
    for (size_t at = 0; at + page <= length; at += page) {
        const uint32_t a = address + static_cast<uint32_t>(at);
        const uint8_t* p = data + at;
        sstUnlock(path);
        const bool restate = a % kSstWordAddressEvery == 0 || (startsTransfer && at == 0);
        const bool opened = restate ? QV_SerialFlashCommand(path, {0xAD, a2(a), a1(a), a0(a)}, true)
                                    : QV_SerialFlashCommand(path, {0xAD}, true);
        if (!opened || !QV_SerialFlashData(path, p, 2)) return false;
        for (size_t i = 2; i + 1 < page; i += 2)
            if (!QV_SerialFlashCommand(path, {0xAD, p[i], p[i + 1]}, false)) return false;
    }
    return true;
}

// Byte programming of the older SST parts: each page is its own run from its own address. The
// first data phase carries the first byte and a pad byte the part does not take.
bool programSstBytes(Path path, uint32_t address, const uint8_t* data, size_t length, size_t page) {
    for (size_t at = 0; at + page <= length; at += page) {
        const uint32_t a = address + static_cast<uint32_t>(at);
        const uint8_t* p = data + at;
        sstUnlock(path);
        const uint8_t first[2] = {p[0], 0x00};
        if (!QV_SerialFlashCommand(path, {0xAF, a2(a), a1(a), a0(a)}, true)) return false;
        if (!QV_SerialFlashData(path, first, 2)) return false;
        for (size_t i = 1; i < page; ++i)
            if (!QV_SerialFlashCommand(path, {0xAF, p[i]}, false)) return false;
    }
    return true;
}

}  // namespace

bool ProgramFlashBySpi(Path path, uint32_t address, const uint8_t* data, size_t length,
                       FlashType flashType, bool sst25) {
    if (length == 0 || data == nullptr) return false;
    if (address >= kSpiAddressSpace || length > kSpiAddressSpace - address) return false;
    const SpiProgramMethod method = spiProgramMethod(flashType, sst25);
    bool ok = true;
    for (size_t at = 0; ok && at < length; at += kSpiChunkSize) {
        const size_t n = std::min(kSpiChunkSize, length - at);
        const uint32_t a = address + static_cast<uint32_t>(at);
        // The pages of a chunk are paced, not polled: this wait only lets an earlier erase or
        // chunk finish, and a flash that stays busy shows in the result of what follows.
        WaitFlashReady(path);
        switch (method.style) {
            case SpiProgramStyle::Page: ok = programPages(path, a, data + at, n, method.pageSize); break;
            case SpiProgramStyle::SstWord:
                ok = programSstWords(path, a, data + at, n, method.pageSize, at == 0);
                break;
            case SpiProgramStyle::SstByte:
                ok = programSstBytes(path, a, data + at, n, method.pageSize);
                writeDisable(path);
                break;
        }
        sys::sleepMs(kSpiPaceMs);
    }
    // The SST25 run spans the whole transfer; it ends here, also when a chunk failed, so the part
    // never stays in auto-increment mode (in which it takes no other command).
    if (method.style == SpiProgramStyle::SstWord) writeDisable(path);
    return ok;
}

bool SstChipErase(Path path) {
    sstUnlock(path);
    const bool erased = QV_SerialFlashCommand(path, {0xC7}, false);
    writeDisable(path);
    return erased;
}

}  // namespace IDEAccess

namespace qvaccess {

using namespace vendor;

bool fn_WAIT_DEVICE_READY(Device dev) {
    MacLink link(dev);
    return waitReady(link);
}

bool fn_WAIT_DEVICE_READY_ATM(Device dev, uint8_t mask) {
    MacLink link(dev);
    return waitLatch(link, mask);
}

bool fn_CHECK_DEVICE_ZERO_AMC(Device dev) {
    MacLink link(dev);
    return waitStatusWritten(link);
}

bool QV_SFWriteEnable(Device dev) {
    MacLink link(dev);
    return writeEnableAndUnprotect(link);
}

}  // namespace qvaccess
