#include "sim/enclosure.h"

#include <algorithm>
#include <cstring>

#include "sim/enclosure_internal.h"

// The RAM buffer commands of the QVR29x (READ/WRITE BUFFER: descriptor, ROM loader download,
// programming and reading the flash through the buffer), the product record (C3), and the
// QVR294's chip buffer and flash commands (B2 to B6).
namespace sim {

using namespace detail;

namespace {

constexpr uint32_t kChipBufferPage = 0xC800;   // where B2 puts and B5 takes the 512-byte piece
constexpr uint32_t kPiece294 = 512;
constexpr uint32_t kMfgReadWindow = 0x40000;   // what the manufacturing code in RAM gives back

}  // namespace


bool Enclosure::programThroughBuffer(uint32_t offset, const uint8_t* data, uint32_t len) {
    SpiFlash* f = flash_.get();
    if (!f || offset > f->size() || len > f->size() - offset) return false;
    f->unprotectForChip();
    // The chip erases each 4 KiB sector the first time buffer data reaches it after a chip erase
    // (or since it booted), so a region written through the buffer ends up exactly as sent,
    // whatever the flash held before; a second write to the same sector programs over it.
    for (uint32_t s = offset / kSectorSize4K; len > 0 && s <= (offset + len - 1) / kSectorSize4K; ++s) {
        if (bufferErased_.insert(s).second) f->eraseUnitAt(s * kSectorSize4K, kSectorSize4K, f->eraseMs(kSectorSize4K));
    }
    return f->program(offset, data, len);
}


Enclosure::Reply Enclosure::readBuffer(const Request& req) {
    const uint8_t* c = req.cdb;
    Reply r;
    const uint8_t mode = c[1] & 0x1F;
    const uint32_t offset = be24(c + 3);
    const uint32_t len = be24(c + 6);
    if (mode == 3) {
        r.data = bufferDescriptor();
        return r;
    }
    if (mode != 1 && mode != 2) return refused(sense::kInvalidField);
    r.flashOrDiskRead = true;
    if (state_ == BootState::RomCode) {
        // The ROM loader has only its RAM buffer to show.
        if (offset > kRamBufferSize || len > kRamBufferSize - offset) return refused(sense::kInvalidField);
        r.data.assign(ram_.begin() + offset, ram_.begin() + offset + len);
        return r;
    }
    if (offset % kSectorSize4K != 0) return refused(sense::kInvalidField);
    if (!flash_) return refused(sense::kInvalidField);
    // The manufacturing code in RAM serves a fixed 256 KiB window whatever the flash size; on a
    // smaller flash the addresses wrap, as the SPI part ignores address bits above its size.
    const uint32_t window = state_ == BootState::ManufacturingRam ? std::max(capacity(), kMfgReadWindow) : capacity();
    if (offset > window || len > window - offset) return refused(sense::kInvalidField);
    r.data.assign(len, 0xFF);
    if (!flash_->read(offset, r.data.data(), len))
        for (uint32_t i = 0; i < len; ++i) r.data[i] = flash_->bytes()[(offset + i) % flash_->size()];
    return r;
}


Enclosure::Reply Enclosure::writeBuffer(const Request& req) {
    const uint8_t* c = req.cdb;
    Reply r;
    const uint8_t mode = c[1] & 0x1F;
    const uint32_t offset = be24(c + 3);
    const uint32_t len = be24(c + 6);
    switch (mode) {
        case 0x0F:   // activate: the chip restarts with what its flash now holds
            r.outcome = CommandOutcome::Reset;
            return r;
        case 0x06: {
            if (state_ != BootState::RomCode) return refused(sense::kInvalidField);
            if (offset > kRamBufferSize || len > kRamBufferSize - offset) return refused(sense::kInvalidField);
            const uint8_t* d = dataOut(req, len);
            if (!d) return refused(sense::kInvalidField);
            std::copy_n(d, len, ram_.begin() + offset);
            // The download is complete when its last byte arrives; the chip starts it at once.
            if (len > 0 && offset + len == kRamBufferSize) state_ = BootState::ManufacturingRam;
            return r;
        }
        case 0x0E: {
            if (state_ == BootState::RomCode) return refused(sense::kInvalidField);
            if (offset % kSectorSize4K != 0 || offset > capacity() || len > capacity() - offset) return refused(sense::kInvalidField);
            const uint8_t* d = dataOut(req, len);
            if (!d) return refused(sense::kInvalidField);
            if (!flash_ || flash_->stuckBusy()) {
                r.good = false;
                r.sense = sense::kFlashNotDone;
                return r;
            }
            // The chip answers a buffer command only when its flash work is done, so the host never
            // finds the flash busy after one.
            programThroughBuffer(offset, d, len);
            heldUs_ += flash_->waitUntilReady();
            return r;
        }
        default: return refused(sense::kInvalidField);
    }
}


Enclosure::Reply Enclosure::productInfo(const Request& req) {
    const uint8_t* c = req.cdb;
    Reply r;
    if (c[1] != 0x30 || c[9] != kProductRecordSize) return refused(sense::kInvalidField);
    const uint8_t* d = dataOut(req, kProductRecordSize);
    if (!d) return refused(sense::kInvalidField);
    if (d[0] != 0x42) return refused(sense::kInvalidParameter);   // invalid field in parameter list
    if (state_ == BootState::RomCode) return refused(sense::kSequenceError);
    if (!flash_ || flash_->size() < kProductAreaOffset + kProductAreaSize || flash_->stuckBusy())
        return refused(sense::kFlashNotDone);
    // The record lands at the start of the product area, which the chip erases first.
    flash_->unprotectForChip();
    flash_->eraseUnitAt(kProductAreaOffset, kProductAreaSize, flash_->eraseMs(kProductAreaSize));
    bufferErased_.insert(kProductAreaOffset / kSectorSize4K);
    flash_->program(kProductAreaOffset, d, kProductRecordSize);
    heldUs_ += flash_->waitUntilReady();
    return r;
}


Enclosure::Reply Enclosure::flash294(const Request& req) {
    const uint8_t* c = req.cdb;
    Reply r;
    SpiFlash* f = flash_.get();
    const uint32_t addr = be32(c + 2);
    const uint32_t n = be16(c + 6);
    const uint32_t at = be16(c + 8);
    switch (c[0]) {
        case 0xB2: {   // 512 bytes into the chip buffer
            const uint8_t* d = dataOut(req, kPiece294);
            if (!d) return refused(sense::kInvalidField);
            std::copy_n(d, kPiece294, chipBuffer_.begin() + kChipBufferPage);
            return r;
        }
        case 0xB5:
            r.flashOrDiskRead = true;
            r.data.assign(chipBuffer_.begin() + kChipBufferPage, chipBuffer_.begin() + kChipBufferPage + kPiece294);
            return r;
        case 0xB3:   // chip buffer to flash
            if (at + n > kChipBufferSize) return refused(sense::kInvalidField);
            if (!f || f->stuckBusy()) return refused(sense::kFlashNotDone);
            // The QVR294's chip-buffer commands are the chip's own flash work: like its buffer
            // programming, each waits for the flash before it starts.
            heldUs_ += f->waitUntilReady();
            f->unprotectForChip();
            if (!f->program(addr, chipBuffer_.data() + at, n)) return refused(sense::kAddressOutOfRange);
            return r;
        case 0xB6:   // flash to chip buffer
            if (at + n > kChipBufferSize) return refused(sense::kInvalidField);
            if (!f) return refused(sense::kFlashNotDone);
            if (!f->stuckBusy()) heldUs_ += f->waitUntilReady();
            if (!f->read(addr, chipBuffer_.data() + at, n)) return refused(sense::kAddressOutOfRange);
            return r;
        case 0xB4:   // erase: byte 11 carries the SPI opcode the chip uses
            if (!f || f->stuckBusy()) return refused(sense::kFlashNotDone);
            heldUs_ += f->waitUntilReady();
            f->unprotectForChip();
            if (c[11] == 0x60 || c[11] == 0xC7) {
                f->eraseChip();
            } else if (c[11] == 0x52 || c[11] == 0xD8) {
                if (addr >= f->size()) return refused(sense::kAddressOutOfRange);
                const FlashPart& p = f->part();
                const uint32_t unit = p.halfBlockErase ? p.halfBlockErase : p.blockErase;
                f->eraseUnitAt(addr, unit, f->eraseMs(unit));
            } else {
                return refused(sense::kInvalidField);
            }
            return r;
        default: return refused(sense::kInvalidOpcode);
    }
}

}  // namespace sim
