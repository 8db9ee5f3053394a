#include "campaign/model.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace campaign {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t KiB = 1024;
constexpr uint32_t kNvram = 4096;
constexpr uint32_t kBank = 0x10000;            // one bank of the single-bank families
constexpr uint32_t kTwoBankHalf = 0x20000;     // one bank of the QVR29x images
constexpr uint32_t kAddressSpace = 0x1000000;  // 24-bit flash addresses
constexpr uint32_t kProductArea = 0x44000;
constexpr uint32_t kBufferSector = 4096;
constexpr uint8_t kCodeSignature[4] = {0x55, 0xAA, 0xAA, 0x55};

size_t roundUp(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

bool isQvr29x(uint8_t t) { return t >= 15 && t <= 18; }
bool isSingleBank(uint8_t t) { return t == 13 || t == 14 || t == 27; }
bool keepsTwoBanks(uint8_t t) { return t == 13 || t == 27; }
uint32_t codeEnd(uint8_t t) { return t == 27 ? 0x8000 : 0xC000; }
bool startsWithCode(const Bytes& f) { return f.size() >= 4 && std::memcmp(f.data(), kCodeSignature, 4) == 0; }

// --- checksums and stamps, from their definitions -------------------------------------------------

// CRC-16 over whole 32-bit words, polynomial 0x1021, no reflection: each word's bytes 3, 2, 1, 0.
uint16_t crc16Words(const uint8_t* d, size_t length) {
    uint16_t h = 0;
    for (size_t w = 0; w + 4 <= length; w += 4)
        for (int k = 3; k >= 0; --k) {
            h ^= static_cast<uint16_t>(d[w + k] << 8);
            for (int bit = 0; bit < 8; ++bit) h = static_cast<uint16_t>(h & 0x8000 ? (h << 1) ^ 0x1021 : h << 1);
        }
    return h;
}

// The bank CRC-32: groups of four bytes fed last byte first, each least significant bit first,
// into a shift register that starts all ones; no final inversion.
uint32_t bankCrc32(const uint8_t* d, size_t length) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t g = 0; g + 4 <= length; g += 4)
        for (int k = 3; k >= 0; --k)
            for (int i = 0; i < 8; ++i) {
                const uint32_t bit = (d[g + k] >> i) & 1u, top = c >> 31;
                c <<= 1;
                if (bit != top) c ^= 0x04C11DB7u;
            }
    return c;
}

void stampBanks(Bytes& image) {
    for (size_t base : {size_t{0}, size_t{kTwoBankHalf}}) {
        uint8_t* b = image.data() + base;
        const uint8_t sig[4] = {0x5A, 0xC3, 0x69, 0xE1};
        std::memcpy(b + 0x200, sig, 4);
        std::memset(b + 0x204, 0, 4);
        std::memcpy(b + 0x208, b + kTwoBankHalf - 4, 4);
        const uint32_t c = bankCrc32(b, 1020);
        for (int i = 0; i < 4; ++i) b[0x3FC + i] = static_cast<uint8_t>(c >> (24 - 8 * i));
    }
}

void stampRegionCrc(Bytes& image, uint32_t end) {
    const uint16_t c = crc16Words(image.data(), end - 4);
    image[end - 2] = static_cast<uint8_t>(c >> 8);
    image[end - 1] = static_cast<uint8_t>(c);
}

// The file's bytes at the start of a zeroed image of `length` bytes (at least the file's).
Bytes padded(const Bytes& f, size_t length) {
    Bytes image(std::max(length, f.size()), 0);
    std::copy(f.begin(), f.end(), image.begin());
    return image;
}

bool inSignatureArea(size_t i) { return (i >= 0x200 && i < 0x400) || (i >= 0x20200 && i < 0x20400); }

bool equalOutsideSignatures(const uint8_t* a, const uint8_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i] && !inSignatureArea(i)) return false;
    return true;
}

// The file carries its own 4 KiB NVRAM ahead of its code: no signature at 0, the code's block at
// 4096 naming the chip (for the QVD523 also its own block at 128).
bool fileCarriesNvram(const Bytes& f, uint8_t chipType, const std::string& code) {
    if (startsWithCode(f)) return false;
    const auto names = [&](size_t at, const uint8_t* head, size_t headLen) {
        return f.size() >= at + 10 && std::memcmp(f.data() + at, head, headLen) == 0 &&
               std::memcmp(f.data() + at + 4, code.data(), 3) == 0;
    };
    const uint8_t qvd523[4] = {0xE9, 0xAC, 0x67, 0x32};
    return names(4096, kCodeSignature, 4) || (chipType == 11 && names(128, qvd523, 4));
}

// --- the hardware ---------------------------------------------------------------------------------

// The flash beside the bridge and what the bridge does to it for each command the procedures use.
class Device {
public:
    Device(const ModelInput& in, const Store& s) : in_(in), flash_(s.flash), disk_(s.disk) {
        if (in.part) byMode_ = sim::eraseUnitsOfType(in.part->flashType);
    }

    Bytes& flash() { return flash_; }
    Store store() const { return {flash_, disk_}; }
    std::map<uint64_t, Bytes>& disk() { return disk_; }
    uint32_t size() const { return static_cast<uint32_t>(flash_.size()); }
    bool fits(uint64_t at, uint64_t len) const { return at <= size() && len <= size() - at; }

