// The emulated SPI flash seen through the bridge's commands: NOR semantics, page wrap, the
// write-enable latch, busy times on the virtual clock, SST auto-increment programming,
// identification replies, and the erase modes of the direct flash write.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

#include "sim/session.h"
#include "support/enclosure_rig.h"
#include "bridge/IDEAccess.h"
#include "sys/clock.h"

namespace {

using namespace IDEAccess;

struct Rig : testing_support::EnclosureRig {
    using EnclosureRig::EnclosureRig;
    uint8_t status() {
        uint8_t s = 0xEE;
        EXPECT_TRUE(QV_SerialFlashStatus(path, &s));
        return s;
    }
    // The SST parts come up protected: status write enable (50), status 00, as the procedures unlock.
    void unlock() { ASSERT_TRUE(QV_SerialFlashCommand(path, {0x50}, false) && QV_SerialFlashCommand(path, {0x01, 0x00}, false)); }
    void waitReady() {
        for (int i = 0; i < 100000 && (status() & 1); ++i) session.clock().advanceMs(1);
    }
    std::vector<uint8_t> read(uint32_t addr, int len) {
        waitReady();   // a busy part answers a read with FF
        std::vector<uint8_t> b(static_cast<size_t>(len));
        EXPECT_TRUE(QV_SerialFlashRead(path, addr, b.data(), len));
        return b;
    }
};

TEST(SimFlash, ProgrammingOnlyClearsBitsAndEraseSetsFF) {
    Rig rig("qvr298");
    const uint32_t a = 0x60000;   // outside the firmware, erased
    struct Case { uint8_t data; uint8_t expect; };
    for (Case c : {Case{0xF0, 0xF0}, Case{0x3C, 0x30}, Case{0xFF, 0x30}, Case{0x0F, 0x00}}) {
        SCOPED_TRACE(int(c.data));
        ASSERT_TRUE(QV_SerialFlashWrite(rig.path, a, &c.data, 2));   // one byte travels as two
        rig.waitReady();
        EXPECT_EQ(rig.read(a, 2)[0], c.expect);
    }
    ASSERT_TRUE(QV_SerialFlashSectorErase(rig.path, a + 0x123));
    rig.waitReady();
    EXPECT_EQ(rig.read(a, 4096), std::vector<uint8_t>(4096, 0xFF));
}

TEST(SimFlash, SectorEraseTouchesOnlyItsUnit) {
    Rig rig("qvr298");
    auto& f = rig.enc->flash();
    std::fill(f.begin() + 0x50000, f.begin() + 0x53000, 0x00);
    ASSERT_TRUE(QV_SerialFlashSectorErase(rig.path, 0x51FFF));
    rig.waitReady();
    EXPECT_EQ(f[0x50FFF], 0x00);
    EXPECT_EQ(f[0x51000], 0xFF);
    EXPECT_EQ(f[0x51FFF], 0xFF);
    EXPECT_EQ(f[0x52000], 0x00);
}

TEST(SimFlash, RawPageProgramWrapsInsideItsPageAndNeedsWriteEnable) {
    Rig rig("qvr298");
    const uint32_t page = 0x70000;
    std::vector<uint8_t> data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

    // Without write enable the part ignores the program.
    ASSERT_TRUE(QV_SerialFlashCommand(rig.path, {0x02, 0x07, 0x00, 0xFA}, true));
    ASSERT_TRUE(QV_SerialFlashData(rig.path, data.data(), 10));
    EXPECT_EQ(rig.read(page, 256), std::vector<uint8_t>(256, 0xFF));

    ASSERT_TRUE(QV_SerialFlashWriteEnable(rig.path));
    EXPECT_EQ(rig.status() & 2, 2);
    ASSERT_TRUE(QV_SerialFlashCommand(rig.path, {0x02, 0x07, 0x00, 0xFA}, true));
    ASSERT_TRUE(QV_SerialFlashData(rig.path, data.data(), 10));
    EXPECT_EQ(rig.status() & 2, 0);   // the latch clears with the program
    rig.waitReady();
    const auto got = rig.read(page, 256);
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 250, got.end()), std::vector<uint8_t>(data.begin(), data.begin() + 6));
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 4), std::vector<uint8_t>(data.begin() + 6, data.end()));
    EXPECT_EQ(got[4], 0xFF);
    EXPECT_EQ(rig.read(page + 256, 1)[0], 0xFF);
}

