#include "campaign/fork_pool.h"
#include "campaign/matrix.h"

#include "campaign/procedures.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "cli/cli.h"
#include "update/buffer_update.h"
#include "update/direct_update.h"
#include "update/run_dispatch.h"
#include "image/image.h"
#include "image/image_catalog.h"
#include "sim/state_file.h"
#include "sys/resources.h"
#include "identify/flash_detect.h"

namespace campaign {

namespace {

using L = firmware::ImageLayout;
using R = Route;
constexpr uint32_t KiB = 1024;

// One row per family. The flash parts differ in maker and erase units: 4 KiB sectors with 64 KiB
// blocks (WINBOND, MXIC), 32 KiB blocks (PMC, SST), 32 KiB sectors (ST, ATMEL), AMIC (erased
// whole by the direct updates), SST (no 0x9F reply), 64 KiB parts and larger ones.
const std::vector<Family> kFamilies = {
    {"qvr298", "qvr298", "", 16, "298", "qvr298_31.01.01.20", L::TwoBank, 0,
     {"W25X40", "MX25L4005A", "AT25DF041A", "Pm25LV040", "A25L040", "M25P20"},
     {R::Direct, R::Buffer, R::OneButton, R::Mac298}, "qvr298_v031.001.001.015"},
    {"qvr297", "qvr297", "", 15, "297", "qvr297_31.02.00.05", L::TwoBank, 0, {"W25X40", "M25P20"}, {R::Direct, R::Buffer}, nullptr},
    {"qvr295", "qvr295", "", 17, "295", "qvr295_31.03.00.02", L::TwoBank, 0, {"W25X40", "MX25L4005A"}, {R::Direct, R::Buffer}, nullptr},
    {"qvr292", "qvr292", "", 18, "292", "qvr292_31.04.00.02", L::TwoBank, 0, {"W25X40", "Pm25LV040"}, {R::Direct, R::Buffer}, nullptr},
    // The macOS program sends the QVR256 and the QVR296 to the thread it labels for the QVD529.
    {"qvr256", "qvr256", "", 13, "256", "qvr256_1.02.03", L::SingleBank, 0xC000,
     {"MX25L1006E", "MX25L512", "W25X40", "Pm25LD010", "A25L010", "M25P10", "SST25VF010", "AT25FS010"}, {R::Direct, R::Mac529},
     "QVR293_PM_v20.05.03.03"},
    {"qvr296", "qvr296", "", 14, "296", "qvr296_1.02.04", L::SingleBank, 0xC000, {"MX25L1006E", "MX25L512", "W25X10", "M25P10"},
     {R::Direct, R::Mac529}, "QVR293_PM_v20.05.03.03"},
    {"qvr253", "qvr253", "", 27, "253", "qvr253_1.02.05", L::SingleBank, 0x8000, {"MX25L1006E", "Pm25LD010", "A25L010", "AT25FS010"},
     {R::Direct}, nullptr},
    {"qvd529", "qvd529", "", 9, "529", "qvd529_with_nvram", L::NvramFirst, 0,
     {"MX25L1006E", "MX25L512", "W25X40", "M25P10", "Pm25LD010", "A25L010", "none"}, {R::Direct}, nullptr},
    {"qvr227", "qvr227", "", 12, "227", "qvr227_with_nvram", L::NvramFirst, 0, {"MX25L1006E", "W25X40", "M25P10"},
     {R::Direct, R::Series528}, nullptr},
    // Its later stepping is asked for the flash's 0x9F reply; an SST25 part takes the SST form.
    {"qvr227b4", "qvr227b4", "", 12, "227", "qvr227_with_nvram", L::NvramFirst, 0, {"SST25VF016B", "MX25L1006E"},
     {R::Direct, R::Sst}, nullptr},
    {"qvd528", "qvd528", "", 7, "528", "qvd528_with_nvram", L::NvramFirst, 0,
     {"MX25L512", "MX25L1006E", "W25X10", "A25L05PU", "AT25F512B", "SST25VF512", "M25P05A", "none"}, {R::Series528, R::Mac528},
     "QVD528UFW"},
    {"qvd523", "qvd523", "", 11, "523", "qvd523_with_nvram", L::NvramFirst, 0, {"MX25L512", "MX25L1006E", "W25X10", "SST25VF512"},
     {R::Series528, R::Sst, R::Mac528}, nullptr},
    {"qvd525", "qvd525", "", 8, "525", "qvd525_with_nvram", L::NvramFirst, 0, {"MX25L512", "W25X05", "M25P05A"}, {R::Legacy}, nullptr},
    {"qvd525-1394", "qvd525", ",bus=1394", 8, "525", "qvd525_with_nvram", L::NvramFirst, 0, {"MX25L512", "MX25L1006E"},
     {R::Over1394}, nullptr},
    {"qv84556", "qv84556", "", 5, "556", "qv84556_with_nvram", L::NvramFirst, 0,
     {"MX25L512", "MX25L1006E", "A25L05PU", "A25L05PT", "A25L20PU", "AT25F512B", "M25P05A", "SST25VF512", "none"}, {R::Legacy},
     nullptr},
    {"qv84552", "qv84552", "", 1, "552", "qv84552_with_nvram", L::NvramFirst, 0, {"MX25L512"}, {R::Legacy}, nullptr},
    {"qv84553", "qv84553", "", 3, "553", "", L::NvramFirst, 0, {"MX25L512"}, {R::Legacy}, nullptr},
    {"qvd276", "qvd276", "", 28, "276", "", L::NvramFirst, 0, {"MX25L512"}, {R::Legacy}, nullptr},
    {"q556e", "qv84556e", "", 30, "556", "qv84556_with_nvram", L::NvramFirst, 0, {"MX25L512"}, {R::Legacy}, nullptr},
    {"qvr294", "qvr294", "", 26, "294", "qvr294_31.05.00.01", L::TwoBank, 0, {"W25X40", "W25X20"}, {R::Qvr294}, nullptr},
    {"q556e-disk", "qv84556e", ",disk=256005", 30, "556", "qv84556_with_nvram", L::NvramFirst, 0, {"none"}, {R::Disk}, nullptr},
    {"q556e-disk-4k", "qv84556e", ",disk=256005,sector=4096", 30, "556", "qv84556_with_nvram", L::NvramFirst, 0, {"none"}, {R::Disk},
     nullptr},
    {"q556e-disk-17", "qv84556e", ",disk=256000,status17=1", 30, "556", "qv84556_with_nvram", L::NvramFirst, 0, {"none"}, {R::Disk},
     nullptr},
};

const sim::FlashPart* partOf(const OracleCase& c) {
    if (c.flash == "none") return nullptr;
    return sim::findFlashPart(c.flash);
}

uint32_t flashSize(const OracleCase& c) {
    const sim::FlashPart* p = partOf(c);
    return p ? p->size : 0;
}

bool nvramFirst(const Family& f) { return f.layout == L::NvramFirst; }
bool isQvr29x(uint8_t t) { return t >= 15 && t <= 18; }

// The file shapes of a family on a flash of `f` bytes.
std::vector<Shape> shapesFor(const Family& fam, Route route, uint32_t f, size_t sampleSize) {
    std::vector<Shape> out;
    const auto add = [&](std::string name, size_t size, bool codeOnly = false) {
        if (size == 0) return;
        for (const Shape& s : out)
            if (s.size == size && s.codeOnly == codeOnly) return;
        out.push_back({std::move(name), size, codeOnly});
    };
    const uint32_t flash = f ? f : 0x10000;
    add("one byte", 1);
    switch (fam.layout) {
        case L::TwoBank:
            add("256 bytes", 256);
            add("one chunk", 4096);
            add("one bank", 0x20000);
            add("one bank and a page", 0x20100);
            add("two banks", 0x40000);
            add("flash size", flash);
            add("one byte over", flash + 1);
            break;
        case L::SingleBank:
            add("256 bytes", 256);
            add("one chunk", 8192);
            add("code area", fam.codeEnd);
            add("ends inside the NVRAM", fam.codeEnd + 2048);
            add("one bank", 0x10000);
            add("one bank and a half", 0x18000);
            add("two banks", 0x20000);
            add("flash size", flash);
            add("one byte over", flash + 1);
            break;
        default: {
            add("256 bytes", 256);
            add("NVRAM and 4 KiB", 8192);
            add("one page", 16384);
            add("NVRAM and two pages", 0x9000);
            add("as made", sampleSize);
            add("flash size", flash);
            add("one byte over", flash + 1);
            // The code alone, where a procedure can take it (it goes behind the chip's NVRAM), and
            // where one refuses it.
            const bool codeOnly = route == R::Direct || route == R::Series528 || route == R::Mac528 || route == R::Legacy ||
                                  route == R::Over1394;
            if (codeOnly) {
                add("code only, 12 KiB", 0x3000, true);
                add("code only, flash size - 4 KiB", flash - 4096, true);
                add("code only, 256 bytes past the flash", flash - 4096 + 256, true);
            }
        }
    }
    return out;
}

std::vector<ChipState> statesFor(const Family& fam, Route route) {
    switch (route) {
        case R::Direct:
            if (fam.chipType == 13 || fam.chipType == 27 || isQvr29x(fam.chipType))
                return {ChipState::Firmware, ChipState::BankDamaged};
            return {ChipState::Firmware};
        case R::Buffer: return {ChipState::Firmware, ChipState::RomCode, ChipState::MfgInFlash, ChipState::BankDamaged};
        case R::OneButton:
        case R::Mac298: return {ChipState::Firmware, ChipState::MfgInFlash, ChipState::RomCode};
        case R::Series528:
            if (fam.chipType == 12) return {ChipState::RomCode};   // the QVR227 takes this way on its ROM code
            return {ChipState::Firmware, ChipState::RomCode, ChipState::Unmarked, ChipState::Blank};
        case R::Mac528: return {ChipState::Firmware, ChipState::Unmarked, ChipState::Blank};
        case R::Disk: return {ChipState::Firmware, ChipState::AreaMarked};
        default: return {ChipState::Firmware};
    }
}

const char* stateName(ChipState s) {
    switch (s) {
        case ChipState::Firmware: return "firmware";
        case ChipState::RomCode: return "ROM code";
        case ChipState::MfgInFlash: return "manufacturing code";
        case ChipState::BankDamaged: return "one bank damaged";
        case ChipState::Unmarked: return "NVRAM without its mark";
        case ChipState::Blank: return "blank flash";
        case ChipState::AreaMarked: return "area marked";
    }
    return "?";
}

std::vector<uint8_t> baseImage(const Family& fam, bool carried) {
    std::vector<uint8_t> out;
    std::string error;
    const std::string name = carried && fam.bundle ? fam.bundle : fam.sample;
    for (const firmware::CatalogImage& c : firmware::imageCatalog())
        if (name == c.name && firmware::generateImage(c, out, error)) return out;
    firmware::ImageParams p;
    p.layout = fam.layout;
    p.chipCode = fam.code;
    p.version = {1, 5, 9};
    p.size = 0x8000;
    firmware::buildImage(p, out, error);
    return out;
}

// Bytes that look like code past the end of an image, different from any firmware's.
uint8_t filler(size_t i) { return static_cast<uint8_t>((i * 13 + 0x5B) ^ (i >> 9)); }

}  // namespace

const std::vector<Family>& families() { return kFamilies; }

const Family* familyByKey(const std::string& key) {
    for (const Family& f : kFamilies)
        if (key == f.key) return &f;
    return nullptr;
}

std::string OracleCase::label() const {
    std::ostringstream s;
    s << (program == Program::Windows ? "Windows" : program == Program::Mac ? "macOS" : cliUpdate ? "q55x update" : "q55x flash")
      << " " << routeName(route) << " " << family->key << " on " << flash << ", " << stateName(state) << ", " << shape.name << " ("
      << shape.size << ")";
    if (includeNvram) s << ", include NVRAM";
    if (productSn) s << ", product SN";
    if (backup) s << ", with backup";
    if (chipReset) s << ", ChipReset 1";
    return s.str();
}

std::vector<OracleCase> oracleMatrix(bool bounded) {
    std::vector<OracleCase> out;
    // A case once per option the procedure reads: "Include 4K NVRAM" where the NVRAM is kept,
    // "Setting ProductSN(In-Code)" (with ChipReset 1) on the buffer path; ChipReset 1 also on the
    // direct path's first shape.
    const auto withOptions = [&out](OracleCase c, bool firstShape) {
        const bool keepsNvram = !isQvr29x(c.family->chipType) && (c.route == R::Direct || c.route == R::Series528);
        for (int option = 0; option < (keepsNvram || c.route == R::Buffer ? 2 : 1); ++option) {
            c.includeNvram = keepsNvram && option == 1;
            c.productSn = c.route == R::Buffer && option == 1;
            c.chipReset = c.program != Program::Cli && (c.productSn || (c.route == R::Direct && firstShape)) ? 1 : 0;
            out.push_back(c);
        }
    };
    for (const Family& fam : kFamilies) {
        const size_t sampleSize = baseImage(fam, false).size();
        for (size_t fi = 0; fi < fam.flashes.size(); ++fi) {
            OracleCase c;
            c.family = &fam;
            c.flash = fam.flashes[fi];
            const uint32_t f = flashSize(c);
            // The bounded form: every family's own part in full, the other parts at the sizes
            // that meet their erase units (one chunk, the flash's size, past it).
            const auto wanted = [&](const Shape& s) {
                return !bounded || fi == 0 || s.name == "flash size" || s.name == "one byte over" || s.name == "one chunk" ||
                       s.name == "ends inside the NVRAM";
            };
            for (Route route : fam.routes) {
                // The QVD523 takes the SST form only on an SST part, and the serial-flash form only on another.
                if (fam.chipType == 11 && (route == R::Sst) != (std::string(c.flash) == "SST25VF512")) continue;
                // The later QVR227 takes the SST form on an SST25 part and the direct update on another.
                if (fam.chipType == 12 && fam.flashes[0] == std::string("SST25VF016B") &&
                    (route == R::Sst) != (std::string(c.flash) == "SST25VF016B"))
                    continue;
                const bool mac = route == R::Mac298 || route == R::Mac529 || route == R::Mac528;
                c.route = route;
                c.program = mac ? Program::Mac : Program::Windows;
                for (ChipState state : statesFor(fam, route)) {
                    if (bounded && fi > 0 && state != ChipState::Firmware) continue;
                    c.state = state;
                    const std::vector<Shape> shapes = shapesFor(fam, route, f, sampleSize);
                    for (size_t si = 0; si < shapes.size(); ++si) {
                        const Shape& shape = shapes[si];
                        if (!wanted(shape)) continue;
                        c.shape = shape;
                        withOptions(c, si == 0);
                    }
                }
            }
            // q55x flash with every shape on the family's own part; q55x update on the QVR298.
            if (fi != 0) continue;
            OracleCase q = c;
            q.program = Program::Cli;
            q.state = ChipState::Firmware;
            for (Route route : fam.routes) {
                if (route == R::Mac298 || route == R::Mac529 || route == R::Mac528 || route == R::Sst) continue;
                if (isQvr29x(fam.chipType) && route == R::Direct) continue;   // q55x takes the buffer path
                if (fam.chipType == 12 && route == R::Series528) continue;   // it needs the chip on its ROM code
                q.route = route;
                q.cliUpdate = route == R::OneButton;
                for (const Shape& shape : shapesFor(fam, route, f, sampleSize)) {
                    if (bounded && !(shape.name == "flash size" || shape.name == "one byte over" || shape.codeOnly)) continue;
                    q.shape = shape;
                    withOptions(q, false);
                    // ... and once with its backup taken first, at the flash's size.
                    if (shape.name != "flash size") continue;
                    q.backup = true;
                    withOptions(q, false);
                    q.backup = false;
                }
            }
        }
    }
    return out;
}

std::vector<uint8_t> caseFile(const OracleCase& c) {
    if (!c.file.empty()) return c.file;
    const bool carried = c.route == R::Mac298 || c.route == R::Mac529 || c.route == R::Mac528 || c.route == R::OneButton;
    std::vector<uint8_t> image = c.route == R::OneButton ? [] {
        std::vector<uint8_t> out;
        firmware::catalogResources()("FW_FOR_UPDATE", "FW", out);
        return out;
    }()
                                                         : baseImage(*c.family, carried);
    if (c.shape.codeOnly && image.size() > 4096) image.erase(image.begin(), image.begin() + 4096);
    const size_t made = image.size();
    image.resize(c.shape.size);
    for (size_t i = made; i < image.size(); ++i) image[i] = filler(i + 7);
    // The QVD276's and the q556E's files name their chip in a block at 0x4000 (the q556E by its
    // code and an "E").
    const uint8_t t = c.family->chipType;
    if ((t == 28 || t == 30) && !carried && image.size() >= 0x4000 + 10) {
        const uint8_t block[8] = {0x55, 0xAA, 0xAA, 0x55, uint8_t(c.family->code[0]), uint8_t(c.family->code[1]),
                                  uint8_t(c.family->code[2]), uint8_t(t == 30 ? 'E' : '0')};
        std::copy(block, block + 8, image.begin() + 0x4000);
    }
    return image;
}

std::vector<uint8_t> caseVersion(const OracleCase& c) {
    const Family& fam = *c.family;
    const bool carried = c.route == R::Mac298 || c.route == R::Mac529 || c.route == R::Mac528 || c.route == R::OneButton;
    const std::string name = c.route == R::OneButton ? "FW_FOR_UPDATE" : carried && fam.bundle ? fam.bundle : fam.sample;
    std::vector<uint8_t> version = {1, 5, 9}, made;
    std::string error;
    for (const firmware::CatalogImage& img : firmware::imageCatalog()) {
        std::vector<uint8_t> bytes;
        if (!firmware::generateImage(img, bytes, error)) continue;
        if (!c.file.empty() ? bytes == c.file : name == img.name) {
            version = img.params.version;
            made = bytes;
        }
    }
    if (!c.file.empty()) return made.empty() ? std::vector<uint8_t>{} : version;
    if (made.empty()) made = baseImage(fam, carried);
    // The code region is whole: a bank of the two-bank chips, the region up to the NVRAM of the
    // single-bank ones, the image as made for the others.
    const size_t whole = fam.layout == L::TwoBank ? 0x20000 : fam.layout == L::SingleBank ? fam.codeEnd
                                                                                        : made.size() - (c.shape.codeOnly ? 4096 : 0);
    return c.shape.size >= whole ? version : std::vector<uint8_t>{};
}

std::string enclosureText(const OracleCase& c) {
    if (!c.enclosure.empty()) return c.enclosure;
    return std::string(c.family->persona) + ",flash=" + c.flash + c.family->extra;
}

bool recoveryOnSelection(const OracleCase& c) {
    return c.program == Program::Windows && (c.family->chipType == 13 || c.family->chipType == 27);
}

void prepareCase(Bench& b, const OracleCase& c) {
    std::vector<uint8_t>& fl = b.enclosure().flash();
    const Family& fam = *c.family;
    if (c.route == R::Disk) {
        // The blocks around the firmware's area hold data of their own: the area's neighbours.
        sim::Disk& disk = b.enclosure().disk();
        const uint64_t sectors = disk.sectors();
        const uint64_t area = (sectors - 1) / 256 * 256 - 256;
        std::vector<uint8_t> block(disk.sectorSize());
        for (uint64_t lba = area - 4; lba < std::min<uint64_t>(sectors, area + 260); ++lba) {
            for (size_t j = 0; j < block.size(); ++j) block[j] = static_cast<uint8_t>(lba * 31 + j * 7 + 5);
            block[150] = 0;   // no area marker
            if (c.state == ChipState::AreaMarked && lba == area) {
                // An earlier update's marker, naming a disk size of its own: the area moves with it.
                const uint64_t r = sectors - 300;
                block[150] = 0x55;
                for (int i = 0; i < 4; ++i) block[151 + i] = static_cast<uint8_t>(r >> (24 - 8 * i));
                block[155] = 0xAA;
            }
            disk.write(lba, 1, block.data());
        }
        return;
    }
    if (fl.empty()) return;
    // Past the old firmware: bytes of their own, so that every erase shows.
    firmware::ImageParams p;
    p.layout = fam.layout;
    p.twoCopies = fam.layout == L::SingleBank && fl.size() > 127 * KiB;
    const size_t oldEnd = std::min<size_t>(firmware::imageSize(p), fl.size());
    for (size_t i = oldEnd; i < fl.size(); ++i) fl[i] = filler(i);

    switch (c.state) {
        case ChipState::Firmware: break;
        case ChipState::RomCode: std::fill(fl.begin(), fl.end(), 0xFF); break;
        case ChipState::MfgInFlash: {
            // A manufacturing image in the flash, as the factory leaves it: both banks, its flag set.
            firmware::ImageParams m;
            m.layout = L::TwoBank;
            m.chipCode = fam.code;
            m.manufacturing = true;
            m.version = {3, 0, 0, 1};
            std::vector<uint8_t> mfg;
            std::string error;
            firmware::buildImage(m, mfg, error);
            std::fill(fl.begin(), fl.end(), 0xFF);
            std::copy(mfg.begin(), mfg.end(), fl.begin());
            break;
        }
        case ChipState::Blank: std::fill(fl.begin(), fl.end(), 0xFF); return;
        case ChipState::Unmarked:
        case ChipState::AreaMarked: break;
        case ChipState::BankDamaged:
            // The QVR256/QVR253 lose their first bank, the QVR29x their second.
            if (fam.layout == L::SingleBank) fl[0x100] ^= 0xFF;
            else if (fl.size() >= 0x22000) fl[0x21000] ^= 0xFF;
            break;
    }
    // The stretches the procedures promise to keep, each with a pattern of its own.
    const auto put = [&](uint32_t at, uint32_t len) {
        if (at + len > fl.size()) return;
        const std::vector<uint8_t> pat = keptPattern({at, len, 0});
        std::copy(pat.begin(), pat.end(), fl.begin() + at);
    };
    if (nvramFirst(fam)) {
        put(0, 4096);
        if (c.state == ChipState::Unmarked) fl[126] = fl[127] = 0xFF;
        if (c.route == R::Mac529) put(0xC000, 256);
        if (c.route == R::Legacy || c.route == R::Over1394) put(0x8000, 1024);
    } else if (fam.layout == L::SingleBank) {
        put(fam.codeEnd, 4096);
        if (fl.size() > 127 * KiB) put(0x10000 + fam.codeEnd, 4096);
    } else if (fl.size() >= 0x45000 && c.state != ChipState::RomCode) {
        // A product record from an earlier update.
        std::vector<uint8_t> record(72, 0);
        record[0] = 0x42;
        std::memcpy(record.data() + 52, "EARLIER-SERIAL-0042 ", 20);
        std::copy(record.begin(), record.end(), fl.begin() + 0x44000);
    }
}

ModelInput modelInput(Bench& b, const OracleCase& c, const Store& before, const std::string& filePath) {
    ModelInput in;
    in.route = c.route;
    in.chipType = c.family->chipType;
    in.chipCode = c.family->code;
    in.persona = &b.enclosure().persona();
    in.part = b.enclosure().flashChip() ? &b.enclosure().flashChip()->part() : nullptr;
    in.boot = b.enclosure().bootState();
    if (c.program == Program::Mac) {
        in.flashType = in.part ? in.part->flashType : 0;
    } else {
        // The chip is the persona's; the flash facts are what identification told the window, as
        // the procedure works with them (the judge takes the flash from the part itself).
        const vendor::FlashFacts& f = b.device().flash;
        in.flashType = f.type;
        in.amicModel = f.amicModel;
        in.atmelModel = f.atmelModel;
        in.knownKiB = f.capacityKiB;
        in.flashParameterSent = f.flashParameterSent;
        vendor::_VenderCmdPara probed = f.para;
        IDEAccess::DetectFlashCapacity(b.device().path, probed);
        in.probedKiB = probed.capacityKiB;
    }
    if (c.program == Program::Cli && !c.cliUpdate) {
        // As q55x chooses: the window's choice on its own view of the device, and the QVR29x
        // through their buffer whenever they answer its descriptor.
        switch (firmware::chooseRunProcedure(b.device(), filePath)) {
            case firmware::RunProcedure::DirectUpdate: in.route = isQvr29x(in.chipType) ? R::Buffer : R::Direct; break;
            case firmware::RunProcedure::Series528: in.route = R::Series528; break;
            case firmware::RunProcedure::Sst: in.route = R::Sst; break;
            case firmware::RunProcedure::Legacy: in.route = R::Legacy; break;
            case firmware::RunProcedure::Qvd525Over1394: in.route = R::Over1394; break;
            case firmware::RunProcedure::Qvr294: in.route = R::Qvr294; break;
            case firmware::RunProcedure::DiskResident: in.route = R::Disk; break;
            default: break;
        }
    }
    in.bankRecoveryOnSelection = recoveryOnSelection(c);
    in.file = caseFile(c);
    in.includeNvram = c.includeNvram;
    in.productSn = c.productSn || c.route == R::OneButton;
    in.diskSectors = b.enclosure().disk().sectors();
    in.diskSectorSize = b.enclosure().disk().sectorSize();
    in.areaFromR = b.enclosure().config().statusByte17 == 1;
    in.before = before;
    return in;
}

namespace {

firmware::RunProcedure runProcedureOf(Route r) {
    switch (r) {
        case R::Direct:
        case R::Buffer: return firmware::RunProcedure::DirectUpdate;
        case R::Series528: return firmware::RunProcedure::Series528;
        case R::Sst: return firmware::RunProcedure::Sst;
        case R::Legacy: return firmware::RunProcedure::Legacy;
        case R::Over1394: return firmware::RunProcedure::Qvd525Over1394;
        case R::Qvr294: return firmware::RunProcedure::Qvr294;
        case R::Disk: return firmware::RunProcedure::DiskResident;
        default: return firmware::RunProcedure::None;
    }
}

// The programs' carried images: the case's own in place of the one the family carries.
struct CarriedImage {
    sys::ResourceLoader previous;
    CarriedImage(const char* name, std::vector<uint8_t> bytes) {
        const sys::ResourceLoader catalog = firmware::catalogResources();
        previous = sys::setResourceLoader([catalog, name = std::string(name), bytes](std::string_view n, std::string_view t,
                                                                                     std::vector<uint8_t>& out) {
            if (n == name) return out = bytes, true;
            return catalog(n, t, out);
        });
    }
    ~CarriedImage() { sys::setResourceLoader(previous); }
};

}  // namespace

bool runOn(Bench& b, const OracleCase& c, const std::string& filePath, bool asChosen) {
    firmware::RecordingWindow& w = b.window();
    const uint32_t device = b.makerObject();
    const auto thread = [&](int (*fn)(uint32_t, const std::function<void(bool)>&)) {
        bool shown = false, shownOk = false;
        const int rc = fn(device, [&](bool ok) { shown = true, shownOk = ok; });
        return rc == 0 && shown && shownOk;
    };
    switch (c.route) {
        case R::OneButton: {
            const CarriedImage image("FW_FOR_UPDATE", caseFile(c));
            std::vector<std::string> found;
            return firmware::UpdateWithEmbeddedImage(w, b.device()) &&
                   firmware::ResetAndReattach(w, b.device(), [&b] { return b.scan(); }, found);
        }
        case R::Mac298: {
            const CarriedImage image(firmware::kMacQvr298Image, caseFile(c));
            return thread(&firmware::qvr298_update_func);
        }
        case R::Mac529: {
            const CarriedImage image(firmware::kMacQvd529Image, caseFile(c));
            return thread(&firmware::qvd529_update_func);
        }
        case R::Mac528: {
            const std::vector<uint8_t> image = caseFile(c);
            if (c.family->chipType == 7) {
                const CarriedImage carried(firmware::kMacQvd528Image, image);
                return thread(&firmware::qvd528_update_func);
            }
            return firmware::UpdateFlash_528Series(device, c.family->chipType, image.data(), image.size());
        }
        default: {
            w.firmwareFile_ = filePath;
            w.includeNvram_ = c.includeNvram;
            w.readWriteBuffer_ = c.route == R::Buffer;
            w.setProductSn_ = c.productSn;
            w.settings_.chipReset = c.chipReset;
            const firmware::RunProcedure p = firmware::chooseRunProcedure(b.device(), filePath);
            if (!asChosen && p != runProcedureOf(c.route) && p != firmware::RunProcedure::FileTooBig) {
                w.setStatus("the window chose another procedure");
                return false;
            }
            return firmware::runChosenProcedure(p, w, b.device());
        }
    }
}

bool dispatchedAsExpected(Bench& b, const OracleCase& c, const std::string& filePath) {
    if (c.program != Program::Windows || runProcedureOf(c.route) == firmware::RunProcedure::None) return true;
    const firmware::RunProcedure p = firmware::chooseRunProcedure(b.device(), filePath);
    return p == runProcedureOf(c.route) || p == firmware::RunProcedure::FileTooBig;
}

bool saveCaseState(const OracleCase& c, const Store& st, const std::string& path, std::string& error) {
    sim::EnclosureState s;
    s.model = c.family->persona;
    const sim::FlashPart* part = partOf(c);
    s.flashPart = part ? part->name : "";
    s.flash = st.flash;
    sim::EnclosureConfig config;
    if (!sim::parseEnclosureConfig(enclosureText(c), config, error)) return false;
    s.sectors = config.diskSectors;
    s.sectorSize = config.diskSectorSize;
    s.blocks = st.disk;
    return sim::saveStateFile(path, s, error);
}

bool loadCaseState(const std::string& path, Store& st, std::string& error) {
    sim::EnclosureState now;
    bool exists = false;
    if (!sim::loadStateFile(path, now, exists, error)) return false;
    st.flash = now.flash;
    st.disk = now.blocks;
    return true;
}

std::vector<std::string> cliUpdateArgs(const OracleCase& c, const std::string& file) {
    std::vector<std::string> args;
    for (const char* a : {c.cliUpdate ? "update" : "flash", "--yes", "--allow-reinstall", "--allow-older"}) args.push_back(a);
    if (c.cliUpdate) return args;
    if (c.includeNvram) args.push_back("--include-nvram");
    if (!c.productSn) args.push_back("--no-product-sn");
    args.push_back(file);
    return args;
}

bool runCli(const OracleCase& c, const Store& before, const std::string& dir, Store& after, std::string& message) {
    const std::string state = dir + "/enclosure.state", file = dir + "/firmware.bin";
    ::setenv("XDG_STATE_HOME", (dir + "/state-home").c_str(), 1);
    std::string error;
    if (!saveCaseState(c, before, state, error)) return message = error, false;
    const std::vector<uint8_t> bytes = caseFile(c);
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

    std::vector<std::string> args = {"--sim", withRunKeys(enclosureText(c)) + ",state=" + state};
    for (const std::string& a : cliUpdateArgs(c, file)) args.push_back(a);
    if (!c.backup) args.insert(args.begin() + 3, "--no-backup");
    std::ostringstream out, err;
    const CarriedImage image(c.cliUpdate ? "FW_FOR_UPDATE" : "", c.cliUpdate ? bytes : std::vector<uint8_t>{});
    const int rc = cli::runCli(args, out, err);
    std::string last = err.str().empty() ? out.str() : err.str();
    while (!last.empty() && last.back() == '\n') last.pop_back();
    message = last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
    if (!loadCaseState(state, after, error)) return message = "state file: " + error, false;
    return rc == 0;
}

}  // namespace campaign