    void eraseUnit(uint32_t at, uint32_t unit) {
        if (unit == 0 || at >= size()) return;
        const uint32_t base = at / unit * unit;
        std::fill_n(flash_.begin() + base, std::min(unit, size() - base), 0xFF);
    }
    void eraseChip() {
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        bufferErased_.clear();
    }
    // NOR programming: only bits that are 1 can become 0.
    bool program(uint32_t at, const uint8_t* data, size_t len) {
        if (!fits(at, len)) return false;
        for (size_t i = 0; i < len; ++i) flash_[at + i] &= data[i];
        return true;
    }
    bool read(uint32_t at, uint8_t* out, size_t len) const {
        if (!fits(at, len)) return false;
        std::copy_n(flash_.begin() + at, len, out);
        return true;
    }
    // What a procedure reads to keep: a bridge without the stretch in its flash gives back FF.
    Bytes copyOf(uint32_t at, uint32_t len) const {
        Bytes out(len, 0xFF);
        if (fits(at, len)) std::copy_n(flash_.begin() + at, len, out.begin());
        return out;
    }
    bool erased(uint32_t at, size_t len) const {
        return fits(at, len) && std::all_of(flash_.begin() + at, flash_.begin() + at + len, [](uint8_t b) { return b == 0xFF; });
    }

    // The direct write (DF ... FB): range first, then the erase its mode asks for in the units the
    // bridge applies for its flash's type (the 1394 bridge's erase flag in its own unit), then
    // the data.
    bool directWrite(uint32_t at, const uint8_t* data, size_t len, uint8_t mode) {
        if (!in_.part || !fits(at, len)) return false;
        const uint8_t m = mode & 7;
        if (in_.persona->directFlagEraseUnit && m == 1) eraseUnit(at, in_.persona->directFlagEraseUnit);
        else if (m == 1 || m == 4) eraseUnit(at, byMode_.sector);
        else if (m == 2 || m == 5) eraseUnit(at, byMode_.block);
        else if (m == 3 || m == 6 || m == 7) eraseChip();
        return len == 0 || program(at, data, len);
    }
    // The bridge's unit erase (FF 04 14) takes the part's unit for the erase opcode it holds.
    bool unitErase(uint32_t at) {
        if (!in_.part || at >= size()) return false;
        const sim::FlashPart& p = *in_.part;
        const uint8_t op = in_.persona->sectorEraseOp;
        uint32_t unit = op == 0x20 || op == 0xD7 ? p.sectorErase : op == 0x52 ? p.halfBlockErase : op == 0xD8 ? p.blockErase : 0;
        if (unit == 0) unit = p.blockErase ? p.blockErase : p.halfBlockErase ? p.halfBlockErase : p.sectorErase;
        eraseUnit(at, unit);
        return true;
    }

    // Programming through the chip's buffer: each 4 KiB sector is erased the first time data
    // reaches it since the chip started or was last erased whole.
    bool bufferProgram(uint32_t at, const uint8_t* data, size_t len, uint32_t capacity) {
        if (at % kBufferSector || at > capacity || len > capacity - at || !fits(at, len)) return false;
        for (uint32_t s = at / kBufferSector; len > 0 && s <= (at + len - 1) / kBufferSector; ++s)
            if (bufferErased_.insert(s).second) eraseUnit(s * kBufferSector, kBufferSector);
        return program(at, data, len);
    }
    // The product record: its 4 KiB area erased, the record at its start.
    bool productRecord(const Bytes& record) {
        if (size() < kProductArea + kBufferSector) return false;
        eraseUnit(kProductArea, kBufferSector);
        bufferErased_.insert(kProductArea / kBufferSector);
        return program(kProductArea, record.data(), record.size());
    }

private:
    const ModelInput& in_;
    Bytes flash_;
    std::map<uint64_t, Bytes> disk_;
    sim::EraseUnits byMode_{0, 0};
    std::set<uint32_t> bufferErased_;
};

// --- outcomes ---------------------------------------------------------------------------------------

struct Outcome {
    Expect e;
    explicit Outcome(const ModelInput& in) { e.after = in.before; }
    Expect refuse(const char* why) {
        e.verdict = Verdict::Refuse;
        e.why = why;
        return e;
    }
    // A failure that never reached the flash is judged as a refusal: nothing may have changed.
    Expect fail(const Device& d, const char* why) {
        e.verdict = d.store() == e.after ? Verdict::Refuse : Verdict::Fail;
        e.after = d.store();
        e.why = why;
        return e;
    }
    Expect success(const Device& d) {
        e.verdict = Verdict::Success;
        e.after = d.store();
        return e;
    }
};

bool flashKnown(const ModelInput& in) { return in.flashType != 0 || in.amicModel != -1 || in.atmelModel != -1; }

// The size a file's extent is checked against before anything is erased: identification's, or,
// for the chips whose identification leaves it at its default, what the flash's reply says.
uint64_t sizeLimit(const ModelInput& in, uint64_t needed) {
    const uint64_t known = uint64_t{in.knownKiB} * KiB;
    const bool measured = isQvr29x(in.chipType) || isSingleBank(in.chipType);
    if (needed <= known || measured) return known;
    return uint64_t{in.probedKiB} * KiB;
}

// --- the direct writes -----------------------------------------------------------------------------

struct Counters {
    uint32_t block = 0, sector = 0;
};

