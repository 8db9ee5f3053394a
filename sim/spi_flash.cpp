#include "sim/spi_flash.h"

#include <algorithm>

#include "sys/clock.h"

namespace sim {

namespace {
// A status write takes a few milliseconds on the page-program parts; the SST parts take it at once.
constexpr uint32_t kStatusWriteUs = 5000;
}  // namespace

SpiFlash::SpiFlash(const FlashPart& part) : part_(&part), bytes_(part.size, 0xFF) {}

bool SpiFlash::busy() const { return stuckBusy_ || sys::nowUs() < readyAtUs_; }

uint8_t SpiFlash::status() const {
    uint8_t s = statusBits_;
    if (busy()) s |= kStatusBusy;
    if (aai_ && part_->style != ProgramStyle::Page) s |= 0x40;
    return s;
}

void SpiFlash::occupyUs(uint64_t us) {
    const uint64_t start = std::max(sys::nowUs(), readyAtUs_);
    readyAtUs_ = start + us;
    busyUs_ += us;
}

uint64_t SpiFlash::waitUntilReady() {
    const uint64_t now = sys::nowUs();
    if (stuckBusy_ || readyAtUs_ <= now) return 0;
    sys::sleepUs(readyAtUs_ - now);
    return readyAtUs_ - now;
}

bool SpiFlash::read(uint32_t addr, uint8_t* out, size_t len) const {
    if (addr > bytes_.size() || len > bytes_.size() - addr) return false;
    std::copy_n(bytes_.begin() + addr, len, out);
    return true;
}

bool SpiFlash::writeByte(uint32_t addr, uint8_t value) {
    if (budget_ == 0) {
        cut_ = true;
        return false;
    }
    if (budget_ > 0) --budget_;
    if ((bytes_[addr] & value) != bytes_[addr]) ++changes_;
    bytes_[addr] &= value;
    return true;
}

bool SpiFlash::program(uint32_t addr, const uint8_t* data, size_t len) {
    if (addr > bytes_.size() || len > bytes_.size() - addr) return false;
    for (size_t i = 0; i < len; ++i)
        if (!writeByte(static_cast<uint32_t>(addr + i), data[i])) break;
    const uint32_t page = std::max<uint32_t>(part_->page, 1);
    const uint64_t pages = len == 0 ? 0 : (addr + len - 1) / page - addr / page + 1;
    occupyUs(pages * part_->programUs);
    return true;
}

bool SpiFlash::eraseRange(uint32_t base, uint32_t len) {
    for (uint32_t i = 0; i < len; ++i) {
        if (budget_ == 0) {
            cut_ = true;
            return false;
        }
        if (budget_ > 0) --budget_;
        if (bytes_[base + i] != 0xFF) ++changes_;
        bytes_[base + i] = 0xFF;
    }
    return true;
}

bool SpiFlash::eraseUnitAt(uint32_t addr, uint32_t unit, uint32_t ms) {
    if (unit == 0 || addr >= bytes_.size()) return false;
    const uint32_t base = addr / unit * unit;
    const uint32_t len = std::min<uint32_t>(unit, size() - base);
    eraseRange(base, len);
    occupyUs(uint64_t(ms) * 1000);
    return true;
}

void SpiFlash::eraseChip() {
    eraseRange(0, size());
    occupyUs(uint64_t(part_->chipMs) * 1000);
}

uint8_t SpiFlash::replyByte(uint8_t op, size_t pos, uint32_t addr) const {
    const FlashPart& p = *part_;
    switch (op) {
        case 0x9F: return pos < p.rdid.size() ? p.rdid[pos] : 0xFF;
        case 0x90: return pos < 3 ? 0xFF : p.rems[(pos - 3) % 2];
        case 0xAB: return pos < 3 ? 0xFF : p.res[(pos - 3) % 2];
        case 0x15: return p.id15[pos % 2];
        case 0x05: return status();
        case 0x03:
        case 0x0B: {
            const size_t lead = op == 0x03 ? 3 : 4;   // address, and the fast read's dummy byte
            if (pos < lead) return 0xFF;
            return bytes_[(addr + (pos - lead)) % bytes_.size()];
        }
        default: return 0xFF;
    }
}

void SpiFlash::rawProgramPage(uint32_t addr, const uint8_t* data, size_t len) {
    // The page latch starts blank; bytes past the end of the page wrap to its start, and a later
    // byte for the same position replaces an earlier one, as on the part.
    const uint32_t page = std::max<uint32_t>(part_->page, 1);
    const uint32_t base = addr / page * page;
    std::vector<uint8_t> latch(page, 0xFF);
    std::vector<bool> used(page, false);
    for (size_t i = 0; i < len; ++i) {
        const uint32_t at = static_cast<uint32_t>((addr - base + i) % page);
        latch[at] = data[i];
        used[at] = true;
    }
    for (uint32_t i = 0; i < page && base + i < size(); ++i)
        if (used[i] && !writeByte(base + i, latch[i])) break;
    occupyUs(part_->programUs);
}

void SpiFlash::rawErase(uint8_t op, uint32_t addr) {
    const FlashPart& p = *part_;
    uint32_t unit = 0;
    switch (op) {
        case 0x20:
        case 0xD7: unit = p.sectorErase; break;
        case 0x52: unit = p.halfBlockErase; break;
        case 0xD8: unit = p.blockErase; break;
        default: break;
    }
    if (unit == 0) return;   // the part has no such opcode
    eraseUnitAt(addr, unit, eraseMsOf(p, unit));
}

void SpiFlash::sstProgram(uint8_t op, const std::vector<uint8_t>& mosi) {
    const bool word = op == 0xAD;
    if ((word && part_->style != ProgramStyle::SstWord) || (!word && part_->style != ProgramStyle::SstByte)) return;
    const size_t unit = word ? 2 : 1;
    size_t dataAt;
    if (mosi.size() >= 4) {   // the first cycle carries the start address
        if (!(statusBits_ & kStatusWel)) return;
        aai_ = true;
        aaiAddr_ = (uint32_t(mosi[1]) << 16 | uint32_t(mosi[2]) << 8 | mosi[3]) % size();
        dataAt = 4;
    } else {
        if (!aai_) return;
        dataAt = 1;
    }
    // Each cycle takes one byte (AF) or one word (AD); further clocks are ignored.
    for (size_t i = 0; i < unit && dataAt + i < mosi.size(); ++i) {
        if (!writeByte(aaiAddr_, mosi[dataAt + i])) return;
        aaiAddr_ = (aaiAddr_ + 1) % size();
    }
    occupyUs(part_->programUs);
}

std::vector<uint8_t> SpiFlash::transfer(const std::vector<uint8_t>& mosi, size_t misoLen) {
    std::vector<uint8_t> miso(misoLen, 0xFF);
    if (mosi.empty()) return miso;
    const uint8_t op = mosi[0];
    const uint32_t addr = mosi.size() >= 4 ? (uint32_t(mosi[1]) << 16 | uint32_t(mosi[2]) << 8 | mosi[3]) : 0;
    // Bytes the host sent after the opcode already took part of the reply's clocks.
    const size_t skip = mosi.size() - 1;
    for (size_t i = 0; i < misoLen; ++i) miso[i] = replyByte(op, skip + i, addr % std::max<uint32_t>(size(), 1));

    // While a program or erase runs the part answers only its status; everything else is lost.
    if (busy() && op != 0x05) return miso;
    const bool wel = statusBits_ & kStatusWel;
    switch (op) {
        case 0x06: statusBits_ |= kStatusWel; break;
        case 0x04:
            statusBits_ &= static_cast<uint8_t>(~kStatusWel);
            aai_ = false;
            break;
        case 0x50: statusWriteEnabled_ = true; break;
        case 0x01:
            if ((wel || statusWriteEnabled_) && mosi.size() >= 2) {
                statusBits_ = static_cast<uint8_t>((mosi[1] & (kStatusProtect | kStatusSrwd)));
                statusWriteEnabled_ = false;
                if (part_->style == ProgramStyle::Page) occupyUs(kStatusWriteUs);
            }
            break;
        case 0x02:
            if (wel && mosi.size() > 4 && part_->style == ProgramStyle::Page && !(statusBits_ & kStatusProtect)) {
                rawProgramPage(addr, mosi.data() + 4, mosi.size() - 4);
                statusBits_ &= static_cast<uint8_t>(~kStatusWel);
            }
            break;
        case 0xAD:
        case 0xAF: sstProgram(op, mosi); break;
        case 0x20:
        case 0xD7:
        case 0x52:
        case 0xD8:
            if (wel && mosi.size() >= 4 && !(statusBits_ & kStatusProtect)) {
                rawErase(op, addr);
                statusBits_ &= static_cast<uint8_t>(~kStatusWel);
            }
            break;
        case 0x62:   // the older ATMEL parts' chip erase
            if (part_->flashType != 4) break;
            [[fallthrough]];
        case 0xC7:
        case 0x60:
            if (wel && !(statusBits_ & kStatusProtect)) {
                eraseChip();
                statusBits_ &= static_cast<uint8_t>(~kStatusWel);
            }
            break;
        default: break;
    }
    return miso;
}

}  // namespace sim
