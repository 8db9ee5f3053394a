// The emulated flash parts against our flash identification: every part the virtual enclosure can
// carry must be told apart by maker and sized the way our capacity rules size its id. The
// expectations are written here per part, not computed by the identification code.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <string_view>

#include "sim/flash_parts.h"
#include "sim/session.h"
#include "bridge/IDEAccess.h"
#include "identify/flash_detect.h"

namespace {

constexpr uint8_t kChipQvr256 = 13;   // chip report, then the ChkID probes with capacity
constexpr uint8_t kChipQvr298 = 16;   // chip report, then the ReadID probes with capacity
constexpr uint32_t kDefaultKiB = 64;

// What the capacity rules make of a part's id: its real size, or the 64 KiB default where no
// rule covers the id.
enum class Sized : uint8_t { BySize, Default };

struct Expectation {
    const char* name;
    Sized sized;
};

// One line per row of the part table. Default marks the ids the capacity rules do not cover.
constexpr Expectation kExpected[] = {
    {"Pm25LD010", Sized::BySize},     // 7F 9D 21
    {"Pm25LV512", Sized::BySize},     // no 0x9F; 0xAB 9D 7B
    {"Pm25LD512", Sized::BySize},     // 7F 9D 20
    {"Pm25LD020", Sized::BySize},     // 7F 9D 22
    {"Pm25LV010A", Sized::BySize},    // 7F 9D 7C
    {"Pm25LV020", Sized::BySize},     // 7F 9D 7D
    {"Pm25LV040", Sized::BySize},     // 7F 9D 7E
    {"SST25VF512", Sized::BySize},    // no 0x9F; 0xAB BF 48
    {"SST25VF010", Sized::BySize},    // no 0x9F; 0xAB BF 49
    {"SST25VF016B", Sized::BySize},   // BF 25 41
    {"SST25VF032B", Sized::BySize},   // BF 25 4A
    {"M25P10", Sized::BySize},        // 20 20 11
    {"M25P40", Sized::BySize},        // 20 20 13
    {"M25P05", Sized::BySize},        // no 0x9F; 0xAB 05
    {"M25P05A", Sized::BySize},       // 20 20 10
    {"M25P20", Sized::BySize},        // 20 20 12
    {"M25P80", Sized::BySize},        // 20 20 14
    {"M25P16", Sized::BySize},        // 20 20 15
    {"M25P32", Sized::BySize},        // 20 20 16
    {"AT25F512B", Sized::BySize},     // 1F 65
    {"AT25FS010", Sized::BySize},     // 1F 66
    {"AT25F1024A", Sized::BySize},    // no 0x9F; 0x15 1F 60
    {"AT25DF041A", Sized::BySize},    // 1F 44
    {"MX25L512", Sized::BySize},      // C2 20 10
    {"MX25L1006E", Sized::BySize},    // C2 20 11
    {"MX25L1021E", Sized::BySize},    // C2 22 11
    {"MX25L4005A", Sized::BySize},    // C2 20 13
    {"MX25L2006E", Sized::BySize},    // C2 20 12
    {"MX25L8006E", Sized::BySize},    // C2 20 14
    {"MX25L1606E", Sized::BySize},    // C2 20 15
    {"MX25L3206E", Sized::BySize},    // C2 20 16
    {"MX25L6406E", Sized::BySize},    // C2 20 17
    {"MX25L5121E", Sized::BySize},    // C2 22 10
    {"MX25L4021E", Sized::BySize},    // C2 22 13
    {"W25X40", Sized::BySize},        // EF 30 13
    {"W25Q128FV", Sized::BySize},     // EF 40 18
    {"W25X05", Sized::BySize},        // EF 30 10
    {"W25X10", Sized::BySize},        // EF 30 11
    {"W25X20", Sized::BySize},        // EF 30 12
    {"W25X80", Sized::BySize},        // EF 30 14
    {"A25L512", Sized::BySize},       // 37 30 10
    {"A25L10PT", Sized::BySize},      // 7F 37 20 21
    {"A25L05PU", Sized::Default},     // 7F 37 20 10: no rule for 10
    {"A25L010", Sized::BySize},       // 37 30 11
    {"A25L020", Sized::BySize},       // 37 30 12
    {"A25L040", Sized::BySize},       // 37 30 13
    {"A25L080", Sized::BySize},       // 37 30 14
    {"A25L016", Sized::BySize},       // 37 30 15
    {"A25L032", Sized::BySize},       // 37 30 16
    {"A25L10PU", Sized::Default},     // 7F 37 20 11: no rule for 11, 128 KiB part seen as 64
    {"A25L20PU", Sized::Default},     // 7F 37 20 12: no rule for 12, 256 KiB part seen as 64
    {"A25L05PT", Sized::BySize},      // 7F 37 20 20
    {"A25L20PT", Sized::BySize},      // 7F 37 20 22
    {"A25L80P", Sized::BySize},       // 7F 37 20 14
    {"EN25F40", Sized::BySize},       // 1C 31 13
    {"EN25P05", Sized::BySize},       // 1C 20 10
    {"EN25F05", Sized::BySize},       // 1C 31 10
    {"EN25F10", Sized::BySize},       // 1C 31 11
    {"EN25F20", Sized::BySize},       // 1C 31 12
    {"EN25F80", Sized::BySize},       // 1C 31 14
    {"EN25F16", Sized::BySize},       // 1C 31 15
    {"EN25F32", Sized::BySize},       // 1C 31 16
    {"EN25P10", Sized::BySize},       // 1C 20 11
    {"EN25P16", Sized::BySize},       // 1C 20 15
    {"EN25P64", Sized::BySize},       // 1C 20 17
    {"F25L01PA", Sized::BySize},      // 8C 30 11
    {"F25L32PA", Sized::BySize},      // 8C 20 16
    {"F25L02PA", Sized::BySize},      // 8C 30 12
    {"F25L04PA", Sized::BySize},      // 8C 30 13
    {"F25L08PA", Sized::BySize},      // 8C 30 14
    {"F25L16PA", Sized::BySize},      // 8C 21 15
    {"LE25FW203A", Sized::BySize},    // 62 16 12; 0xAB 44
    {"GD25Q20", Sized::BySize},       // C8 40 12
    {"GD25Q40", Sized::BySize},       // C8 40 13
    {"GD25Q512", Sized::BySize},      // C8 40 10
    {"GD25Q10", Sized::BySize},       // C8 40 11
    {"VP25F020", Sized::BySize},      // A1 31 12
    {"VP25F040", Sized::BySize},      // A1 31 13
};

// The ReadID procedure of the QVR29x chips for a few parts (big enough for their two-bank
// firmware), with the capacity it reports: the rules of the ChkID procedure except for 1F 44 and
// EF 40 18, which only the ChkID procedure sizes.
struct ReadIdCase {
    const char* name;
    uint32_t kib;
};
constexpr ReadIdCase kReadId[] = {
    {"W25Q128FV", 64},     // EF 40 18: 16384 only in the ChkID procedure
    {"AT25DF041A", 64},    // 1F 44: 512 only in the ChkID procedure
    {"W25X40", 512},
    {"MX25L4021E", 512},
    {"Pm25LV040", 512},
    {"SST25VF016B", 2048},
    {"M25P16", 2048},      // the bridge does not know it: identified by the ReadID probes
    {"A25L80P", 1024},
    {"LE25FW203A", 256},
    {"EN25F80", 1024},
    {"F25L16PA", 2048},
    {"GD25Q40", 512},
    {"VP25F040", 512},
};

std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

// The flash= value that names a part: its 0x9F id (four bytes behind the 7F continuation code),
// its 0x90 reply when it has no 0x9F id, its name when it has neither.
std::string keyOf(const sim::FlashPart& p) {
    if (p.rdid[0] == 0x7F) return hex(p.rdid.data(), 4);
    if (p.rdid[0] != 0xFF) return hex(p.rdid.data(), 3);
    if (p.rems[0] != 0xFF) return hex(p.rems.data(), 2);
    std::string name;
    for (const char* c = p.name; *c; ++c) name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*c))));
    return name;
}