// Erase as you go: at most 4 KiB at address 0, 8 KiB elsewhere; a chunk that starts past the
// units erased so far erases the unit it starts in, and no chunk runs past the units erased.
// Restates a procedure's decision (the check decides): the counter moves to the unit that holds the chunk, not one unit on (a chunk could run
// back over the units already written). The QVR29x bridges take the erase as a command of its
// own. The length is whole 512-byte units, zeros after the caller's bytes.
bool writeAsYouGo(Device& d, uint32_t start, const uint8_t* data, size_t length, uint8_t mode, sim::EraseUnits units,
                  Counters& c, bool separateErase) {
    const size_t total = roundUp(length, 512);
    Bytes buf(total, 0);
    if (length > 0 && length <= total) std::memcpy(buf.data(), data, length);
    const auto asYouGo = [](uint32_t at, uint32_t unit, uint32_t& counter, uint32_t& chunk, uint8_t m) -> uint8_t {
        uint8_t erase = 0;
        if (uint64_t{at} >= uint64_t{unit} * counter) {
            counter = at / unit + 1;
            erase = m & 7;
        }
        const uint64_t boundary = uint64_t{unit} * counter;
        if (at + uint64_t{chunk} > boundary) chunk = static_cast<uint32_t>(boundary - at);
        return erase;
    };
    for (size_t pos = 0; pos < total;) {
        const uint32_t at = start + static_cast<uint32_t>(pos);
        uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(8192, total - pos));
        if (at == 0) chunk = std::min<uint32_t>(chunk, 4096);
        uint8_t erase = 0;
        if (mode == 1 || mode == 4) erase = asYouGo(at, units.sector, c.sector, chunk, mode);
        else if (mode == 2 || mode == 5) erase = asYouGo(at, units.block, c.block, chunk, mode);
        else if (mode == 3 || mode == 6 || mode == 7) erase = at == 0 ? mode & 7 : 0;
        bool ok;
        if (separateErase && erase >= 1 && erase <= 3)
            ok = d.directWrite(at, nullptr, 0, erase) && d.directWrite(at, buf.data() + pos, chunk, 0);
        else
            ok = d.directWrite(at, buf.data() + pos, chunk, erase);
        if (!ok) return false;
        pos += chunk;
    }
    return true;
}

bool readsBack(const Device& d, uint32_t at, const uint8_t* expected, size_t len) {
    Bytes got(len);
    return d.read(at, got.data(), len) && std::memcmp(got.data(), expected, len) == 0;
}

// The chip's bank check: the code's signature block names the chip, the region CRC-16 holds.
bool bankValid(const uint8_t* bank, uint8_t t) {
    const uint32_t e = codeEnd(t);
    const char* code = t == 13 ? "256" : t == 27 ? "253" : "296";
    if (std::memcmp(bank + e - 16, kCodeSignature, 4) != 0 || std::memcmp(bank + e - 12, code, 3) != 0) return false;
    return crc16Words(bank, e - 4) == (uint16_t(bank[e - 2]) << 8 | bank[e - 1]);
}

// The window's look at both banks of a QVR256 or QVR253 when the device is selected: exactly one
// valid bank is copied over the other.
void bankRecovery(const ModelInput& in, Device& d, Expect& e) {
    if (!keepsTwoBanks(in.chipType) || in.knownKiB <= 127 || d.size() < 2 * kBank) return;
    const bool v0 = bankValid(d.flash().data(), in.chipType), v1 = bankValid(d.flash().data() + kBank, in.chipType);
    if (v0 == v1) return;
    const uint32_t target = v0 ? kBank : 0;
    const Bytes good(d.flash().begin() + (v0 ? 0 : kBank), d.flash().begin() + (v0 ? kBank : 2 * kBank));
    const sim::EraseUnits units = sim::eraseUnitsOfType(in.flashType);
    Counters c{target / units.block, target / units.sector};
    for (uint8_t mode : {2, 1})
        if (writeAsYouGo(d, target, good.data(), kBank, mode, units, c, false) && readsBack(d, target, good.data(), kBank))
            break;
    e.recovered = true;
}