TEST(SimFlash, BusyLastsTheDatasheetTimeOnTheVirtualClock) {
    struct Case { const char* name; std::function<bool(const std::string&)> op; uint32_t ms; };
    // W25X40 timings from its row: chip erase 4000 ms, sector erase 150 ms.
    for (const Case& c : {Case{"chip erase", [](const std::string& p) { return QV_SerialFlashChipErase(p); }, 4000},
                          Case{"sector erase", [](const std::string& p) { return QV_SerialFlashSectorErase(p, 0x1000); }, 150}}) {
        SCOPED_TRACE(c.name);
        Rig rig("qvr298,flash=ef3013");
        ASSERT_TRUE(c.op(rig.path));
        EXPECT_EQ(rig.status() & 1, 1);
        rig.session.clock().advanceMs(c.ms - 1);
        EXPECT_EQ(rig.status() & 1, 1);
        rig.session.clock().advanceMs(1);
        EXPECT_EQ(rig.status() & 1, 0);
    }
}

TEST(SimFlash, RawCommandsAreLostWhileTheFlashIsBusy) {
    Rig rig("qvr298");
    ASSERT_TRUE(QV_SerialFlashChipErase(rig.path));
    ASSERT_TRUE(QV_SerialFlashWriteEnable(rig.path));
    EXPECT_EQ(rig.status() & 2, 0);
    rig.waitReady();
    ASSERT_TRUE(QV_SerialFlashWriteEnable(rig.path));
    EXPECT_EQ(rig.status() & 2, 2);
}

TEST(SimFlash, SstWordProgrammingAutoIncrements) {
    Rig rig("qvd523,flash=bf2541");
    const uint32_t a = 0x100000;
    rig.unlock();
    ASSERT_TRUE(QV_SerialFlashWriteEnable(rig.path));
    ASSERT_TRUE(QV_SerialFlashCommand(rig.path, {0xAD, 0x10, 0x00, 0x00}, true));
    const uint8_t first[2] = {0x11, 0x22};
    ASSERT_TRUE(QV_SerialFlashData(rig.path, first, 2));
    ASSERT_TRUE(QV_SerialFlashCommand(rig.path, {0xAD, 0x33, 0x44}, false));
    ASSERT_TRUE(QV_SerialFlashCommand(rig.path, {0xAD}, true));   // continue without an address
    ASSERT_TRUE(QV_SerialFlashData(rig.path, first, 2));
    ASSERT_TRUE(QV_SerialFlashCommand(rig.path, {0x04}, false));
    ASSERT_TRUE(QV_SerialFlashCommand(rig.path, {0xAD, 0x55, 0x66}, false));   // after WRDI: ignored
    EXPECT_EQ(rig.read(a, 8), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0x11, 0x22, 0xFF, 0xFF}));
}

TEST(SimFlash, SstByteProgrammingTakesOneBytePerCycle) {
    Rig rig("qvd523,flash=bf48");
    std::fill(rig.enc->flash().begin(), rig.enc->flash().end(), 0xFF);
    // These parts take a status write only after their 50; after the write enable it is lost.
    ASSERT_TRUE(QV_SerialFlashWriteEnable(rig.path));
    ASSERT_TRUE(QV_SerialFlashCommand(rig.path, {0x01, 0x00}, false));
    EXPECT_EQ(rig.status() & 0x1C, 0x1C);
    rig.unlock();
    ASSERT_TRUE(QV_SerialFlashWriteEnable(rig.path));
    ASSERT_TRUE(QV_SerialFlashCommand(rig.path, {0xAF, 0x00, 0xC0, 0x00}, true));
    const uint8_t d[2] = {0xA5, 0x00};   // the byte and the pad the procedures send
    ASSERT_TRUE(QV_SerialFlashData(rig.path, d, 2));
    ASSERT_TRUE(QV_SerialFlashCommand(rig.path, {0xAF, 0x5A}, false));
    EXPECT_EQ(rig.read(0xC000, 3), (std::vector<uint8_t>{0xA5, 0x5A, 0xFF}));
}

