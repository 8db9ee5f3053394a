#include "sim/enclosure.h"

#include <algorithm>
#include <cstring>

#include "image/format/image_builder.h"
#include "sim/bus_timing.h"
#include "sim/state_file.h"
#include "sys/bytes.h"
#include "sys/clock.h"

namespace sim {

namespace {

using transport::Direction;
using transport::Request;
using transport::Result;

constexpr uint32_t kSectorSize4K = 0x1000;
constexpr uint32_t kChipBufferSize = 0x10000;
constexpr uint32_t kChipBufferPage = 0xC800;   // where B2 puts and B5 takes the 512-byte piece
constexpr uint32_t kPiece294 = 512;
constexpr uint32_t kMfgReadWindow = 0x40000;   // what the manufacturing code in RAM gives back
constexpr uint8_t kHostDeviceGone = 0x01;      // transport error: the device went away mid-command
constexpr size_t kOddStringLength = 8;          // what the ODD inquiry sends back
// A chip information record that ends before byte 13 holds its version as major and minor in
// bytes 6 and 7, as the older families keep it.
constexpr uint32_t kShortRecordVersionEnd = 13;

using sys::be16;
using sys::be24;
using sys::be32;

// The bytes the host sent with a data-out command, when it sent at least `need` of them.
const uint8_t* dataOut(const Request& req, size_t need) {
    if (need == 0) return req.data;
    if (req.dir != Direction::Out || req.data == nullptr || req.xferLen < need) return nullptr;
    return req.data;
}

}  // namespace

const char* bootStateName(BootState s) {
    switch (s) {
        case BootState::Firmware: return "firmware";
        case BootState::RomCode: return "rom";
        case BootState::ManufacturingRam: return "manufacturing (RAM)";
        case BootState::ManufacturingFlash: return "manufacturing (flash)";
    }
    return "";
}

// Answers the host gets for commands it may not give.
namespace sense {
constexpr uint8_t kIllegal = 0x05;
}

std::unique_ptr<Enclosure> Enclosure::create(const EnclosureConfig& config, std::string& error) {
    const ChipPersona* persona = findChipPersona(config.model);
    if (!persona) return error = "unknown model " + config.model, nullptr;
    const FlashPart* part = nullptr;
    if (!config.noFlash) {
        part = findFlashPart(config.flash.empty() ? persona->defaultFlash : config.flash);
        if (!part) return error = "unknown flash part " + config.flash, nullptr;
    }
    std::unique_ptr<Enclosure> e(new Enclosure(config, *persona, part));

    bool loaded = false;
    if (!config.stateFile.empty()) {
        EnclosureState s;
        bool exists = false;
        std::string why;
        if (loadStateFile(config.stateFile, s, exists, why)) {
            if (s.model != config.model) return error = "state file " + config.stateFile + " holds a " + s.model, nullptr;
            const std::string partName = part ? part->name : "";
            if (s.flashPart != partName || s.flash.size() != (part ? part->size : 0))
                return error = "state file " + config.stateFile + " holds flash " + s.flashPart, nullptr;
            if (part) e->flash_->bytes() = std::move(s.flash);
            e->disk_ = Disk(s.sectors, s.sectorSize);
            e->disk_.blocks() = std::move(s.blocks);
            loaded = true;
        } else if (exists) {
            return error = why, nullptr;
        }
    }
    if (!loaded && part && persona->versionCount > 0) {
        // A well-formed older firmware of the family, unless told which.
        ImageParams p;
        p.layout = persona->layout;
        p.chipCode = e->imageChipCode();
        p.revision = config.revision ? static_cast<char>('0' + *config.revision) : persona->revision;
        p.version.assign(persona->defaultVersion.begin(), persona->defaultVersion.begin() + persona->versionCount);
        if (config.firmware) p.version = *config.firmware;
        p.codeEnd = persona->codeEnd ? persona->codeEnd : 0xC000;
        p.twoCopies = persona->layout == ImageLayout::SingleBank && part->size > 127 * 1024;
        std::vector<uint8_t> image;
        std::string why;
        if (!buildImage(p, image, why)) return error = "cannot build the firmware image: " + why, nullptr;
        if (image.size() > part->size)
            return error = std::string("flash ") + part->name + " is too small for the " + persona->model + " firmware", nullptr;
        std::copy(image.begin(), image.end(), e->flash_->bytes().begin());
    }
    e->reboot();
    return e;
}

Enclosure::Enclosure(const EnclosureConfig& config, const ChipPersona& persona, const FlashPart* part)
    : config_(config),
      persona_(&persona),
      flash_(part ? std::make_unique<SpiFlash>(*part) : nullptr),
      disk_(config.diskSectors, config.diskSectorSize),
      ram_(kRamBufferSize, 0),
      chipBuffer_(kChipBufferSize, 0),
      registers_(0x10000, 0) {
    faults_.failAt(config.failAt)
        .failEvery(config.failEvery)
        .failOnlyOpcode(config.failOpcode)
        .notReady(config.notReady)
        .stuckBusy(config.stuckBusy)
        .shortAt(config.shortAt)
        .flipEvery(config.flipEvery)
        .powerCutAt(config.powerCutAt)
        .dropAt(config.dropAt)
        .noReturn(config.noReturn)
        .twins(config.twins)
        .seed(config.seed);
}

std::vector<uint8_t>& Enclosure::flash() { return flash_ ? flash_->bytes() : noFlash_; }

std::string Enclosure::imageChipCode() const {
    if (persona_->chipCode) return persona_->chipCode;
    const std::string name = persona_->productName;
    return name.size() >= 3 ? name.substr(name.size() - 3) : "000";
}

std::vector<uint8_t> Enclosure::nvram() const {
    if (!flash_) return {};
    uint32_t at;
    switch (persona_->layout) {
        case ImageLayout::SingleBank: at = persona_->codeEnd; break;
        case ImageLayout::NvramFirst: at = 0; break;
        default: return {};
    }
    const auto& b = flash_->bytes();
    if (at + kNvramSize > b.size()) return {};
    return std::vector<uint8_t>(b.begin() + at, b.begin() + at + kNvramSize);
}

void Enclosure::reboot() {
    std::fill(ram_.begin(), ram_.end(), 0);
    std::fill(chipBuffer_.begin(), chipBuffer_.end(), 0);
    std::fill(registers_.begin(), registers_.end(), 0);
    pendingSpi_.reset();
    bufferErased_.clear();
    sectorEraseOp_ = persona_->sectorEraseOp;
    version_.clear();
    state_ = BootState::RomCode;

    FoundImage found;
    if (flash_ && persona_->versionCount > 0) {
        const auto& b = flash_->bytes();
        const int revision = config_.revision ? *config_.revision : persona_->revision - '0';
        const char* own = revision == 1 || revision == 2 ? persona_->ownSignature[revision - 1] : nullptr;
        found = findImage(b.data(), b.size(), persona_->layout, persona_->codeEnd, imageChipCode(), persona_->versionCount,
                          own);
    }
    if (found.valid) {
        state_ = found.manufacturing ? BootState::ManufacturingFlash : BootState::Firmware;
        version_ = found.version;
    }

    // Registers the identification reads: the running code's flag and signature block, the
    // revision register, the ready register.
    const RegisterFlag& flag = persona_->externalFlag;
    if (running() && flag.addr) registers_[flag.addr + flag.byte] |= flag.mask;
    if (running() && flash_) {
        uint32_t sig = 0;
        if (persona_->layout == ImageLayout::NvramFirst) sig = kNvramSize;
        else if (persona_->layout == ImageLayout::SingleBank) sig = found.codeStart + persona_->codeEnd - 16;
        if (persona_->layout != ImageLayout::TwoBank && sig + 10 <= flash_->size())
            std::copy_n(flash_->bytes().begin() + sig, 10, registers_.begin() + 0xC000);
        registers_[0x505E + 2] = 1;
    }
    registers_[0xFDB0 + 1] = persona_->fdb0Byte1;
}

uint32_t Enclosure::capacity() const {
    if (state_ == BootState::RomCode) return kRamBufferSize;
    return flash_ ? std::min(flash_->size(), kBufferCapacityLimit) : 0;
}

std::vector<uint8_t> Enclosure::bufferDescriptor() const {
    const uint32_t cap = capacity();
    const uint8_t boundary = state_ == BootState::RomCode ? 0xFF : 12;
    return {boundary, static_cast<uint8_t>(cap >> 16), static_cast<uint8_t>(cap >> 8), static_cast<uint8_t>(cap)};
}

std::vector<uint8_t> Enclosure::chipInfo() const {
    std::vector<uint8_t> rec(16, 0);
    if (!persona_->chipCode) return rec;   // chips without a record answer without its signature
    rec[0] = 0xF4;
    rec[1] = 0xE7;
    rec[2] = static_cast<uint8_t>(persona_->vid >> 8);
    rec[3] = static_cast<uint8_t>(persona_->vid);
    rec[4] = static_cast<uint8_t>(persona_->pid >> 8);
    rec[5] = static_cast<uint8_t>(persona_->pid);
    std::memcpy(rec.data() + 8, persona_->chipCode, 3);
    rec[11] = static_cast<uint8_t>(config_.revision ? '0' + *config_.revision : persona_->revision);

    if (answers(*persona_, kBufferCmds)) {
        rec[7] = persona_->romVariant;
        switch (state_) {
            case BootState::Firmware:
                rec[6] = 1;
                break;
            case BootState::RomCode:
                rec[6] = 2;
                std::memcpy(rec.data() + 12, "0000", 4);
                return rec;
            case BootState::ManufacturingRam:
                rec[6] = 2;
                std::copy_n(ram_.begin() + kHeaderChipCodeOffset, 3, rec.begin() + 8);
                std::copy_n(ram_.begin() + kHeaderVersionOffset, 4, rec.begin() + 12);
                return rec;
            case BootState::ManufacturingFlash:
                rec[6] = 3;
                break;
        }
    }
    if (running()) {
        for (size_t i = 0; i < version_.size() && i < persona_->versionPos.size(); ++i)
            if (persona_->versionPos[i] >= 2 && persona_->versionPos[i] < rec.size()) rec[persona_->versionPos[i]] = version_[i];
        const uint32_t length = config_.chipInfoLength;
        if (length && length < kShortRecordVersionEnd && version_.size() >= 2 && persona_->versionPos[0] >= length) {
            rec[6] = version_[0];
            rec[7] = version_[1];
        }
    }
    return rec;
}

std::vector<uint8_t> Enclosure::chipStatus() const {
    std::vector<uint8_t> rec(32, 0);
    rec[8] = persona_->status8;
    rec[18] = persona_->status18;
    rec[19] = running() ? 1 : 0;
    return rec;
}

Result Enclosure::execute(const Request& req, CommandOutcome& outcome) {
    outcome = CommandOutcome::Stay;
    Result r;
    if (poweredOff_) return r;   // not opened
    r.opened = true;
    r.platformOk = true;
    if (req.cdb == nullptr || req.cdbLen < 6 || req.cdbLen > transport::kMaxCdb) {
        r.scsiStatus = 2;
        return r;
    }
    ++commands_;
    if (flash_) flash_->setStuckBusy(faults_.stuckBusy());
    const uint8_t op = req.cdb[0];
    // The command, its data and its status cross the bus before the chip's answer is back.
    const uint64_t wireUs = commandTransferUs(config_.bus, req.data ? req.xferLen : 0);
    transferUs_ += wireUs;
    sys::sleepUs(wireUs);

    if (faults_.dropAt() && commands_ == faults_.dropAt()) {
        outcome = CommandOutcome::Drop;
        r.opened = false;
        return r;
    }
    const bool cutNow = faults_.powerCutAt() && commands_ == faults_.powerCutAt();
    if (cutNow && flash_) flash_->limitWrites(static_cast<uint32_t>(1 + faults_.random() % 192));

    const bool counted = faults_.failOnlyOpcode() < 0 || op == faults_.failOnlyOpcode();
    if (counted) ++matching_;
    Reply reply;
    const bool isBuffer = op == 0x3B || op == 0x3C;
    if (counted && ((faults_.failAt() && matching_ == faults_.failAt()) ||
                    (faults_.failEvery() && matching_ % faults_.failEvery() == 0))) {
        reply.good = false;
        reply.sense = {0x0B, 0x00, 0x00};   // ABORTED COMMAND
    } else if (isBuffer && answers(*persona_, kBufferCmds) && faults_.takeNotReady()) {
        reply.good = false;
        reply.sense = {0x02, 0x04, 0x01};   // NOT READY, becoming ready
    } else {
        reply = dispatch(req);
    }

    if (cutNow) {
        // Power gone mid-command: what reached the flash stays, RAM and buffers are lost, and the
        // host sees the device vanish.
        poweredOff_ = true;
        if (flash_) flash_->clearWriteLimit();
        std::fill(ram_.begin(), ram_.end(), 0);
        std::fill(chipBuffer_.begin(), chipBuffer_.end(), 0);
        pendingSpi_.reset();
        outcome = CommandOutcome::PowerCut;
        r.platformOk = false;
        r.hostStatus = kHostDeviceGone;
        return r;
    }

    if (!reply.good) {
        r.scsiStatus = 2;
        r.sense[0] = 0x70;
        r.sense[2] = reply.sense.key;
        r.sense[7] = 0x0A;
        r.sense[12] = reply.sense.asc;
        r.sense[13] = reply.sense.ascq;
        r.senseValid = 18;
        return r;
    }

    if (req.dir == Direction::In && req.data && req.xferLen > 0) {
        const size_t n = std::min<size_t>(reply.data.size(), req.xferLen);
        std::copy_n(reply.data.begin(), n, req.data);
        std::fill(req.data + n, req.data + req.xferLen, 0);
        r.reported = reply.exactLength ? static_cast<uint32_t>(n) : req.xferLen;
        r.residual = req.xferLen - r.reported;
        if (faults_.shortAt() && ++dataIns_ == faults_.shortAt()) {
            r.residual = std::max<uint32_t>(r.residual, std::max<uint32_t>(1, r.reported / 2));
            r.reported = req.xferLen - r.residual;
            std::fill(req.data + r.reported, req.data + req.xferLen, 0);
        }
        if (reply.flashOrDiskRead && faults_.flipEvery() && ++reads_ % faults_.flipEvery() == 0 && r.reported > 0) {
            const uint64_t bit = faults_.random() % (uint64_t(r.reported) * 8);
            req.data[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        }
    } else if (req.dir == Direction::Out) {
        r.reported = req.xferLen;
    }
    outcome = reply.outcome;
    if (outcome == CommandOutcome::Reset) ++resets_;
    return r;
}

Enclosure::Reply Enclosure::dispatch(const Request& req) {
    const uint8_t* c = req.cdb;
    const uint32_t sets = persona_->commands;
    Reply bad;
    bad.good = false;
    bad.sense = {sense::kIllegal, 0x20, 0x00};   // invalid command operation code
    switch (c[0]) {
        case 0x00: return Reply{};                 // TEST UNIT READY
        case 0x12: return inquiry(req);
        case 0xE0:
        case 0xFE: {
            if (c[1] != 0xF4 || c[2] != 0xE7) return bad;
            if (c[0] == 0xFE && !(sets & kChipInfoAltCmd)) return bad;
            Reply r;
            r.data = chipInfo();
            if (config_.chipInfoLength) {
                r.data.resize(config_.chipInfoLength);
                r.exactLength = true;
            }
            return r;
        }
        case 0xFF:
            if (c[1] != 0x04) return bad;
            return serialFlash(req);
        case 0xDF: return registerOrNvram(req);
        case 0x3C: return (sets & kBufferCmds) ? readBuffer(req) : bad;
        case 0x3B: return (sets & kBufferCmds) ? writeBuffer(req) : bad;
        case 0xC3: return (sets & kProductInfoCmd) ? productInfo(req) : bad;
        case 0xB2:
        case 0xB3:
        case 0xB4:
        case 0xB5:
        case 0xB6: return (sets & kFlash294Cmds) ? flash294(req) : bad;
        case 0xA1:
        case 0x85:
        case 0x9E:
        case 0x88:
        case 0x8A: return (sets & kAtaCmds) ? ata(req) : bad;
        default: return bad;
    }
}

Enclosure::Reply Enclosure::inquiry(const Request&) {
    Reply r;
    r.data.assign(96, 0);
    r.data[2] = 0x06;
    r.data[3] = 0x02;
    r.data[4] = 91;
    std::memcpy(r.data.data() + 8, "Corvane ", 8);
    const char* product = persona_->inquiryProduct;
    for (size_t i = 0; i < 16; ++i) r.data[16 + i] = (product && i < std::strlen(product)) ? product[i] : ' ';
    std::memcpy(r.data.data() + 32, "0100", 4);
    if (persona_->inquiryCode) std::memcpy(r.data.data() + 36, persona_->inquiryCode, 4);
    return r;
}

Enclosure::Reply Enclosure::serialFlash(const Request& req) {
    const uint8_t* c = req.cdb;
    const uint32_t sets = persona_->commands;
    Reply r;
    const auto fail = [&](Sense s) {
        r.good = false;
        r.sense = s;
        return r;
    };
    const uint8_t sub = c[2];
    const uint32_t addr = be24(c + 3);
    const uint32_t xfer = req.xferLen;

    switch (sub) {
        case 0x26:
            if (!(sets & kResetCmd) || c[3] != 'Q' || c[4] != 'V') return fail(kBadOp);
            r.outcome = CommandOutcome::Reset;
            return r;
        case 0x30: {
            // The chip's string is all it sends, however much the host allows.
            if (!persona_->oddString) return fail(kBadOp);
            r.data.assign(kOddStringLength, 0);
            std::memcpy(r.data.data(), persona_->oddString, std::min(kOddStringLength, std::strlen(persona_->oddString)));
            if (config_.revision) r.data[5] = static_cast<uint8_t>('0' + *config_.revision);
            r.exactLength = true;
            return r;
        }
        case 0xA0:
            if (!(sets & kChipStatusCmd)) return fail(kBadOp);
            r.data = chipStatus();
            return r;
        default: break;
    }
    if (!(sets & kSerialFlashCmds)) return fail(kBadOp);

    SpiFlash* f = flash_.get();
    switch (sub) {
        case 0x0F:   // flash parameters: chip erase, block erase, program and sector erase opcodes
            sectorEraseOp_ = c[6];
            return r;
        case 0x10: {
            r.flashOrDiskRead = true;
            r.data.assign(xfer, 0xFF);
            if (f && !f->read(addr, r.data.data(), xfer)) return fail(kOutOfRange);
            return r;
        }
        case 0x11: {
            const uint8_t* d = dataOut(req, xfer);
            if (!d) return fail(kBadField);
            if (!f || f->stuckBusy()) return fail(kFlashFault);
            if (!f->program(addr, d, xfer)) return fail(kOutOfRange);
            return r;
        }
        case 0x12:
            r.data.assign(std::max<uint32_t>(xfer, 1), f ? f->status() : 0x00);
            return r;
        case 0x13:
            if (!f || f->stuckBusy()) return fail(kFlashFault);
            f->eraseChip();
            noteChipErased();
            return r;
        case 0x14: {
            if (!f || f->stuckBusy()) return fail(kFlashFault);
            if (addr >= f->size()) return fail(kOutOfRange);
            // The erase unit of the sector-erase opcode on this part; a part without that opcode
            // gets the bridge's fallback, the block erase.
            const FlashPart& p = f->part();
            uint32_t unit = 0;
            if (sectorEraseOp_ == 0x20 || sectorEraseOp_ == 0xD7) unit = p.sectorErase;
            else if (sectorEraseOp_ == 0x52) unit = p.halfBlockErase;
            else if (sectorEraseOp_ == 0xD8) unit = p.blockErase;
            if (unit == 0) unit = p.blockErase ? p.blockErase : (p.halfBlockErase ? p.halfBlockErase : p.sectorErase);
            f->eraseUnitAt(addr, unit, eraseMsOf(p, unit));
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
            if (n == 0 || n > 7) return fail(kBadField);
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
            if (!pendingSpi_) return fail(kSequence);
            r.data = f ? f->transfer(*pendingSpi_, xfer) : std::vector<uint8_t>(xfer, 0xFF);
            pendingSpi_.reset();
            return r;
        }
        case 0x22: {
            if (!pendingSpi_) return fail(kSequence);
            const uint32_t len = be16(c + 7);
            const uint8_t* d = dataOut(req, len);
            if (!d) return fail(kBadField);
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
        default: return fail(kBadOp);
    }
}

void Enclosure::eraseByMode(uint8_t mode, uint32_t addr) {
    SpiFlash* f = flash_.get();
    const FlashPart& p = f->part();
    const EraseUnits units = eraseUnitsOfType(p.flashType);
    switch (mode & 7) {
        case 1:
        case 4: f->eraseUnitAt(addr, units.sector, eraseMsOf(p, units.sector)); break;
        case 2:
        case 5: f->eraseUnitAt(addr, units.block, eraseMsOf(p, units.block)); break;
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
    const auto fail = [&](Sense s) {
        r.good = false;
        r.sense = s;
        return r;
    };
    const uint8_t sub = req.cdbLen >= 12 ? c[11] : 0;
    const uint32_t xfer = req.xferLen;

    if (sub == 0xFF || sub == 0xFD || sub == 0xFE || sub == 0xFC) {
        if (!(sets & kRegisterCmds)) return fail(kBadOp);
        if (sub == 0xFC) return r;   // prepare the flash probe: nothing to prepare on the emulated flash
        if (sub == 0xFF) {
            r.data = {static_cast<uint8_t>(persona_->gpio), static_cast<uint8_t>(persona_->gpio >> 8)};
            return r;
        }
        const uint32_t len = be16(c + 3);
        const uint32_t at = be16(c + 6);
        if (at + len > registers_.size()) return fail(kOutOfRange);
        if (sub == 0xFD) {
            r.data.assign(registers_.begin() + at, registers_.begin() + at + len);
            return r;
        }
        const uint8_t* d = dataOut(req, len);
        if (!d) return fail(kBadField);
        std::copy_n(d, len, registers_.begin() + at);
        return r;
    }
    if (sub != 0xFA && sub != 0xFB) return fail(kBadOp);
    if (!(sets & kDirectFlashCmds)) return fail(kBadOp);
    const uint32_t addr = be24(c + 8);
    SpiFlash* f = flash_.get();

    if (sub == 0xFA) {
        // The chip streams as many bytes as the host clocks in.
        r.flashOrDiskRead = true;
        r.data.assign(xfer, 0xFF);
        if (f && !f->read(addr, r.data.data(), xfer)) return fail(kOutOfRange);
        return r;
    }
    const uint8_t mode = c[1];
    const uint32_t len = be24(c + 2);
    const uint8_t* d = dataOut(req, len);
    if (!d && len > 0) return fail(kBadField);   // length 0 carries no data: erase only
    if (!f || f->stuckBusy()) return fail({0x04, 0x44, 0x00});
    if (addr > f->size() || len > f->size() - addr) return fail(kOutOfRange);
    if (persona_->directFlagEraseUnit && (mode & 7) == 1)
        f->eraseUnitAt(addr, persona_->directFlagEraseUnit, eraseMsOf(f->part(), persona_->directFlagEraseUnit));
    else
        eraseByMode(mode, addr);
    if (len > 0) f->program(addr, d, len);
    return r;
}

bool Enclosure::programThroughBuffer(uint32_t offset, const uint8_t* data, uint32_t len) {
    SpiFlash* f = flash_.get();
    if (!f || offset > f->size() || len > f->size() - offset) return false;
    // The chip erases each 4 KiB sector the first time buffer data reaches it after a chip erase
    // (or since it booted), so a region written through the buffer ends up exactly as sent,
    // whatever the flash held before; a second write to the same sector programs over it.
    const FlashPart& p = f->part();
    for (uint32_t s = offset / kSectorSize4K; len > 0 && s <= (offset + len - 1) / kSectorSize4K; ++s) {
        if (bufferErased_.insert(s).second) f->eraseUnitAt(s * kSectorSize4K, kSectorSize4K, eraseMsOf(p, kSectorSize4K));
    }
    return f->program(offset, data, len);
}

Enclosure::Reply Enclosure::readBuffer(const Request& req) {
    const uint8_t* c = req.cdb;
    Reply r;
    const uint8_t mode = c[1] & 0x1F;
    const uint32_t offset = be24(c + 3);
    const uint32_t len = be24(c + 6);
    const auto fail = [&](uint8_t asc) {
        r.good = false;
        r.sense = {sense::kIllegal, asc, 0x00};
        return r;
    };
    if (mode == 3) {
        r.data = bufferDescriptor();
        return r;
    }
    if (mode != 1 && mode != 2) return fail(0x24);
    r.flashOrDiskRead = true;
    if (state_ == BootState::RomCode) {
        // The ROM loader has only its RAM buffer to show.
        if (offset > kRamBufferSize || len > kRamBufferSize - offset) return fail(0x24);
        r.data.assign(ram_.begin() + offset, ram_.begin() + offset + len);
        return r;
    }
    if (offset % kSectorSize4K != 0) return fail(0x24);
    if (!flash_) return fail(0x24);
    // The manufacturing code in RAM serves a fixed 256 KiB window whatever the flash size; on a
    // smaller flash the addresses wrap, as the SPI part ignores address bits above its size.
    const uint32_t window = state_ == BootState::ManufacturingRam ? std::max(capacity(), kMfgReadWindow) : capacity();
    if (offset > window || len > window - offset) return fail(0x24);
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
    const auto fail = [&](uint8_t asc) {
        r.good = false;
        r.sense = {sense::kIllegal, asc, 0x00};
        return r;
    };
    switch (mode) {
        case 0x0F:   // activate: the chip restarts with what its flash now holds
            r.outcome = CommandOutcome::Reset;
            return r;
        case 0x06: {
            if (state_ != BootState::RomCode) return fail(0x24);
            if (offset > kRamBufferSize || len > kRamBufferSize - offset) return fail(0x24);
            const uint8_t* d = dataOut(req, len);
            if (!d) return fail(0x24);
            std::copy_n(d, len, ram_.begin() + offset);
            // The download is complete when its last byte arrives; the chip starts it at once.
            if (len > 0 && offset + len == kRamBufferSize) state_ = BootState::ManufacturingRam;
            return r;
        }
        case 0x0E: {
            if (state_ == BootState::RomCode) return fail(0x24);
            if (offset % kSectorSize4K != 0 || offset > capacity() || len > capacity() - offset) return fail(0x24);
            const uint8_t* d = dataOut(req, len);
            if (!d) return fail(0x24);
            if (!flash_ || flash_->stuckBusy()) {
                r.good = false;
                r.sense = {0x04, 0x44, 0x00};
                return r;
            }
            // The chip answers a buffer command only when its flash work is done, so the host never
            // finds the flash busy after one.
            programThroughBuffer(offset, d, len);
            heldUs_ += flash_->waitUntilReady();
            return r;
        }
        default: return fail(0x24);
    }
}

Enclosure::Reply Enclosure::productInfo(const Request& req) {
    const uint8_t* c = req.cdb;
    Reply r;
    const auto fail = [&](uint8_t key, uint8_t asc) {
        r.good = false;
        r.sense = {key, asc, 0x00};
        return r;
    };
    if (c[1] != 0x30 || c[9] != kProductRecordSize) return fail(sense::kIllegal, 0x24);
    const uint8_t* d = dataOut(req, kProductRecordSize);
    if (!d) return fail(sense::kIllegal, 0x24);
    if (d[0] != 0x42) return fail(sense::kIllegal, 0x26);   // invalid field in parameter list
    if (state_ == BootState::RomCode) return fail(sense::kIllegal, 0x2C);
    if (!flash_ || flash_->size() < kProductAreaOffset + kProductAreaSize || flash_->stuckBusy())
        return fail(0x04, 0x44);
    // The record lands at the start of the product area, which the chip erases first.
    flash_->eraseUnitAt(kProductAreaOffset, kProductAreaSize, eraseMsOf(flash_->part(), kProductAreaSize));
    bufferErased_.insert(kProductAreaOffset / kSectorSize4K);
    flash_->program(kProductAreaOffset, d, kProductRecordSize);
    heldUs_ += flash_->waitUntilReady();
    return r;
}

Enclosure::Reply Enclosure::flash294(const Request& req) {
    const uint8_t* c = req.cdb;
    Reply r;
    const auto fail = [&](uint8_t key, uint8_t asc) {
        r.good = false;
        r.sense = {key, asc, 0x00};
        return r;
    };
    SpiFlash* f = flash_.get();
    const uint32_t addr = be32(c + 2);
    const uint32_t n = be16(c + 6);
    const uint32_t at = be16(c + 8);
    switch (c[0]) {
        case 0xB2: {   // 512 bytes into the chip buffer
            const uint8_t* d = dataOut(req, kPiece294);
            if (!d) return fail(sense::kIllegal, 0x24);
            std::copy_n(d, kPiece294, chipBuffer_.begin() + kChipBufferPage);
            return r;
        }
        case 0xB5:
            r.flashOrDiskRead = true;
            r.data.assign(chipBuffer_.begin() + kChipBufferPage, chipBuffer_.begin() + kChipBufferPage + kPiece294);
            return r;
        case 0xB3:   // chip buffer to flash
            if (at + n > kChipBufferSize) return fail(sense::kIllegal, 0x24);
            if (!f || f->stuckBusy()) return fail(0x04, 0x44);
            if (!f->program(addr, chipBuffer_.data() + at, n)) return fail(sense::kIllegal, 0x21);
            return r;
        case 0xB6:   // flash to chip buffer
            if (at + n > kChipBufferSize) return fail(sense::kIllegal, 0x24);
            if (!f) return fail(0x04, 0x44);
            if (!f->read(addr, chipBuffer_.data() + at, n)) return fail(sense::kIllegal, 0x21);
            return r;
        case 0xB4:   // erase: byte 11 carries the SPI opcode the chip uses
            if (!f || f->stuckBusy()) return fail(0x04, 0x44);
            if (c[11] == 0x60 || c[11] == 0xC7) {
                f->eraseChip();
            } else if (c[11] == 0x52 || c[11] == 0xD8) {
                if (addr >= f->size()) return fail(sense::kIllegal, 0x21);
                const FlashPart& p = f->part();
                const uint32_t unit = p.halfBlockErase ? p.halfBlockErase : p.blockErase;
                f->eraseUnitAt(addr, unit, eraseMsOf(p, unit));
            } else {
                return fail(sense::kIllegal, 0x24);
            }
            return r;
        default: return fail(sense::kIllegal, 0x20);
    }
}

Enclosure::Reply Enclosure::ata(const Request& req) {
    const uint8_t* c = req.cdb;
    Reply r;
    const auto fail = [&](uint8_t asc) {
        r.good = false;
        r.sense = {sense::kIllegal, asc, 0x00};
        return r;
    };
    const uint32_t ss = disk_.sectorSize();
    switch (c[0]) {
        case 0xA1:   // ATA PASS-THROUGH(12): IDENTIFY DEVICE only
            if (c[9] != 0xEC) return fail(0x24);
            r.data = disk_.identify();
            return r;
        case 0x9E: {   // READ CAPACITY(16)
            if ((c[1] & 0x1F) != 0x10) return fail(0x24);
            r.data.assign(32, 0);
            const uint64_t last = disk_.sectors() - 1;
            for (int i = 0; i < 8; ++i) r.data[i] = static_cast<uint8_t>(last >> (56 - 8 * i));
            r.data[8] = static_cast<uint8_t>(ss >> 24);
            r.data[9] = static_cast<uint8_t>(ss >> 16);
            r.data[10] = static_cast<uint8_t>(ss >> 8);
            r.data[11] = static_cast<uint8_t>(ss);
            return r;
        }
        case 0x85: {   // ATA PASS-THROUGH(16): READ / WRITE DMA EXT
            if (req.cdbLen < 16) return fail(0x24);
            const bool write = c[14] == 0x35;
            if (!write && c[14] != 0x25) return fail(0x24);
            const uint64_t count = be16(c + 5);
            const uint64_t lba = uint64_t(c[11]) << 40 | uint64_t(c[9]) << 32 | uint64_t(c[7]) << 24 |
                                 uint64_t(c[12]) << 16 | uint64_t(c[10]) << 8 | c[8];
            const uint64_t bytes = count * ss;
            if (req.xferLen < bytes) return fail(0x24);
            if (write) {
                const uint8_t* d = dataOut(req, bytes);
                if (!d || !disk_.write(lba, count, d)) return fail(0x21);
                return r;
            }
            r.flashOrDiskRead = true;
            r.data.assign(bytes, 0);
            if (!disk_.read(lba, count, r.data.data())) return fail(0x21);
            return r;
        }
        case 0x88:
        case 0x8A: {   // READ(16) / WRITE(16)
            if (req.cdbLen < 16) return fail(0x24);
            uint64_t lba = 0;
            for (int i = 0; i < 8; ++i) lba = lba << 8 | c[2 + i];
            const uint64_t count = be32(c + 10);
            const uint64_t bytes = count * ss;
            if (req.xferLen < bytes) return fail(0x24);
            if (c[0] == 0x8A) {
                const uint8_t* d = dataOut(req, bytes);
                if (!d || !disk_.write(lba, count, d)) return fail(0x21);
                return r;
            }
            r.flashOrDiskRead = true;
            r.data.assign(bytes, 0);
            if (!disk_.read(lba, count, r.data.data())) return fail(0x21);
            return r;
        }
        default: return fail(0x20);
    }
}

bool Enclosure::saveState(std::string& error) const {
    if (config_.stateFile.empty()) return true;
    EnclosureState s;
    s.model = config_.model;
    s.flashPart = flash_ ? flash_->part().name : "";
    if (flash_) s.flash = flash_->bytes();
    s.sectorSize = disk_.sectorSize();
    s.sectors = disk_.sectors();
    s.blocks = disk_.blocks();
    return saveStateFile(config_.stateFile, s, error);
}

}  // namespace sim