Expect direct(const ModelInput& in) {
    Outcome out(in);
    Device d(in, in.before);
    bankRecovery(in, d, out.e);
    out.e.afterSelection = d.store();
    const uint8_t t = in.chipType;
    const bool qvr29x = isQvr29x(t), single = isSingleBank(t);
    const Bytes& f = in.file;
    const size_t s = f.size();
    if (s == 0) return out.refuse("no firmware in the file");

    const uint32_t n = t == 13 || t == 14 ? 0xC000 : t == 27 ? 0x8000 : 0;
    // Restates the procedure's keep and compare-length decisions (the check decides what is kept).
    const bool codeOnly = !qvr29x && !single && startsWithCode(f);
    // A file that ends before the NVRAM's end carries none, whatever the box says.
    const bool carriesNone = single ? s < n + kNvram : s < kNvram;
    const bool keep = !qvr29x && (!in.includeNvram || codeOnly || carriesNone);
    const Bytes kept = d.copyOf(n, kNvram);
    const Bytes productArea = d.copyOf(kProductArea, kBufferSector);
    if (keep && d.size() > 0) {
        out.e.kept.push_back({n, kNvram, "NVRAM"});
        if (keepsTwoBanks(t) && in.knownKiB > 127) out.e.kept.push_back({kBank + n, kNvram, "NVRAM copy"});
    }

    size_t c = roundUp(codeOnly ? kNvram + s : s, 256);
    const uint64_t known = uint64_t{in.knownKiB} * KiB;
    // Restates a procedure's decision (the check decides): bytes are measured too, not only whole KiB (the last page of a file a few bytes over
    // would go past the flash's end).
    if (qvr29x && (c / KiB > in.knownKiB || c > known)) return out.refuse("the file is larger than the flash");

    Bytes image(std::max<size_t>({roundUp(c, 8192), 2 * kTwoBankHalf, roundUp(s, 8192)}), 0);
    if (qvr29x) {
        std::copy(f.begin(), f.end(), image.begin());
        // Restates a procedure's decision (the check decides): a one-bank file is doubled only where the flash has room for the second bank.
        if (s == kTwoBankHalf && known >= 2 * kTwoBankHalf) {
            std::copy(f.begin(), f.end(), image.begin() + kTwoBankHalf);
            c = 2 * kTwoBankHalf;
        }
    } else if (!keep) {
        std::copy(f.begin(), f.end(), image.begin());
    } else if (single) {
        std::copy(f.begin(), f.end(), image.begin());
        std::copy(kept.begin(), kept.end(), image.begin() + n);
        // Restates a procedure's decision (the check decides): a file with both banks writes the second from its own half, which gets the
        // chip's NVRAM as well (written as the file's, the second bank's copy would be lost).
        if (keepsTwoBanks(t) && s >= 2 * kBank) std::copy(kept.begin(), kept.end(), image.begin() + kBank + n);
    } else if (codeOnly) {
        // Restates a procedure's decision (the check decides): a file that starts with its code goes behind the kept NVRAM.
        std::copy(kept.begin(), kept.end(), image.begin());
        std::copy(f.begin(), f.end(), image.begin() + kNvram);
    } else {
        std::copy(kept.begin(), kept.end(), image.begin());
        if (s > kNvram) std::copy(f.begin() + kNvram, f.end(), image.begin() + kNvram);
    }

    int passes = 1;
    if (t == 14 && s <= kBank) stampRegionCrc(image, 0xC000);
    if (keepsTwoBanks(t)) {
        if (s <= kBank) stampRegionCrc(image, codeEnd(t));
        if (in.knownKiB > 127) passes = 2;
        c = std::min<size_t>(c, kBank);
    }
    // Restates a procedure's decision (the check decides): the kept NVRAM is written with the code, also when the file ends before it.
    if (keep) c = std::max<size_t>(c, n + kNvram);
    // Restates a procedure's decision (the check decides): everything written must fit the flash before anything is erased.
    if (!qvr29x) {
        const uint64_t extent = (passes > 1 ? kBank : 0) + roundUp(c, 512);
        if (extent > sizeLimit(in, extent)) return out.refuse("the file does not fit the flash");
    }
    if (qvr29x) stampBanks(image);

    const sim::EraseUnits units = sim::eraseUnitsOfType(in.flashType);
    Counters counters;
    if (in.flashType == 5) {   // MXIC: the first unit erased ahead
        if (qvr29x) d.directWrite(0, nullptr, 0, 2);
        else writeAsYouGo(d, 0, image.data(), kNvram, 2, units, counters, false);
    }
    const uint8_t modes[3] = {static_cast<uint8_t>(in.flashType == 7 ? 3 : 2), 1, 3};
    for (int pass = 0; pass < passes; ++pass) {
        const uint32_t bank = pass == 0 ? 0 : kBank;
        if (pass > 0) {
            counters = {kBank / units.block, kBank / units.sector};
            if (s >= 2 * kBank) std::copy_n(image.begin() + kBank, kBank, image.begin());
        }
        bool passed = false;
        for (uint8_t mode : modes) {
            if (writeAsYouGo(d, bank, image.data(), c, mode, units, counters, qvr29x) && readsBack(d, bank, image.data(), c)) {
                passed = true;
                break;
            }
        }
        if (!passed) return out.fail(d, "three attempts failed");
    }
    // Restates a procedure's decision (the check decides): a chip erase took the QVR29x product area, it goes back.
    if (qvr29x && c <= kProductArea && known >= kProductArea + kBufferSector &&
        d.copyOf(kProductArea, kBufferSector) != productArea) {
        d.eraseUnit(kProductArea, kBufferSector);
        d.program(kProductArea, productArea.data(), kBufferSector);
    }
    return out.success(d);
}

// --- the buffer path ------------------------------------------------------------------------------

// The QVR29x chip as the buffer commands see it: what it runs, and the flash it programs itself.
struct BufferChip {
    sim::BootState state;
    uint8_t romVariant;
    uint32_t capacity(const Device& d) const {
        return state == sim::BootState::RomCode ? 0x10000 : std::min<uint32_t>(d.size(), 0x80000);
    }
    bool mfgFromRam() const { return state == sim::BootState::ManufacturingRam && romVariant == 0; }
};

// The manufacturing images the program carries: for ROM variant 0 the QVR297's and the QVR298's,
// for variant 1 also the QVR295's and the QVR292's.
bool carriesMfgImage(const std::string& code, uint8_t romVariant) {
    if (code == "297" || code == "298") return romVariant <= 1;
    return romVariant == 1 && (code == "295" || code == "292");
}

Bytes productRecordFor(const ModelInput& in) {
    Bytes r(72, 0);
    r[0] = 0x42;
    std::memset(r.data() + 52, ' ', 20);
    std::memcpy(r.data() + 52, in.serialNum.data(), std::min<size_t>(in.serialNum.size(), 20));
    return r;
}

