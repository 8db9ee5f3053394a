#include "sim/spi_flash.h"

#include <algorithm>

#include "sys/clock.h"

namespace sim {

namespace {
// A status write takes a few milliseconds on the page-program parts; the SST parts take it at once.
constexpr uint32_t kStatusWriteUs = 5000;
}  // namespace

SpiFlash::SpiFlash(const FlashPart& part) : part_(&part), bytes_(part.size, 0xFF) {}

void SpiFlash::powerOn() {
    statusBits_ &= static_cast<uint8_t>(~kStatusWel);
    statusWriteEnabled_ = false;
    aai_ = false;
    if (!gentle_) statusBits_ |= part_->powerUpProtect;
}

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

void SpiFlash::begin(uint32_t base, uint32_t len, uint64_t us) {
    if (!gentle_) {
        const uint64_t now = sys::nowUs();
        std::erase_if(running_, [now](const Running& r) { return r.endUs <= now; });
        const uint64_t start = std::max(now, readyAtUs_);
        running_.push_back({start, start + us, base, std::vector<uint8_t>(bytes_.begin() + base, bytes_.begin() + base + len)});
    }
    occupyUs(us);
}

uint8_t SpiFlash::byteAt(uint32_t addr) const {
    const uint8_t b = bytes_[addr];
    if (unstable_.empty() || unstable_[addr] == 0) return b;
    return static_cast<uint8_t>(b ^ (rng_() & unstable_[addr]));
}

size_t SpiFlash::unstableBytes() const {
    return static_cast<size_t>(std::count_if(unstable_.begin(), unstable_.end(), [](uint8_t m) { return m != 0; }));
}

bool SpiFlash::read(uint32_t addr, uint8_t* out, size_t len) const {
    if (gentle_) {
        if (addr > bytes_.size() || len > bytes_.size() - addr) return false;
        std::copy_n(bytes_.begin() + addr, len, out);
        return true;
    }
    // A busy part leaves its output undriven: the bridge clocks in FF.
    if (busy()) {
        std::fill_n(out, len, 0xFF);
        return true;
    }
    for (size_t i = 0; i < len; ++i) out[i] = byteAt(static_cast<uint32_t>((addr + i) % size()));
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
    if (!unstable_.empty()) unstable_[addr] &= value;   // a bit programmed to 0 is 0 for good
    return true;
}

void SpiFlash::programPiece(uint32_t addr, const uint8_t* data, size_t len) {
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
    begin(base, std::min<uint32_t>(page, size() - base), programUsOf(*part_, times_));
    for (uint32_t i = 0; i < page && base + i < size(); ++i)
        if (used[i] && !writeByte(base + i, latch[i])) break;
}

bool SpiFlash::program(uint32_t addr, const uint8_t* data, size_t len) {
    if (gentle_) {
        if (addr > bytes_.size() || len > bytes_.size() - addr) return false;
        for (size_t i = 0; i < len; ++i)
            if (!writeByte(static_cast<uint32_t>(addr + i), data[i])) break;
        const uint32_t page = std::max<uint32_t>(part_->page, 1);
        const uint64_t pages = len == 0 ? 0 : (addr + len - 1) / page - addr / page + 1;
        occupyUs(pages * part_->programUs);
        return true;
    }
    if (isProtected()) return true;
    // The bridge sends the data a page's length at a time from where it was told to start; a
    // start inside a page wraps that piece round its page.
    const uint32_t page = std::max<uint32_t>(part_->page, 1);
    for (size_t done = 0; done < len && !cut_; done += page)
        programPiece(static_cast<uint32_t>((addr + done) % size()), data + done, std::min<size_t>(page, len - done));
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
        if (!unstable_.empty()) unstable_[base + i] = 0;
    }
    return true;
}

bool SpiFlash::eraseUnitAt(uint32_t addr, uint32_t unit, uint32_t ms) {
    if (unit == 0 || (gentle_ && addr >= bytes_.size())) return false;
    if (isProtected()) return true;
    addr %= size();
    const uint32_t base = addr / unit * unit;
    const uint32_t len = std::min<uint32_t>(unit, size() - base);
    begin(base, len, uint64_t(ms) * 1000);
    eraseRange(base, len);
    return true;
}

void SpiFlash::eraseChip() {
    if (isProtected()) return;
    begin(0, size(), uint64_t(chipEraseMsOf(*part_, times_)) * 1000);
    eraseRange(0, size());
}