std::span<const sim::FlashPart> parts() {
    size_t count = 0;
    const sim::FlashPart* p = sim::flashParts(&count);
    return {p, count};
}

const Expectation* expectationOf(std::string_view name) {
    for (const Expectation& e : kExpected)
        if (name == e.name) return &e;
    return nullptr;
}

const sim::FlashPart* partNamed(std::string_view name) {
    for (const sim::FlashPart& p : parts())
        if (name == p.name) return &p;
    return nullptr;
}

uint32_t expectedKiB(const sim::FlashPart& p, Sized sized) {
    return sized == Sized::BySize ? p.size / 1024 : kDefaultKiB;
}

vendor::FlashFacts detectOn(const std::string& model, uint8_t chipType, const sim::FlashPart& p) {
    sim::Session s;
    std::string error;
    EXPECT_TRUE(s.bus().addEnclosure(model + ",flash=" + keyOf(p), error)) << error;
    if (s.bus().devices().empty()) return {};
    return IDEAccess::DetectFlash(s.bus().devices()[0].windowsPath, chipType, 0);
}

TEST(SimFlashParts, ExpectationsAndRowsMatchOneToOne) {
    std::set<std::string> seen;
    for (const sim::FlashPart& p : parts()) {
        EXPECT_NE(expectationOf(p.name), nullptr) << p.name << " has no expectation here";
        EXPECT_TRUE(seen.insert(p.name).second) << p.name << " appears twice";
    }
    for (const Expectation& e : kExpected) EXPECT_NE(partNamed(e.name), nullptr) << e.name << " is not in the part table";
    for (const ReadIdCase& c : kReadId) EXPECT_NE(partNamed(c.name), nullptr) << c.name;
}