// DownloadViaBuffer: false when the chip refuses or programming fails; `wrote` tells whether
// anything reached the flash.
bool downloadViaBuffer(const ModelInput& in, Device& d, BufferChip& chip, const Bytes& image, size_t length, bool download) {
    Bytes staged(std::max<size_t>(0x80000, roundUp(length, 8192)), 0);
    const auto stage = [&] {
        std::fill(staged.begin(), staged.end(), 0);
        std::copy_n(image.begin(), std::min(image.size(), staged.size()), staged.begin());
    };
    // After a chip erase under the manufacturing code: the chip must be the image's, the product
    // record goes in, and its area is read back into the staged image.
    const auto afterChipErase = [&] {
        if (image.size() < 24 || std::memcmp(image.data() + 21, in.chipCode.data(), 3) != 0) return false;
        stage();
        if (!in.productSn) return true;
        if (!d.productRecord(productRecordFor(in))) return false;
        const uint32_t window = std::max<uint32_t>(chip.capacity(d), 0x40000);
        if (kProductArea + kBufferSector > window) return false;
        return d.read(kProductArea, staged.data() + kProductArea, kBufferSector);
    };
    const auto programFlash = [&] {
        for (size_t pos = 0; pos < length; pos += kBufferSector)
            if (!d.bufferProgram(static_cast<uint32_t>(pos), staged.data() + pos, std::min<size_t>(kBufferSector, length - pos),
                                 chip.capacity(d)))
                return false;
        return true;
    };
    if (!download) {
        if (chip.state == sim::BootState::RomCode) return false;
        if (chip.mfgFromRam()) {
            d.eraseChip();
            // Restates a procedure's decision (the check decides): the product record goes in again after this erase, as after the download's.
            if (!afterChipErase()) return false;
        } else {
            stage();
        }
        return programFlash();
    }
    if (chip.state != sim::BootState::RomCode || !carriesMfgImage(in.chipCode, chip.romVariant)) return false;
    chip.state = sim::BootState::ManufacturingRam;
    for (int attempt = 0; attempt < 3; ++attempt) {
        d.eraseChip();
        if (!afterChipErase()) return false;
        if (programFlash()) return true;
    }
    return false;
}

// ReadFlashViaBuffer: the capacity, or 256 KiB from the manufacturing code in RAM (addresses past
// a smaller flash wrap round); `length` bytes out, zeros past what was read.
bool readViaBuffer(const Device& d, const BufferChip& chip, Bytes& out, size_t length) {
    if (chip.state == sim::BootState::RomCode) return false;
    const size_t total = chip.mfgFromRam() ? 0x40000 : chip.capacity(d);
    out.assign(std::max(total, length), 0);
    const Bytes& f = const_cast<Device&>(d).flash();
    for (size_t i = 0; i < total; ++i) out[i] = f[i % f.size()];
    out.resize(length);
    return true;
}

Expect buffer(const ModelInput& in) {
    Outcome out(in);
    Device d(in, in.before);
    out.e.afterSelection = d.store();
    const Bytes& f = in.file;
    if (f.empty()) return out.refuse("no firmware in the file");
    size_t c = roundUp(f.size(), 256);
    const uint64_t known = uint64_t{in.knownKiB} * KiB;
    if (c / KiB > in.knownKiB || c > known) return out.refuse("the file is larger than the flash");
    const size_t l = std::max<size_t>({roundUp(known, 8192), 2 * kTwoBankHalf, roundUp(c, 8192)});
    Bytes image = padded(f, l);
    if (f.size() == kTwoBankHalf && known >= 2 * kTwoBankHalf) {
        std::copy(f.begin(), f.end(), image.begin() + kTwoBankHalf);
        c = 2 * kTwoBankHalf;
    }
    BufferChip chip{in.boot, in.persona->romVariant};
    // Restates a procedure's decision (the check decides): each run downloads the manufacturing code only while the ROM loader waits for it
    // (read as written, every run after the first, and a running chip, fail at the boundary).
    const bool download = chip.state != sim::BootState::ManufacturingFlash;
    if (download) stampBanks(image);
    const size_t compared = download ? c : kTwoBankHalf;
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool failed = false;
        for (int run = 0; run < 2 && !failed; ++run) {
            const bool downloadNow = download && chip.state == sim::BootState::RomCode;
            Bytes back;
            if (!downloadViaBuffer(in, d, chip, image, c, downloadNow)) failed = true;
            else if (!readViaBuffer(d, chip, back, l)) failed = true;
            else if (!equalOutsideSignatures(image.data(), back.data(), compared)) failed = true;
        }
        if (!failed) return out.success(d);
    }
    return out.fail(d, "the read-back never compared");
}

Expect oneButton(const ModelInput& in) {
    Outcome out(in);
    Device d(in, in.before);
    const Bytes& f = in.file;
    if (f.empty() || f.size() > 0x80000) return out.refuse("no embedded image");
    const size_t c = roundUp(f.size(), 256);
    const uint64_t flashBytes = uint64_t{in.knownKiB} * KiB;
    if (c > flashBytes) return out.refuse("the image is larger than the flash");
    const size_t l = std::min<size_t>(roundUp(flashBytes, 8192), kAddressSpace);
    const Bytes image = padded(f, l);
    BufferChip chip{in.boot, in.persona->romVariant};
    if (chip.state == sim::BootState::RomCode) return out.refuse("the ROM loader takes no image this way");
    if (!downloadViaBuffer(in, d, chip, image, c, false)) return out.fail(d, "programming failed");
    Bytes back;
    if (!readViaBuffer(d, chip, back, l)) return out.fail(d, "read-back failed");
    // Restates a procedure's decision (the check decides): everything programmed is compared, not the first bank alone.
    if (!equalOutsideSignatures(image.data(), back.data(), std::min<size_t>(std::max<size_t>(kTwoBankHalf, c), l)))
        return out.fail(d, "the read-back does not compare");
    return out.success(d);
}