void SpiFlash::eraseByOpcode(uint8_t op, uint32_t addr) {
    const FlashPart& p = *part_;
    switch (op) {
        case 0x20:
        case 0xD7: eraseUnitAt(addr, p.sectorErase, eraseMs(p.sectorErase)); break;
        case 0x52: eraseUnitAt(addr, p.halfBlockErase, eraseMs(p.halfBlockErase)); break;
        case 0xD8: eraseUnitAt(addr, p.blockErase, eraseMs(p.blockErase)); break;
        case 0x62:   // the older ATMEL parts' chip erase
            if (p.flashType == 4) eraseChip();
            break;
        case 0xC7:
        case 0x60: eraseChip(); break;
        default: break;   // the part has no such opcode
    }
}

void SpiFlash::cutPowerAt(uint64_t us) {
    if (gentle_) return;
    // Newest first, so each operation's "before" is the state the next older one left.
    for (auto r = running_.rbegin(); r != running_.rend(); ++r) {
        if (r->endUs <= us) continue;
        uint8_t* now = bytes_.data() + r->base;
        if (r->startUs >= us) {   // never started
            std::copy(r->before.begin(), r->before.end(), now);
            continue;
        }
        // Each bit it was changing either got there or did not; those caught on the way stay
        // unstable.
        if (unstable_.empty()) unstable_.assign(bytes_.size(), 0);
        for (size_t i = 0; i < r->before.size(); ++i) {
            const uint8_t moving = r->before[i] ^ now[i];
            if (!moving) continue;
            const uint8_t arrived = static_cast<uint8_t>(rng_() & moving);
            now[i] = static_cast<uint8_t>((r->before[i] & ~moving) | (now[i] & arrived) | (r->before[i] & moving & ~arrived));
            unstable_[r->base + i] |= static_cast<uint8_t>(moving & ~arrived & rng_());
            ++changes_;
        }
    }
    running_.clear();
    readyAtUs_ = std::min(readyAtUs_, us);
    statusBits_ &= static_cast<uint8_t>(~kStatusWel);
    aai_ = false;
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
            return byteAt(static_cast<uint32_t>((addr + (pos - lead)) % bytes_.size()));
        }
        default: return 0xFF;
    }
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
    eraseUnitAt(addr, unit, eraseMs(unit));
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
    if (isProtected()) return;
    begin(aaiAddr_ / 2 * 2, std::min<uint32_t>(2, size() - aaiAddr_ / 2 * 2), programUsOf(*part_, times_));
    for (size_t i = 0; i < unit && dataAt + i < mosi.size(); ++i) {
        if (!writeByte(aaiAddr_, mosi[dataAt + i])) return;
        aaiAddr_ = (aaiAddr_ + 1) % size();
    }
}

std::vector<uint8_t> SpiFlash::transfer(const std::vector<uint8_t>& mosi, size_t misoLen) {
    std::vector<uint8_t> miso(misoLen, 0xFF);
    if (mosi.empty()) return miso;
    const uint8_t op = mosi[0];
    const uint32_t addr = mosi.size() >= 4 ? (uint32_t(mosi[1]) << 16 | uint32_t(mosi[2]) << 8 | mosi[3]) : 0;
    // Bytes the host sent after the opcode already took part of the reply's clocks.
    const size_t skip = mosi.size() - 1;
    // While a program or erase runs the part answers only its status; everything else is lost
    // (and, gentle, the identification and data replies still come).
    const bool lost = busy() && op != 0x05;
    if (lost && !gentle_) return miso;
    for (size_t i = 0; i < misoLen; ++i) miso[i] = replyByte(op, skip + i, addr % std::max<uint32_t>(size(), 1));
    if (lost) return miso;
    const bool wel = statusBits_ & kStatusWel;
    switch (op) {
        case 0x06: statusBits_ |= kStatusWel; break;
        case 0x04:
            statusBits_ &= static_cast<uint8_t>(~kStatusWel);
            aai_ = false;
            break;
        case 0x50: statusWriteEnabled_ = true; break;
        case 0x01:
            // The byte-programmed SST parts take a status write only after their 50; the others
            // after 50 or the write enable.
            if ((statusWriteEnabled_ || (wel && part_->style != ProgramStyle::SstByte)) && mosi.size() >= 2) {
                statusBits_ = static_cast<uint8_t>((mosi[1] & (kStatusProtect | kStatusSrwd)));
                statusWriteEnabled_ = false;
                if (part_->style == ProgramStyle::Page) occupyUs(kStatusWriteUs);
            }
            break;
        case 0x02:
            if (wel && mosi.size() > 4 && part_->style == ProgramStyle::Page && !(statusBits_ & kStatusProtect)) {
                programPiece(addr % size(), mosi.data() + 4, mosi.size() - 4);
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
                begin(0, size(), uint64_t(chipEraseMsOf(*part_, times_)) * 1000);
                eraseRange(0, size());
                statusBits_ &= static_cast<uint8_t>(~kStatusWel);
            }
            break;
        default: break;
    }
    return miso;
}

}  // namespace sim