TEST(SimFlashParts, EveryPartIsChosenByItsKeyAndByItsName) {
    std::set<std::string> keys;
    for (const sim::FlashPart& p : parts()) {
        SCOPED_TRACE(p.name);
        const std::string key = keyOf(p);
        EXPECT_TRUE(keys.insert(key).second) << "flash=" << key << " names two parts";
        EXPECT_EQ(sim::findFlashPart(key), &p) << key;
        EXPECT_EQ(sim::findFlashPart(p.name), &p);
        EXPECT_NE(sim::flashPartKeys().find(key + "(" + p.name + ")"), std::string::npos);
    }
}

TEST(SimFlashParts, GeometryIsThatOfARealPart) {
    for (const sim::FlashPart& p : parts()) {
        SCOPED_TRACE(p.name);
        EXPECT_GE(p.flashType, 1);
        EXPECT_LE(p.flashType, 12);
        EXPECT_GE(p.size, 64u * 1024);
        EXPECT_EQ(p.size & (p.size - 1), 0u) << "size not a power of two";
        for (uint32_t unit : {p.sectorErase, p.halfBlockErase, p.blockErase})
            if (unit) {
                EXPECT_EQ(p.size % unit, 0u) << unit;
            }
        EXPECT_TRUE(p.sectorErase || p.halfBlockErase || p.blockErase) << "no erase unit at all";
        if (p.sectorErase && p.blockErase) {
            EXPECT_LE(p.sectorErase, p.blockErase);
        }
        if (p.style == sim::ProgramStyle::Page) {
            EXPECT_TRUE(p.page == 32 || p.page == 256) << p.page;
        } else {
            EXPECT_EQ(p.page, p.style == sim::ProgramStyle::SstWord ? 2 : 1);
        }
        EXPECT_GT(p.programUs, 0);
        EXPECT_GT(p.chipMs, 0u);
        // A 0x9F id of three bytes repeats; a 7F-continuation id of four wraps to its start.
        if (p.rdid[0] != 0xFF && p.rdid[0] != 0x7F) {
            EXPECT_EQ(p.rdid[3], p.rdid[0]);
            EXPECT_EQ(p.rdid[4], p.rdid[1]);
            EXPECT_EQ(p.rdid[5], p.rdid[2]);
        }
    }
}

// The maker rules alone, whatever the bridge reports: the ChkID probes name each part's maker.
TEST(SimFlashParts, ChkIdProbesNameEveryMaker) {
    for (const sim::FlashPart& p : parts()) {
        SCOPED_TRACE(p.name);
        sim::Session s;
        std::string error;
        ASSERT_TRUE(s.bus().addEnclosure("qvr256,flash=" + keyOf(p), error)) << error;
        vendor::_VenderCmdPara record;
        EXPECT_TRUE(IDEAccess::DetectFlashVendor(s.bus().devices()[0].windowsPath, record));
        EXPECT_EQ(record.flashType, p.flashType);
    }
}

TEST(SimFlashParts, Qvr256ReportsEveryPartsMakerAndCapacity) {
    for (const sim::FlashPart& p : parts()) {
        SCOPED_TRACE(p.name);
        const Expectation* e = expectationOf(p.name);
        ASSERT_NE(e, nullptr);
        const vendor::FlashFacts f = detectOn("qvr256", kChipQvr256, p);
        EXPECT_TRUE(f.shown);
        EXPECT_EQ(f.type, p.flashType);
        EXPECT_EQ(f.capacityKiB, expectedKiB(p, e->sized));
        EXPECT_EQ(f.blockSize, vendor::tbl_FlashBlockSize[p.flashType]);
        EXPECT_EQ(f.sectorSize, vendor::tbl_FlashSectorSize[p.flashType]);
    }
}

TEST(SimFlashParts, Qvr298ReadIdSizesAFewParts) {
    for (const ReadIdCase& c : kReadId) {
        SCOPED_TRACE(c.name);
        const sim::FlashPart* p = partNamed(c.name);
        ASSERT_NE(p, nullptr);
        const vendor::FlashFacts f = detectOn("qvr298", kChipQvr298, *p);
        EXPECT_TRUE(f.shown);
        EXPECT_EQ(f.type, p->flashType);
        EXPECT_EQ(f.capacityKiB, c.kib);
    }
}

TEST(SimFlashParts, WinbondEf4018IsSizedOnlyByTheChkIdProcedure) {
    const sim::FlashPart* p = sim::findFlashPart("ef4018");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(detectOn("qvr256", kChipQvr256, *p).capacityKiB, 16384u);
    EXPECT_EQ(detectOn("qvr298", kChipQvr298, *p).capacityKiB, 64u);
}

}  // namespace