Expect mac298(const ModelInput& in) {
    Outcome out(in);
    Device d(in, in.before);
    const Bytes& f = in.file;
    if (f.empty() || f.size() > 0x80000) return out.refuse("no bundle image");
    BufferChip chip{in.boot, in.persona->romVariant};
    if (chip.state == sim::BootState::RomCode) return out.refuse("the ROM loader takes no image this way");
    Bytes image = padded(f, 0x80000);
    // Restates a procedure's decision (the check decides): the product area goes into the zeros behind a shorter image.
    const uint32_t areaEnd = kProductArea + kBufferSector;
    if (f.size() < areaEnd && chip.capacity(d) >= areaEnd) {
        const size_t from = std::max<size_t>(f.size(), kProductArea);
        const Bytes area = d.copyOf(kProductArea, kBufferSector);
        std::copy(area.begin() + (from - kProductArea), area.end(), image.begin() + from);
    }
    if (chip.mfgFromRam()) d.eraseChip();
    // The capacity is programmed, from the image and the zeros behind it.
    const uint32_t total = static_cast<uint32_t>(roundUp(chip.capacity(d), 512));
    for (uint32_t pos = 0; pos < total; pos += kBufferSector)
        if (!d.bufferProgram(pos, image.data() + pos, std::min<uint32_t>(kBufferSector, total - pos), chip.capacity(d)))
            return out.fail(d, "programming failed");
    // Restates a procedure's decision (the check decides): the whole image is compared when it is longer than the first bank.
    const size_t compared = std::max<size_t>(kTwoBankHalf, f.size());
    Bytes back;
    readViaBuffer(d, chip, back, compared);
    if (!equalOutsideSignatures(image.data(), back.data(), compared)) return out.fail(d, "the read-back does not compare");
    return out.success(d);
}

Expect mac529(const ModelInput& in) {
    Outcome out(in);
    Device d(in, in.before);
    const Bytes& f = in.file;
    if (f.empty()) return out.refuse("no bundle image");
    // Restates a procedure's decision (the check decides): an image that does not reach past the kept bytes cannot carry them back.
    if (f.size() < 0xC000 + kNvram) return out.refuse("the image does not reach the NVRAM's end");
    // The image's signature block (16 bytes before its NVRAM) names the one chip it boots on.
    if (std::memcmp(f.data() + 0xBFF4, in.chipCode.data(), 3) != 0) return out.refuse("the image names another chip");
    out.e.kept.push_back({0xC000, 256, "NVRAM bytes at 0xC000"});
    Bytes image = f;
    const Bytes kept = d.copyOf(0xC000, 256);
    std::copy(kept.begin(), kept.end(), image.begin() + 0xC000);
    // The macOS routines plan with the units of the types they know, each write from a fresh count.
    const sim::EraseUnits units = sim::eraseUnitsOfType(in.flashType < 12 ? in.flashType : 0);
    if (in.flashType == 5) {
        Counters c;
        writeAsYouGo(d, 0, image.data(), std::min<size_t>(image.size(), kNvram), 2, units, c, false);
    }
    for (uint8_t mode : {2, 3, 1}) {
        Counters c;
        if (writeAsYouGo(d, 0, image.data(), image.size(), mode, units, c, false) &&
            readsBack(d, 0, image.data(), image.size()))
            return out.success(d);
    }
    return out.fail(d, "three attempts failed");
}

// --- the serial-flash procedures (32 KiB units, 16 KiB pages, the NVRAM carried) --------------------

struct PagePlan {
    size_t fileStart = 0;
    bool keep = false;
    uint32_t total = 0;
};

bool eraseAndProgram(Device& d, const Bytes& file, const PagePlan& plan, Bytes& kept) {
    constexpr uint32_t kUnit = 32768, kPage = 16384;
    const uint32_t units = (plan.total + kUnit - 1) / kUnit;
    for (uint32_t u = 0; u < units; ++u) {
        if (!d.unitErase(u * kUnit)) return false;
        if (!d.erased(u * kUnit, kUnit)) return false;
    }
    const uint64_t erasedEnd = uint64_t{units} * kUnit;
    size_t pos = plan.fileStart;
    uint32_t at = 0;
    Bytes scratch(kPage), page(kPage);
    while (pos < file.size()) {
        const size_t got = std::min<size_t>(kPage, file.size() - pos);
        if (at + uint64_t{kPage} > erasedEnd) return false;
        std::fill(scratch.begin(), scratch.end(), 0);
        std::copy_n(file.begin() + pos, got, scratch.begin());
        pos += got;
        if (plan.keep) {
            std::copy(kept.begin(), kept.end(), page.begin());
            std::copy_n(scratch.begin(), kPage - kNvram, page.begin() + kNvram);
        } else {
            page = scratch;
        }
        if (!d.program(at, page.data(), kPage) || !readsBack(d, at, page.data(), kPage)) return false;
        if (plan.keep) std::copy_n(scratch.begin() + (kPage - kNvram), kNvram, kept.begin());
        at += kPage;
    }
    if (plan.keep && at != plan.total) {
        if (at + uint64_t{kNvram} > erasedEnd) return false;
        if (!d.program(at, kept.data(), kNvram) || !readsBack(d, at, kept.data(), kNvram)) return false;
    }
    return true;
}

// Restates a procedure's decision (the check decides): after a failed run that had erased the NVRAM's unit, the chip's NVRAM goes back.
bool programKeepingNvram(Device& d, const Bytes& file, const PagePlan& plan, Bytes kept) {
    const Bytes original = kept;
    if (eraseAndProgram(d, file, plan, kept)) return true;
    if (plan.keep && d.erased(0, kNvram)) d.program(0, original.data(), kNvram);
    return false;
}

uint32_t totalFor(size_t fileSize, bool addNvram) {
    return static_cast<uint32_t>(roundUp(std::max<size_t>(fileSize + (addNvram ? kNvram : 0), 16384), 16384));
}