TEST(SimFlash, EveryPartAnswersItsIdentificationOpcodes) {
    size_t count = 0;
    const sim::FlashPart* parts = sim::flashParts(&count);
    for (size_t i = 0; i < count; ++i) {
        const sim::FlashPart& p = parts[i];
        SCOPED_TRACE(p.name);
        sim::Session s;
        std::string error;
        ASSERT_TRUE(s.bus().addEnclosure(std::string("qvd528,flash=") + p.name, error)) << error;
        const std::string path = s.bus().deviceOf(0).windowsPath;
        uint8_t id[6] = {};
        ASSERT_TRUE(QV_FlashTypeChkID(path, 0x9F, id, 6));
        EXPECT_EQ(std::vector<uint8_t>(id, id + 6), std::vector<uint8_t>(p.rdid.begin(), p.rdid.end()));
        ASSERT_TRUE(QV_FlashTypeChkID(path, 0x90, id, 4));
        EXPECT_EQ(id[0], 0xFF);
        EXPECT_EQ(id[3], p.rems[0]);
        ASSERT_TRUE(QV_SerialFlashReadID(path, 4, 0xAB, true, id));
        EXPECT_EQ(id[0], p.res[0]);
        uint8_t type[4] = {};
        ASSERT_TRUE(QV_SerialFlashType(path, type));
        EXPECT_EQ(type[0], p.bridgeKnows ? p.flashType : 0);
    }
}

TEST(SimFlash, DirectWriteErasesTheUnitItsModeNames) {
    // W25X40 (WINBOND): sector 4 KiB, block 64 KiB as the bridge sizes them.
    struct Case { uint8_t mode; uint32_t lo, hi; };   // erased range [lo, hi)
    for (Case c : {Case{1, 0x51000, 0x52000}, Case{4, 0x51000, 0x52000}, Case{2, 0x50000, 0x60000},
                   Case{0x85, 0x50000, 0x60000}, Case{3, 0, 0x80000}, Case{0, 0, 0}}) {
        SCOPED_TRACE(int(c.mode));
        Rig rig("qvr298");
        auto& f = rig.enc->flash();
        std::fill(f.begin(), f.end(), 0x00);
        const uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
        ASSERT_TRUE(QV_SetNVRAM_529(rig.path, 0x51800, data, 4, c.mode));
        for (uint32_t a : {0u, 0x4FFFFu, 0x50000u, 0x50FFFu, 0x51000u, 0x517FFu, 0x51804u, 0x51FFFu, 0x52000u, 0x5FFFFu, 0x60000u}) {
            const bool erased = a >= c.lo && a < c.hi;
            EXPECT_EQ(f[a], erased ? 0xFF : 0x00) << std::hex << a;
        }
        // The data lands with NOR semantics: exact on erased flash, ANDed onto zeros otherwise.
        EXPECT_EQ(f[0x51800], c.hi ? 0xDE : 0x00);
        uint8_t back[4] = {};
        rig.waitReady();
        ASSERT_TRUE(QV_GetNVRAM_529(rig.path, 0x51800, back, 4));
        EXPECT_EQ(back[3], c.hi ? 0xEF : 0x00);
    }
}

TEST(SimFlash, OutOfRangeFlashAccessFailsWithoutTouchingAnything) {
    Rig rig("qvr298,gentle=1");   // the unkind flash wraps at its end as the address lines do
    const auto before = rig.enc->flash();
    uint8_t buf[32] = {};
    EXPECT_FALSE(QV_SerialFlashRead(rig.path, 0x7FFF8, buf, 16));
    EXPECT_FALSE(QV_SerialFlashWrite(rig.path, 0x7FFF8, buf, 16));
    EXPECT_FALSE(QV_SetNVRAM_529(rig.path, 0x7FFF0, buf, 16 + 1, uint8_t{0}));
    EXPECT_FALSE(QV_GetNVRAM_529(rig.path, 0x80000, buf, 2));
    EXPECT_EQ(rig.enc->flash(), before);
}

