#include "campaign/promises.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "sim/enclosure.h"
#include "sim/enclosure_config.h"

namespace campaign {

namespace {

// --- what each chip keeps and where it reads its code ------------------------------------------------

// Where a chip reads its code, and so where a file's bytes belong:
//   NvramFirst  the 4 KiB NVRAM at 0, the code from 4096; a file either starts with its code
//               (signature block at 0) or carries its own NVRAM ahead of it
//   WholeImage  the same flash, and the file is the whole flash image from 0, NVRAM included
//   SingleBank  the code region ends at E (its signature block and region CRC at its end), the
//               NVRAM follows at E; on a flash above 127 KiB the 64 KiB bank is kept twice
//   TwoBank     banks of 128 KiB from 0, each with its bank signature block at 0x200
enum class CodeLayout : uint8_t { NvramFirst, WholeImage, SingleBank, TwoBank };

// Who may have a kept stretch written with the file's bytes:
//   IncludeNvram  the user asked for the file's NVRAM ("Include 4K NVRAM", --include-nvram)
//   WithTheFile   whenever the file carries it (the chip takes it from its image)
//   ProductSn     as WithTheFile; with "Setting ProductSN(In-Code)" also a record of the settings
enum class Asked : uint8_t { IncludeNvram, WithTheFile, ProductSn };

struct KeptStretch {
    const char* what;
    uint32_t at, len;
    Asked asked;
};

struct ChipPromise {
    std::vector<uint8_t> chipTypes;   // the Windows chip types of the family
    CodeLayout code;
    uint32_t codeEnd;                 // single-bank
    bool twoCopies;                   // single-bank: the bank kept twice on a flash above 127 KiB
    std::vector<KeptStretch> kept;
};

constexpr uint32_t kNvram = 4096, kSingleBank = 0x10000, kTwoBankHalf = 0x20000;
constexpr uint32_t kProductRecord = 0x44000, kProductRecordLen = 72;
constexpr uint8_t kCodeSignature[4] = {0x55, 0xAA, 0xAA, 0x55};

const ChipPromise kPromises[] = {
    // chips               code                     code end  two copies  kept
    {{13},                 CodeLayout::SingleBank,  0xC000,   true,       {{"NVRAM", 0xC000, kNvram, Asked::IncludeNvram}}},
    {{27},                 CodeLayout::SingleBank,  0x8000,   true,       {{"NVRAM", 0x8000, kNvram, Asked::IncludeNvram}}},
    {{14},                 CodeLayout::SingleBank,  0xC000,   false,      {{"NVRAM", 0xC000, kNvram, Asked::IncludeNvram}}},
    {{15, 16, 17, 18},     CodeLayout::TwoBank,     0,        false,      {{"product record", kProductRecord, kProductRecordLen, Asked::ProductSn}}},
    {{26},                 CodeLayout::TwoBank,     0,        false,      {}},
    {{7, 9, 10, 12},       CodeLayout::NvramFirst,  0,        false,      {{"NVRAM", 0, kNvram, Asked::IncludeNvram}}},
    {{11},                 CodeLayout::NvramFirst,  0,        false,      {{"NVRAM", 0, 128, Asked::IncludeNvram},
                                                                           {"the QVD523's own data", 128, 80, Asked::WithTheFile},
                                                                           {"NVRAM", 208, kNvram - 208, Asked::IncludeNvram}}},
    {{1, 3, 4, 5, 8, 28, 30}, CodeLayout::WholeImage, 0,      false,      {{"settings bytes", 0x8000, 512, Asked::WithTheFile}}},
};

// The macOS thread the single-bank chips meet carries the first 256 bytes of their NVRAM across
// and writes its own image's bytes over the rest.
constexpr uint32_t kMacKeptAt = 0xC000, kMacKept = 256;

const ChipPromise& promiseOf(uint8_t chipType) {
    for (const ChipPromise& p : kPromises)
        if (std::find(p.chipTypes.begin(), p.chipTypes.end(), chipType) != p.chipTypes.end()) return p;
    static const ChipPromise none{{}, CodeLayout::WholeImage, 0, false, {}};
    return none;
}

bool startsWithCode(const Bytes& f) { return f.size() >= 4 && std::memcmp(f.data(), kCodeSignature, 4) == 0; }

// A stretch as one run holds it: where it stands, and the file offsets whose bytes may replace it.
struct Held {
    KeptStretch s;
    std::vector<uint32_t> fileAt;
    bool asked = false;
};

std::vector<Held> keptStretches(const RunFacts& f) {
    const ChipPromise& p = promiseOf(f.family->chipType);
    const size_t flash = f.before.flash.size();
    const bool nvramInFile = p.code != CodeLayout::NvramFirst || (!startsWithCode(f.file) && f.file.size() >= kNvram);
    const auto carries = [&](uint32_t fileAt, uint32_t len) { return nvramInFile && f.file.size() >= uint64_t{fileAt} + len; };
    std::vector<Held> out;
    for (KeptStretch s : p.kept) {
        bool asked = s.asked != Asked::IncludeNvram || f.includeNvram || f.route == Route::Sst;
        // The macOS updates have no such box: the QVD528's takes the image's NVRAM where the
        // chip's own lacks its validity mark; the single-bank chips' writes its own image's NVRAM
        // area but for the bytes it keeps (below).
        const bool marked = flash >= 128 && f.before.flash[126] == 'Q' && f.before.flash[127] == 'V';
        if (f.route == Route::Mac528 && s.asked == Asked::IncludeNvram) asked = !marked;
        if (f.route == Route::Mac529) asked = true;
        if (f.route == Route::Mac529 && s.at == kMacKeptAt) s.at += kMacKept, s.len -= kMacKept;
        if (uint64_t{s.at} + s.len > flash) continue;
        Held h{s, {}, asked};
        if (carries(s.at, s.len)) h.fileAt.push_back(s.at);
        out.push_back(h);
        if (p.twoCopies && flash > 127 * 1024 && s.at < kSingleBank) {
            // The second bank's copy: from the file's second bank, or its one bank written twice.
            Held copy{{"NVRAM copy in the second bank", kSingleBank + s.at, s.len, s.asked}, {}, asked};
            if (carries(kSingleBank + s.at, s.len)) copy.fileAt.push_back(kSingleBank + s.at);
            if (carries(s.at, s.len)) copy.fileAt.push_back(s.at);
            if (uint64_t{copy.s.at} + copy.s.len <= flash) out.push_back(copy);
        }
    }
    if (f.route == Route::Mac529 && flash >= kMacKeptAt + kMacKept)
        out.push_back({{"NVRAM bytes the macOS thread keeps", kMacKeptAt, kMacKept, Asked::IncludeNvram}, {}, false});
    return out;
}

bool sameBytes(const Bytes& a, uint32_t aAt, const Bytes& b, uint32_t bAt, uint32_t len) {
    return uint64_t{aAt} + len <= a.size() && uint64_t{bAt} + len <= b.size() &&
           std::equal(a.begin() + aAt, a.begin() + aAt + len, b.begin() + bAt);
}

bool isSettingsRecord(const Bytes& flash, uint32_t at) {
    if (flash[at] != 0x42) return false;
    for (uint32_t i = 1; i < 52; ++i)
        if (flash[at + i] != 0) return false;
    return true;
}

std::string lost(const Held& h, const char* how) {
    char t[112];
    std::snprintf(t, sizeof t, "%s at 0x%X (%u bytes) %s", h.s.what, h.s.at, h.s.len, how);
    return t;
}

// --- the disk-resident firmware: its area below the disk's end, and the blocks around it -----------

Bytes blockOf(const Store& s, uint64_t lba, uint32_t size) {
    const auto it = s.disk.find(lba);
    return it == s.disk.end() ? Bytes(size, 0) : it->second;
}

// The area starts 256 blocks below the reference rounded down to 256 blocks; the reference is the
// disk's size, or the one its area marker (bytes 150-155 of the area's first block) holds, taken
// one lower or not as the chip's status says: every start the chip may read from.
std::vector<uint64_t> diskAreaStarts(const RunFacts& f) {
    std::vector<uint64_t> refs{f.diskSectors};
    for (uint64_t less : {1, 0}) {
        const uint64_t top = (f.diskSectors - less) / 256 * 256;
        if (top < 256) continue;
        const Bytes m = blockOf(f.before, top - 256, f.diskSectorSize);
        if (m.size() > 155 && m[150] == 0x55 && m[155] == 0xAA)
            refs.push_back(uint64_t{m[151]} << 24 | uint64_t{m[152]} << 16 | uint64_t{m[153]} << 8 | m[154]);
    }
    std::vector<uint64_t> starts;
    for (uint64_t r : refs)
        for (uint64_t less : {1, 0})
            if (r > less && (r - less) / 256 * 256 >= 256) starts.push_back((r - less) / 256 * 256 - 256);
    return starts;
}

bool diskCodeAt(const RunFacts& f, uint64_t start) {
    const uint32_t bs = f.diskSectorSize;
    for (size_t i = 0; i < f.file.size(); i += bs) {
        const Bytes b = blockOf(f.after, start + i / bs, bs);
        for (size_t j = 0; j < bs && i + j < f.file.size(); ++j)
            if ((i + j < 150 || i + j > 155) && b[j] != f.file[i + j]) return false;
    }
    return true;
}

std::string diskNeighbours(const RunFacts& f, uint64_t start) {
    const uint64_t end = start + 256;
    for (const Store* s : {&f.before, &f.after})
        for (const auto& [lba, bytes] : s->disk)
            if ((lba < start || lba >= end) && blockOf(f.before, lba, f.diskSectorSize) != blockOf(f.after, lba, f.diskSectorSize)) {
                char t[96];
                std::snprintf(t, sizeof t, "disk block %llu beside the firmware's area changed",
                              static_cast<unsigned long long>(lba));
                return t;
            }
    return "";
}

uint64_t diskAreaOfRun(const RunFacts& f) {
    const std::vector<uint64_t> starts = diskAreaStarts(f);
    for (uint64_t s : starts)
        if (diskCodeAt(f, s)) return s;
    return starts.empty() ? 0 : starts.front();
}

// --- the code: which file bytes stand where ----------------------------------------------------------

struct CodeSpan {
    uint32_t fileFrom, len, at;
    std::vector<uint32_t> alternatives;   // other file offsets whose bytes may stand there instead
};

std::vector<CodeSpan> codeSpans(const RunFacts& f) {
    const ChipPromise& p = promiseOf(f.family->chipType);
    const uint32_t size = static_cast<uint32_t>(f.file.size());
    std::vector<CodeSpan> out;
    switch (p.code) {
        case CodeLayout::NvramFirst:
            if (startsWithCode(f.file)) out.push_back({0, size, kNvram, {}});
            else if (size > kNvram) out.push_back({kNvram, size - kNvram, kNvram, {}});
            break;
        case CodeLayout::WholeImage:
            if (size > kNvram) out.push_back({kNvram, size - kNvram, kNvram, {}});
            break;
        case CodeLayout::SingleBank: {
            // The region CRC and the two words before it are the chip's, not the file's code.
            const uint32_t code = std::min(size, p.codeEnd - 4);
            out.push_back({0, code, 0, {}});
            if (p.twoCopies && f.before.flash.size() > 127 * 1024) {
                CodeSpan second{kSingleBank, code, kSingleBank, {0}};
                if (size < kSingleBank + code) second = {0, code, kSingleBank, {}};
                out.push_back(second);
            }
            break;
        }
        case CodeLayout::TwoBank: out.push_back({0, size, 0, {}}); break;
    }
    return out;
}

bool inBankSignature(uint32_t i) { return (i >= 0x200 && i < 0x400) || (i >= kTwoBankHalf + 0x200 && i < kTwoBankHalf + 0x400); }

}  // namespace

RunFacts factsOf(const OracleCase& c, const Store& before, const Store& after) {
    RunFacts f;
    f.family = c.family;
    f.program = c.program;
    f.route = c.route;
    f.enclosure = enclosureText(c);
    f.file = caseFile(c);
    f.carried = c.route == Route::OneButton || c.route == Route::Mac298 || c.route == Route::Mac529 || c.route == Route::Mac528;
    f.version = caseVersion(c);
    f.includeNvram = c.includeNvram;
    f.productSn = c.productSn;
    sim::EnclosureConfig config;
    std::string error;
    if (sim::parseEnclosureConfig(f.enclosure, config, error)) {
        f.diskSectors = config.diskSectors;
        f.diskSectorSize = config.diskSectorSize;
    }
    f.before = before;
    f.after = after;
    return f;
}

std::string keptAfterSuccess(const RunFacts& f) {
    if (f.route == Route::Disk) return diskNeighbours(f, diskAreaOfRun(f));
    for (const Held& h : keptStretches(f)) {
        if (sameBytes(f.after.flash, h.s.at, f.before.flash, h.s.at, h.s.len)) continue;
        bool fromFile = false;
        for (uint32_t at : h.fileAt) fromFile = fromFile || (h.asked && sameBytes(f.after.flash, h.s.at, f.file, at, h.s.len));
        if (fromFile) continue;
        if (h.s.asked == Asked::ProductSn && f.productSn && isSettingsRecord(f.after.flash, h.s.at)) continue;
        return lost(h, h.fileAt.empty() || !h.asked ? "holds neither the chip's bytes (the file carries none for it or was not asked to)"
                                                      : "holds neither the chip's bytes nor the file's");
    }
    return "";
}

std::string keptAfterFailure(const RunFacts& f, bool journalHolds) {
    if (f.route == Route::Disk) return journalHolds ? "" : diskNeighbours(f, diskAreaOfRun(f));
    for (const Held& h : keptStretches(f)) {
        // A stretch the user asked to have replaced by the file's may stand half-way.
        if ((h.asked && !h.fileAt.empty()) || (h.s.asked == Asked::ProductSn && f.productSn)) continue;
        if (!sameBytes(f.after.flash, h.s.at, f.before.flash, h.s.at, h.s.len) && !journalHolds)
            return lost(h, "lost by a failed update that does not say so");
    }
    return "";
}

std::string bootsTheFile(const RunFacts& f) {
    sim::EnclosureConfig config;
    std::string error;
    if (!sim::parseEnclosureConfig(f.enclosure, config, error)) return "enclosure: " + error;
    config.stateFile.clear();
    config.firmware.reset();
    // The enclosure as the update left it, switched off and on.
    const std::unique_ptr<sim::Enclosure> chip = sim::Enclosure::create(config, error);
    if (!chip) return "enclosure: " + error;
    if (chip->flash().size() != f.after.flash.size()) return "the flash changed its size";
    chip->flash() = f.after.flash;
    chip->reboot();
    // What the same chip reports running the file's version.
    config.firmware = f.version;
    std::unique_ptr<sim::Enclosure> ref = sim::Enclosure::create(config, error);
    if (!ref) {
        config.flash.clear();   // a part too small for a whole image of the family: the chip's own
        ref = sim::Enclosure::create(config, error);
    }
    if (!ref || ref->bootState() != sim::BootState::Firmware) return "";
    if (chip->bootState() == sim::BootState::Firmware && chip->chipInfo() == ref->chipInfo()) return "";
    std::string v;
    for (uint8_t b : f.version) {
        if (!v.empty()) v += '.';
        v += std::to_string(b);
    }
    return std::string("after power-on the chip runs ") + sim::bootStateName(chip->bootState()) + ", not the file's firmware " + v;
}

std::string codeWhereRead(const RunFacts& f) {
    if (f.route == Route::Disk) {
        for (uint64_t s : diskAreaStarts(f))
            if (diskCodeAt(f, s)) return "";
        return "the file's code is not in the disk's firmware area";
    }
    std::vector<Held> kept = keptStretches(f);
    const auto judgedElsewhere = [&](uint32_t at) {
        if (f.family->layout == firmware::ImageLayout::TwoBank && inBankSignature(at)) return true;
        for (const Held& h : kept)
            if (at >= h.s.at && at - h.s.at < h.s.len) return true;
        return false;
    };
    const Bytes& flash = f.after.flash;
    for (const CodeSpan& s : codeSpans(f)) {
        if (uint64_t{s.at} + s.len > flash.size()) return "the file's code runs past the flash's end";
        for (uint32_t i = 0; i < s.len; ++i) {
            const uint32_t at = s.at + i;
            if (flash[at] == f.file[s.fileFrom + i] || judgedElsewhere(at)) continue;
            bool other = false;
            for (uint32_t alt : s.alternatives) other = other || (alt + i < f.file.size() && flash[at] == f.file[alt + i]);
            if (other) continue;
            char t[112];
            std::snprintf(t, sizeof t, "flash 0x%06X holds %02X where the chip reads the file's byte 0x%X (%02X)", at, flash[at],
                          s.fileFrom + i, f.file[s.fileFrom + i]);
            return t;
        }
    }
    return "";
}

Verdicts judgeRun(const RunFacts& f, bool reported, bool journalHolds) {
    Verdicts v;
    v.success = reported;
    if (!reported) {
        v.kept = keptAfterFailure(f, journalHolds);
        return v;
    }
    v.kept = keptAfterSuccess(f);
    v.code = codeWhereRead(f);
    v.judgedBoot = !f.version.empty() && !f.before.flash.empty();
    if (v.judgedBoot) v.boots = bootsTheFile(f);
    return v;
}

void PromiseCounters::add(const Verdicts& v) {
    ++runs;
    (v.success ? successes : failures)++;
    bootJudged += v.judgedBoot;
    keptViolations += !v.kept.empty();
    bootViolations += !v.boots.empty();
    codeViolations += !v.code.empty();
}

void PromiseCounters::add(const PromiseCounters& c) {
    runs += c.runs, successes += c.successes, failures += c.failures, bootJudged += c.bootJudged;
    keptViolations += c.keptViolations, bootViolations += c.bootViolations, codeViolations += c.codeViolations;
}

std::ostream& operator<<(std::ostream& out, const PromiseCounters& c) {
    return out << "promises: runs " << c.runs << ", successes checked " << c.successes << " (" << c.bootJudged
               << " with a whole firmware in the file, booted), failures checked " << c.failures
               << "; violations: kept stretches " << c.keptViolations << ", boots the file " << c.bootViolations
               << ", code where the chip reads it " << c.codeViolations;
}

}  // namespace campaign