Expect series528(const ModelInput& in, bool spiWrite) {
    Outcome out(in);
    Device d(in, in.before);
    if (!flashKnown(in)) return out.refuse("an unknown flash is not erased by its opcode");
    const uint8_t t = in.chipType;
    const Bytes& f = in.file;
    const bool include = spiWrite || in.includeNvram;
    // Restates a procedure's decision (the check decides): a file that starts with its code carries no NVRAM, whatever its chip.
    const bool forced = (t >= 12 && t <= 18) || t == 27;
    // Restates the procedure's keep decision (the check decides what is kept).
    const bool carries = (forced && !startsWithCode(f)) || fileCarriesNvram(f, t, in.chipCode);
    const bool keep = !(carries && include && f.size() >= kNvram);
    Bytes kept = d.copyOf(0, kNvram);
    if (keep) out.e.kept.push_back({0, kNvram, "NVRAM"});
    PagePlan plan;
    plan.fileStart = carries && keep ? kNvram : 0;
    plan.keep = keep;
    if (f.size() <= plan.fileStart) return out.refuse("no firmware past the NVRAM");
    // The window's choice for the QVD523 already measures the file against the flash it knows.
    if (t == 11 && f.size() > uint64_t{in.knownKiB} * KiB) return out.refuse("the file is bigger than the flash it knows");
    if (f.size() + (carries ? 0 : kNvram) > kAddressSpace) return out.refuse("the file is larger than any flash");
    plan.total = totalFor(f.size(), !carries);
    if (plan.total > sizeLimit(in, plan.total)) return out.refuse("the file does not fit the flash");
    if (keep && carries && t == 11 && f.size() >= 208) std::copy_n(f.begin() + 128, 80, kept.begin() + 128);
    if (spiWrite && t == 11 && in.flashType == 2) d.eraseChip();
    if (!programKeepingNvram(d, f, plan, kept)) return out.fail(d, "a unit or a page failed");
    return out.success(d);
}

Expect mac528(const ModelInput& in) {
    Outcome out(in);
    Device d(in, in.before);
    const Bytes& f = in.file;
    if (f.empty()) return out.refuse("no bundle image");
    Bytes kept = d.copyOf(0, kNvram);
    // Restates the thread's keep decision (the check decides what is kept).
    const bool codeOnly = startsWithCode(f);
    const bool keep = codeOnly || f.size() < kNvram || (kept[126] == 'Q' && kept[127] == 'V');
    if (in.flashType == 0) return out.refuse("an unknown flash is not erased by its opcode");
    if (keep) out.e.kept.push_back({0, kNvram, "NVRAM"});
    PagePlan plan;
    plan.fileStart = keep && !codeOnly ? kNvram : 0;
    plan.keep = keep;
    if (f.size() <= plan.fileStart) return out.refuse("no firmware past the NVRAM");
    if (in.chipType == 11 && !codeOnly && f.size() >= 208) std::copy_n(f.begin() + 128, 80, kept.begin() + 128);
    if (keep && in.chipType == 11) out.e.kept = {{0, 128, "NVRAM"}, {208, kNvram - 208, "NVRAM"}};
    plan.total = totalFor(f.size(), codeOnly);
    if (!programKeepingNvram(d, f, plan, kept)) return out.fail(d, "a unit or a page failed");
    return out.success(d);
}

// --- the legacy bridges, the QVD525 on 1394, the QVR294, the disk ----------------------------------

Expect legacy(const ModelInput& in) {
    Outcome out(in);
    Device d(in, in.before);
    if (!flashKnown(in)) return out.refuse("an unknown flash is not erased by its opcode");
    const Bytes& f = in.file;
    if (f.empty()) return out.refuse("no firmware in the file");
    // Restates a procedure's decision (the check decides): a file that starts with its code would leave the chip on its ROM code.
    if (startsWithCode(f)) return out.refuse("the file has no NVRAM in front of its code");
    const size_t length = roundUp(std::max<size_t>(f.size(), 0x8000), 8192);
    if (length > kAddressSpace) return out.refuse("the file is larger than any flash");
    if (length > sizeLimit(in, length)) return out.refuse("the file does not fit the flash");
    const bool restore = f.size() <= 0x8000;
    const Bytes settings = d.copyOf(0x8000, 512);
    if (restore) out.e.kept.push_back({0x8000, 512, "settings bytes"});
    const int amic = in.amicModel;

    // The bridge holds its erase until the flash is done with the unit. Restates a procedure's decision (the check decides): a readiness wait
    // follows every erase, the chip erase's too (500 ms, then at most 500 polls 10 ms apart).
    if (f.size() > 65536) {
        d.eraseChip();
        if (in.part->chipMs > 5500) return out.fail(d, "the chip erase outlasts the readiness wait");
    } else if (amic == 1 || amic == 3 || amic == 5) {
        for (uint32_t at : {0x0000u, 0x1000u, 0x3000u, 0x7000u}) d.unitErase(at);
        if (f.size() > 32768) d.unitErase(0xF000);
    } else {
        d.unitErase(0);
        if (f.size() > 0x8000) d.unitErase(0x8000);
    }
    if (!d.erased(0, length)) return out.fail(d, "the erased range is not blank");
    const Bytes image = padded(f, length);
    if (!d.program(0, image.data(), length)) return out.fail(d, "programming failed");
    // Restates a procedure's decision (the check decides): the settings given back are read back and compared as well.
    if (restore && (!d.program(0x8000, settings.data(), 512) || !readsBack(d, 0x8000, settings.data(), 512)))
        return out.fail(d, "the settings did not go back");
    if (!readsBack(d, 0, image.data(), length)) return out.fail(d, "the read-back does not compare");
    return out.success(d);
}

