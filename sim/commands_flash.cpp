#include "sim/enclosure.h"

#include <algorithm>
#include <cstring>

#include "sim/enclosure_internal.h"

// The flash commands: the bridge's own serial-flash set (FF 04), with its raw SPI cycles, the chip
// status and reset; the register, GPIO and direct flash commands (DF) with their erase modes.
namespace sim {

using namespace detail;

namespace {

constexpr size_t kOddStringLength = 8;   // what the ODD inquiry sends back

}  // namespace


Enclosure::Reply Enclosure::serialFlash(const Request& req) {
    const uint8_t* c = req.cdb;
    const uint32_t sets = persona_->commands;
    Reply r;
    const uint8_t sub = c[2];
    const uint32_t addr = be24(c + 3);
    const uint32_t xfer = req.xferLen;

    switch (sub) {
        case 0x26:
            if (!(sets & kResetCmd) || c[3] != 'Q' || c[4] != 'V') return refused(sense::kInvalidOpcode);
            r.outcome = CommandOutcome::Reset;
            return r;
        case 0x30: {
            // The chip's string is all it sends, however much the host allows.
            if (!persona_->oddString) return refused(sense::kInvalidOpcode);
            r.data.assign(kOddStringLength, 0);
            std::memcpy(r.data.data(), persona_->oddString, std::min(kOddStringLength, std::strlen(persona_->oddString)));
            if (config_.revision) r.data[5] = static_cast<uint8_t>('0' + *config_.revision);
            r.exactLength = true;
            return r;
        }
        case 0xA0:
            if (!(sets & kChipStatusCmd)) return refused(sense::kInvalidOpcode);
            r.data = chipStatus();
            return r;
        default: break;
    }
    if (!(sets & kSerialFlashCmds)) return refused(sense::kInvalidOpcode);

    SpiFlash* f = flash_.get();
    // The bridge passes a program or erase on to the flash without looking at it: a busy flash
    // drops it, and the bridge still answers GOOD.
    const bool reaches = f && f->takesCommands();
    const bool gentle = !f || f->gentle();
    switch (sub) {
        case 0x0F:   // flash parameters: chip erase, block erase, program and sector erase opcodes
            paraSet_ = true;
            chipEraseOp_ = c[3];
            programOp_ = c[5];
            sectorEraseOp_ = c[6];
            return r;
        case 0x10: {
            r.flashOrDiskRead = true;
            r.data.assign(xfer, 0xFF);
            if (f && !f->read(addr, r.data.data(), xfer)) return refused(sense::kAddressOutOfRange);
            return r;
        }
        case 0x11: {
            const uint8_t* d = dataOut(req, xfer);
            if (!d) return refused(sense::kInvalidField);
            if (!f || f->stuckBusy()) return refused(sense::kFlashNotDone);
            if (!gentle && (!reaches || programOp_ != 0x02)) return r;   // lost, or an opcode that programs nothing
            if (!f->program(addr, d, xfer)) return refused(sense::kAddressOutOfRange);
            return r;
        }
        case 0x12:
            r.data.assign(std::max<uint32_t>(xfer, 1), f ? f->status() : 0x00);
            return r;
        case 0x13:
            if (!f || f->stuckBusy()) return refused(sense::kFlashNotDone);
            if (!gentle) {
                if (reaches) f->eraseByOpcode(chipEraseOp_, 0);
            } else {
                f->eraseChip();
            }
            noteChipErased();
            return r;
        case 0x14: {
            if (!f || f->stuckBusy()) return refused(sense::kFlashNotDone);
            // Told its opcodes, the bridge sends them: the part erases its own unit for the sector
            // opcode, or nothing when it has none. Untold, the bridge picks an erase the part has.
            if (!gentle && !reaches) return r;
            if (!gentle && paraSet_) {
                f->eraseByOpcode(sectorEraseOp_, addr);
                return r;
            }
            if (gentle && addr >= f->size()) return refused(sense::kAddressOutOfRange);
            // The erase unit of the sector-erase opcode on this part; a part without that opcode
            // gets the bridge's fallback, the block erase.
            const FlashPart& p = f->part();
            uint32_t unit = 0;
            if (sectorEraseOp_ == 0x20 || sectorEraseOp_ == 0xD7) unit = p.sectorErase;
            else if (sectorEraseOp_ == 0x52) unit = p.halfBlockErase;
            else if (sectorEraseOp_ == 0xD8) unit = p.blockErase;
            if (unit == 0) unit = p.blockErase ? p.blockErase : (p.halfBlockErase ? p.halfBlockErase : p.sectorErase);
            f->eraseUnitAt(addr, unit, f->eraseMs(unit));
            return r;
        }
        case 0x15: {
            std::vector<uint8_t> mosi{c[4]};
            mosi.resize(1 + std::min<uint8_t>(c[5], 3), 0);   // the dummy bytes the bridge sends itself
            const size_t n = std::max<size_t>(c[3], xfer);
            r.data = f ? f->transfer(mosi, n) : std::vector<uint8_t>(n, 0xFF);
            return r;
        }
        case 0x20: {
            const uint8_t n = c[3];
            if (n == 0 || n > 7) return refused(sense::kInvalidField);
            std::vector<uint8_t> spi(c + 5, c + 5 + n);
            if (c[4] & 1) {
                pendingSpi_ = std::move(spi);
            } else {
                pendingSpi_.reset();
                if (f) f->transfer(spi, 0);
            }
            return r;
        }
        case 0x21: {
            if (!pendingSpi_) return refused(sense::kSequenceError);
            // Some bridges clock in as many reply bytes as byte 8 asks for, whatever the host allows.
            const uint32_t n = config_.responseByCount ? c[8] : xfer;
            r.data = f ? f->transfer(*pendingSpi_, n) : std::vector<uint8_t>(n, 0xFF);
            r.exactLength = config_.responseByCount;
            pendingSpi_.reset();
            return r;
        }
        case 0x22: {
            if (!pendingSpi_) return refused(sense::kSequenceError);
            const uint32_t len = be16(c + 7);
            const uint8_t* d = dataOut(req, len);
            if (!d) return refused(sense::kInvalidField);
            std::vector<uint8_t> mosi = *pendingSpi_;
            mosi.insert(mosi.end(), d, d + len);
            pendingSpi_.reset();
            if (f) f->transfer(mosi, 0);
            return r;
        }
        case 0x23:
            r.data.assign(std::max<uint32_t>(xfer, 4), 0);
            if (f && f->part().bridgeKnows) r.data[0] = f->part().flashType;
            return r;
        case 0x25: return r;   // prepare for flash access: nothing to do for the emulated flash
        default: return refused(sense::kInvalidOpcode);
    }
}


void Enclosure::eraseByMode(uint8_t mode, uint32_t addr) {
    SpiFlash* f = flash_.get();
    const FlashPart& p = f->part();
    const EraseUnits units = eraseUnitsOfType(p.flashType);
    switch (mode & 7) {
        case 1:
        case 4: f->eraseUnitAt(addr, units.sector, f->eraseMs(units.sector)); break;
        case 2:
        case 5: f->eraseUnitAt(addr, units.block, f->eraseMs(units.block)); break;
        case 3:
        case 6:
        case 7:
            f->eraseChip();
            noteChipErased();
            break;
        default: break;
    }
}


Enclosure::Reply Enclosure::registerOrNvram(const Request& req) {
    const uint8_t* c = req.cdb;
    const uint32_t sets = persona_->commands;
    Reply r;
    const uint8_t sub = req.cdbLen >= 12 ? c[11] : 0;
    const uint32_t xfer = req.xferLen;

    if (sub == 0xFF || sub == 0xFD || sub == 0xFE || sub == 0xFC) {
        if (!(sets & kRegisterCmds)) return refused(sense::kInvalidOpcode);
        if (sub == 0xFC) return r;   // prepare the flash probe: nothing to prepare on the emulated flash
        if (sub == 0xFF) {
            r.data = {static_cast<uint8_t>(persona_->gpio), static_cast<uint8_t>(persona_->gpio >> 8)};
            return r;
        }
        const uint32_t len = be16(c + 3);
        const uint32_t at = be16(c + 6);
        if (at + len > registers_.size()) return refused(sense::kAddressOutOfRange);
        if (sub == 0xFD) {
            r.data.assign(registers_.begin() + at, registers_.begin() + at + len);
            return r;
        }
        const uint8_t* d = dataOut(req, len);
        if (!d) return refused(sense::kInvalidField);
        std::copy_n(d, len, registers_.begin() + at);
        return r;
    }
    if (sub != 0xFA && sub != 0xFB) return refused(sense::kInvalidOpcode);
    if (!(sets & kDirectFlashCmds)) return refused(sense::kInvalidOpcode);
    const uint32_t addr = be24(c + 8);
    SpiFlash* f = flash_.get();

    if (sub == 0xFA) {
        // The chip streams as many bytes as the host clocks in.
        r.flashOrDiskRead = true;
        r.data.assign(xfer, 0xFF);
        if (f && !f->read(addr, r.data.data(), xfer)) return refused(sense::kAddressOutOfRange);
        return r;
    }
    const uint8_t mode = c[1];
    const uint32_t len = be24(c + 2);
    const uint8_t* d = dataOut(req, len);
    if (!d && len > 0) return refused(sense::kInvalidField);   // length 0 carries no data: erase only
    if (!f || f->stuckBusy()) return refused(sense::kFlashNotDone);
    // The bridge runs its erase and its program one after the other; a flash still busy with an
    // earlier command drops both.
    if (!f->takesCommands()) return r;
    if (f->gentle() && (addr > f->size() || len > f->size() - addr)) return refused(sense::kAddressOutOfRange);
    f->unprotectForChip();
    if (persona_->directFlagEraseUnit && (mode & 7) == 1)
        f->eraseUnitAt(addr, persona_->directFlagEraseUnit, f->eraseMs(persona_->directFlagEraseUnit));
    else
        eraseByMode(mode, addr);
    if (len > 0) f->program(addr, d, len);
    return r;
}

}  // namespace sim