// Each NOR rule on the bridge's own commands: `before`, four zeros written at `writeAt` (0: none),
// then the byte at `readAt` (at once, or once the part is ready), on `a` and on `b` (the gentle
// flash, or the enclosure without the row's key).
TEST(SimFlash, NorRulesHoldOnTheBridgesOwnCommands) {
    const auto para = [](uint8_t program) { _VenderCmdPara p; p.programOp = program; return p; };
    const std::string g = ",gentle=1";
    struct Case { const char* rule; std::string a, b; std::function<void(Rig&)> before; uint32_t writeAt, readAt; bool now; uint8_t inA, inB; };
    for (const Case& c : std::initializer_list<Case>{
             {"lost while busy", "qvr298", "qvr298" + g, [](Rig& r) { QV_SerialFlashSectorErase(r.path, 0x60000); }, 0x60000, 0x60000, false, 0xFF, 0},
             {"FF while busy", "qvr298", "qvr298" + g, {}, 0x60000, 0x60000, true, 0xFF, 0},
             {"protected at power-on", "qvd523,flash=bf48", "qvd523,flash=bf48" + g, [](Rig& r) { r.enc->flash()[0xFFF0] = 0xFF; }, 0xFFF0, 0xFFF0, false, 0xFF, 0},
             {"wraps in its page", "qvr298", "qvr298" + g, {}, 0x600FE, 0x60000, false, 0, 0xFF},
             {"wraps at the end", "qvr298", "qvr298" + g, {}, 0xE0000, 0x60000, false, 0, 0xFF},
             {"program opcode as set", "qvr298", "qvr298" + g, [&](Rig& r) { QV_SerialFlashSetPara256(r.path, para(0x12), true); }, 0x60000, 0x60000, false, 0xFF, 0},
             {"no such erase opcode (20)", "qvd528,flash=M25P10", "qvd528,flash=M25P10" + g, [&](Rig& r) {
                  r.enc->flash()[0x18000] = 0, QV_SerialFlashSetPara256(r.path, para(0x02), false), QV_SerialFlashSectorErase(r.path, 0x18000); }, 0, 0x18000, false, 0, 0xFF},
             {"worst-case times", "qvr298,times=worst", "qvr298", [](Rig& r) {
                  QV_SerialFlashSectorErase(r.path, 0x60000), r.session.clock().advanceMs(200); }, 0x60000, 0x60000, false, 0xFF, 0},
             {"reply count from byte 8", "qvr298,reply8=1", "qvr298", [](Rig& r) {   // the reply's first byte, put where the row reads
                  QV_SerialFlashCommand(r.path, {0x9F}, true), QV_SerialFlashResponse(r.path, 0, &r.enc->flash()[0x60000], 1); }, 0, 0x60000, false, 0, 0xEF}}) {
        SCOPED_TRACE(c.rule);
        for (const auto& [text, want] : {std::pair{c.a, c.inA}, std::pair{c.b, c.inB}}) {
            Rig rig(text);
            if (c.before) c.before(rig);
            const uint8_t z[4] = {};
            if (c.writeAt) QV_SerialFlashWrite(rig.path, c.writeAt, z, 4);
            uint8_t got = 0xEE;
            if (c.now) QV_SerialFlashRead(rig.path, c.readAt, &got, 1);
            EXPECT_EQ(c.now ? got : rig.read(c.readAt, 1)[0], want) << text;
        }
    }
}

// Power lost while the part is busy: what it was changing is left half way, some bits reading
// differently each time; the rest of the part is as it was.
TEST(SimFlash, PowerCutInTheBusyTimeLeavesItsUnitUnpredictable) {
    const uint8_t z[256] = {};
    struct Case { const char* op; std::function<void(const std::string&)> run; uint32_t from, to; uint8_t done; };
    for (const Case& c : std::initializer_list<Case>{
             {"sector erase", [](const std::string& p) { QV_SerialFlashSectorErase(p, 0x61000); }, 0x61000, 0x62000, 0xFF},
             {"chip erase", [](const std::string& p) { QV_SerialFlashChipErase(p); }, 0, 0x80000, 0xFF},
             {"page program", [&](const std::string& p) { QV_SerialFlashWrite(p, 0x62000, z, 256); }, 0x62000, 0x62100, 0}}) {
        SCOPED_TRACE(c.op);
        Rig rig("qvr298");
        auto& f = rig.enc->flash();
        std::fill(f.begin() + 0x61000, f.begin() + 0x62000, 0x00);
        const std::vector<uint8_t> before = f;
        c.run(rig.path);
        rig.enc->faults().powerCutAtUs(sys::nowUs() + 300);
        rig.session.clock().advanceMs(1);
        uint8_t status = 0;
        EXPECT_FALSE(QV_SerialFlashStatus(rig.path, &status)) << "the device is gone";
        EXPECT_GT(std::count_if(f.begin() + c.from, f.begin() + c.to, [&](const uint8_t& b) { return b != before[&b - f.data()] && b != c.done; }), 32);
        std::vector<uint8_t> one(c.to - c.from), two(one.size());
        for (auto* read : {&one, &two}) rig.enc->flashChip()->read(c.from, read->data(), read->size());
        EXPECT_NE(one, two);
        EXPECT_TRUE(std::equal(f.begin() + c.to, f.end(), before.begin() + c.to));
    }
}

}  // namespace