Expect over1394(const ModelInput& in) {
    Outcome out(in);
    Device d(in, in.before);
    const Bytes& f = in.file;
    if (f.empty()) return out.refuse("no firmware in the file");
    if (startsWithCode(f)) return out.refuse("the file has no NVRAM in front of its code");
    const size_t length = roundUp(std::max<size_t>(f.size(), 0x8000), 256);
    if (length > kAddressSpace) return out.refuse("the file is larger than any flash");
    if (length > sizeLimit(in, length)) return out.refuse("the file does not fit the flash");
    if (length <= 0x8000) out.e.kept.push_back({0x8000, 1024, "settings bytes"});
    const Bytes image = padded(f, length);
    for (size_t pos = 0; pos < length; pos += 256)
        if (!d.directWrite(static_cast<uint32_t>(pos), image.data() + pos, 256, pos == 0 || pos == 0x8000 ? 1 : 0))
            return out.fail(d, "a piece was not written");
    // Restates a procedure's decision (the check decides): only a write that reads back as sent is a success (the procedure returned true once
    // the file was open).
    if (!readsBack(d, 0, image.data(), length)) return out.fail(d, "the read-back does not compare");
    return out.success(d);
}

Expect qvr294(const ModelInput& in) {
    Outcome out(in);
    Device d(in, in.before);
    const Bytes& f = in.file;
    if (f.empty()) return out.refuse("no firmware in the file");
    const size_t length = roundUp(f.size(), 256);
    if (length > kAddressSpace) return out.refuse("the file is larger than any flash");
    const size_t pieces = roundUp(length, 512);
    if (pieces > sizeLimit(in, pieces)) return out.refuse("the file does not fit the flash");
    Bytes image = padded(f, std::max<size_t>(roundUp(length, 8192), 2 * kTwoBankHalf));
    stampBanks(image);
    for (int attempt = 0; attempt < 3; ++attempt) {
        d.eraseChip();
        if (!d.program(0, image.data(), pieces)) continue;
        Bytes back(length);
        if (d.read(0, back.data(), length) && equalOutsideSignatures(image.data(), back.data(), length)) return out.success(d);
    }
    return out.fail(d, "three attempts failed");
}

Expect disk(const ModelInput& in, uint64_t sectors, uint32_t blockSize) {
    Outcome out(in);
    Device d(in, in.before);
    const Bytes& f = in.file;
    if (f.empty()) return out.refuse("no firmware in the file");
    const size_t length = roundUp(f.size(), 256);
    Bytes image = padded(f, length);
    const bool big = sectors > 0x100000000ull;
    const auto areaStart = [&in](uint64_t r) -> uint64_t {
        if (r <= 256) return UINT64_MAX;
        const uint64_t top = (in.areaFromR ? r : r - 1) / 256 * 256;
        return top >= 256 ? top - 256 : UINT64_MAX;
    };
    const auto block = [&](uint64_t lba) {
        auto it = d.disk().find(lba);
        return it == d.disk().end() ? Bytes(blockSize, 0) : it->second;
    };
    uint64_t r = sectors;
    const uint64_t probe = areaStart(sectors);
    if (probe != UINT64_MAX && probe < sectors) {
        const Bytes m = block(probe);
        const uint64_t stored = uint64_t{m[151]} << 24 | uint64_t{m[152]} << 16 | uint64_t{m[153]} << 8 | m[154];
        if (!big && m[150] == 0x55 && m[155] == 0xAA && stored > 256 && stored <= sectors) r = stored;
    }
    const uint64_t start = areaStart(r);
    const uint64_t perUnit = 65536 / blockSize;
    const uint64_t units = (length + 65535) / 65536;
    if (start == UINT64_MAX || units * perUnit > 256 || start + 256 > sectors) return out.refuse("the firmware does not fit its area");
    image[150] = 0x55;
    for (int i = 0; i < 4; ++i) image[151 + i] = static_cast<uint8_t>(r >> (24 - 8 * i));
    image[155] = 0xAA;
    image.resize(units * 65536, 0);
    for (uint64_t b = 0; b < units * perUnit; ++b)
        d.disk()[start + b] = Bytes(image.begin() + b * blockSize, image.begin() + (b + 1) * blockSize);
    return out.success(d);
}

}  // namespace

const char* routeName(Route r) {
    switch (r) {
        case Route::Direct: return "direct";
        case Route::Buffer: return "buffer";
        case Route::OneButton: return "one-button";
        case Route::Series528: return "528";
        case Route::Sst: return "sst";
        case Route::Legacy: return "legacy";
        case Route::Over1394: return "1394";
        case Route::Qvr294: return "294";
        case Route::Disk: return "disk";
        case Route::Mac298: return "mac-298";
        case Route::Mac529: return "mac-529";
        case Route::Mac528: return "mac-528";
    }
    return "?";
}

const char* verdictName(Verdict v) {
    switch (v) {
        case Verdict::Success: return "success";
        case Verdict::Refuse: return "refusal";
        case Verdict::Fail: return "failure";
    }
    return "?";
}

bool modelBankValid(const uint8_t* bank, uint8_t chipType) { return bankValid(bank, chipType); }

Expect expectedStore(const ModelInput& in) {
    switch (in.route) {
        case Route::Direct: return direct(in);
        case Route::Buffer: return buffer(in);
        case Route::OneButton: return oneButton(in);
        case Route::Series528: return series528(in, false);
        case Route::Sst: return series528(in, true);
        case Route::Legacy: return legacy(in);
        case Route::Over1394: return over1394(in);
        case Route::Qvr294: return qvr294(in);
        case Route::Disk: return disk(in, in.diskSectors, in.diskSectorSize);
        case Route::Mac298: return mac298(in);
        case Route::Mac529: return mac529(in);
        case Route::Mac528: return mac528(in);
    }
    return {};
}

}  // namespace campaign
