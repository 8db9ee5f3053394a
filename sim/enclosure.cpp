#include "sim/enclosure.h"

#include <algorithm>
#include <cstring>

#include "image/format/image_builder.h"
#include "sim/boot_rules.h"
#include "sim/enclosure_internal.h"
#include "sim/state_file.h"
#include "sys/clock.h"

// The enclosure's life: made from its configuration (and state file), booted from its flash after
// every power-on and reset, its records as the chip reports them, saved. The commands it answers
// are in commands_*.cpp, the faults it shows in enclosure_faults.cpp.
namespace sim {

using namespace detail;

namespace {

// A chip information record that ends before byte 13 holds its version as major and minor in
// bytes 6 and 7, as the older families keep it.
constexpr uint32_t kShortRecordVersionEnd = 13;

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
            if (part) {
                e->flash_->bytes() = std::move(s.flash);
                e->flash_->setKeptStatus(s.flashStatus);
                e->flash_->powerOn();
            }
            e->disk_ = Disk(s.sectors, s.sectorSize);
            e->disk_.setWriteCache(config.writeCache);
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
        .loseStatusAt(config.loseStatusAt)
        .hangAt(config.hangAt)
        .statusFailEvery(config.statusFailEvery)
        .notReadyMs(config.notReadyMs)
        .renode(config.renode)
        .resetJitterMs(config.resetJitterMs)
        .seed(config.seed);
    disk_.setWriteCache(config.writeCache);
    if (flash_) {
        flash_->setGentle(config.gentle);
        flash_->setTimes(config.worstTimes ? FlashTimes::Worst : FlashTimes::Typical);
        flash_->seed(config.seed);
        flash_->powerOn();
    }
    if (config.powerCutMs) faults_.powerCutAtUs(sys::nowUs() + config.powerCutMs * 1000);
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
    chipEraseOp_ = 0xC7;
    paraSet_ = false;
    programOp_ = 0x02;
    version_.clear();
    state_ = BootState::RomCode;

    notReadyUntilMs_ = sys::nowMs() + faults_.notReadyMs();
    BootImage found;
    if (flash_) {
        const auto& b = flash_->bytes();
        const int revision = config_.revision ? *config_.revision : persona_->revision - '0';
        found = chooseBootImage(b.data(), b.size(), *persona_, revision);
    }
    if (found.found) {
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


std::pair<uint16_t, uint16_t> Enclosure::usbIds() const {
    if (state_ != BootState::Firmware && config_.romIds) return *config_.romIds;
    return {persona_->vid, persona_->pid};
}


std::vector<uint8_t> Enclosure::chipInfo() const {
    std::vector<uint8_t> rec(16, 0);
    if (!persona_->chipCode) return rec;   // chips without a record answer without its signature
    if (state_ != BootState::Firmware && config_.romIdNone) return rec;
    const auto [vid, pid] = usbIds();
    rec[0] = 0xF4;
    rec[1] = 0xE7;
    rec[2] = static_cast<uint8_t>(vid >> 8);
    rec[3] = static_cast<uint8_t>(vid);
    rec[4] = static_cast<uint8_t>(pid >> 8);
    rec[5] = static_cast<uint8_t>(pid);
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
    rec[17] = config_.statusByte17;
    rec[18] = persona_->status18;
    rec[19] = running() ? 1 : 0;
    return rec;
}


bool Enclosure::reloadState(std::string& error) {
    EnclosureState s;
    bool exists = false;
    if (!loadStateFile(config_.stateFile, s, exists, error)) return false;
    if (s.model != config_.model || (flash_ ? s.flash.size() != flash_->bytes().size() : !s.flash.empty()))
        return error = "state file " + config_.stateFile + " holds another enclosure", false;
    if (flash_) {
        flash_->bytes() = std::move(s.flash);
        flash_->setKeptStatus(s.flashStatus);
    }
    disk_.blocks() = std::move(s.blocks);
    return true;
}

bool Enclosure::saveState(std::string& error) const {
    if (config_.stateFile.empty()) return true;
    EnclosureState s;
    s.model = config_.model;
    s.flashPart = flash_ ? flash_->part().name : "";
    if (flash_) s.flash = flash_->bytes();
    if (flash_) s.flashStatus = flash_->keptStatus();
    s.sectorSize = disk_.sectorSize();
    s.sectors = disk_.sectors();
    s.blocks = disk_.contents();
    return saveStateFile(config_.stateFile, s, error);
}

}  // namespace sim
