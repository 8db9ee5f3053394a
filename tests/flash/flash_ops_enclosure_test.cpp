// The flash operations against emulated enclosures: the bytes that land in flash by raw SPI
// programming and through the RAM buffer, NOR semantics seen through them, the unprotect, and the
// ready wait on real busy times.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "sim/session.h"
#include "support/enclosure_rig.h"
#include "bridge/IDEAccess.h"
#include "flash/flash_buffer_ops.h"
#include "flash/flash_ops.h"

namespace {

struct Rig : testing_support::EnclosureRig {
    using EnclosureRig::EnclosureRig;
    uint8_t status() {
        uint8_t s = 0xEE;
        EXPECT_TRUE(IDEAccess::QV_SerialFlashStatus(path, &s));
        return s;
    }
};

std::vector<uint8_t> pattern(size_t n, unsigned seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 8)) ^ 0x5A);
    return v;
}

}  // namespace

// Status reads that fail (zeros come back, which look "ready") never end a wait: the limit does.
TEST(SimFlashOps, FailedStatusReadsNeverEndAWait) {
    Rig rig("qvr298,statusfail=1");
    EXPECT_FALSE(IDEAccess::WaitFlashReady(rig.path) || qvaccess::fn_WAIT_DEVICE_READY(rig.makerObject) ||
                 IDEAccess::WaitFlashStatusClear(rig.path));
}

// Every whole page of the data lands, nothing else; programming again over it only clears bits.
TEST(SimFlashOps, SpiProgrammingLandsWholePagesWithEachMethod) {
    struct Case { const char* name; const char* enclosure; vendor::FlashType type; bool sst25; uint32_t address; size_t length, written; };
    const Case cases[] = {
        {"256-byte pages, 232 bytes left", "qvr298", vendor::kFlashWinbond, false, 0x60000, 1000, 768},
        {"256-byte pages over three chunks", "qvr298", vendor::kFlashWinbond, false, 0x60000, 2 * 8192 + 256, 2 * 8192 + 256},
        {"MXIC 32-byte pages", "qvd523,flash=c22211", vendor::kFlashMxic, false, 0x8000, 1000, 992},
        {"SST25 words across chunks", "qvd523,flash=bf2541", vendor::kFlashSst, true, 0x100000, 8192 + 1024, 8192 + 1024},
        {"SST25 words off a 16 KiB boundary", "qvd523,flash=bf2541", vendor::kFlashSst, true, 0x100200, 1024, 1024},
        {"SST bytes", "qvd523,flash=bf48", vendor::kFlashSst, false, 0x4000, 1024 + 100, 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.enclosure);
        std::fill_n(rig.enc->flash().begin() + c.address, c.length + 512, 0xFF);
        std::vector<uint8_t> expected(c.length + 512, 0xFF);
        for (unsigned seed : {1u, 2u}) {
            const auto data = pattern(c.length, seed);
            ASSERT_TRUE(IDEAccess::ProgramFlashBySpi(rig.path, c.address, data.data(), c.length, c.type, c.sst25));
            for (size_t i = 0; i < c.written; ++i) expected[i] &= data[i];
            EXPECT_EQ(rig.flash(c.address, c.length + 512), expected) << "pass " << seed;
            EXPECT_EQ(rig.status() & 0x42, 0) << "no write latch or auto-increment run left behind";
        }
    }
}

TEST(SimFlashOps, FailedSst25TransferStillEndsTheAutoIncrementRun) {
    Rig rig("qvd523,flash=bf2541");
    const auto data = pattern(4096, 4);
    rig.enc->faults().failAt(rig.enc->commandCount() + 40);   // a word cycle of the first page
    EXPECT_FALSE(IDEAccess::ProgramFlashBySpi(rig.path, 0x100000, data.data(), data.size(), vendor::kFlashSst, true));
    rig.enc->faults().failAt(0);
    EXPECT_EQ(rig.status() & 0x40, 0);
    EXPECT_EQ(rig.flash(0x100000 + 512, 512), std::vector<uint8_t>(512, 0xFF)) << "the transfer stopped";
}

TEST(SimFlashOps, SstChipEraseUnlocksAndErasesTheWholeFlash) {
    Rig rig("qvd523,flash=bf48");
    auto& f = rig.enc->flash();
    std::fill(f.begin(), f.end(), 0x00);
    ASSERT_TRUE(IDEAccess::QV_SerialFlashCommand(rig.path, {0x50}, false));
    ASSERT_TRUE(IDEAccess::QV_SerialFlashCommand(rig.path, {0x01, 0x1C}, false));   // protected
    ASSERT_TRUE(IDEAccess::SstChipErase(rig.path));
    EXPECT_TRUE(IDEAccess::WaitFlashReady(rig.path));
    EXPECT_EQ(f, std::vector<uint8_t>(f.size(), 0xFF));
}

// A protected page part ignores page programming until the unprotect of either program ran.
TEST(SimFlashOps, WriteEnableWithUnprotectOpensAProtectedFlash) {
    struct Program { const char* name; std::function<bool(Rig&)> unprotect; };
    for (const Program& p : {Program{"windows", [](Rig& r) { return IDEAccess::QV_SFWriteEnable(r.path); }},
                             Program{"mac", [](Rig& r) { return qvaccess::QV_SFWriteEnable(r.makerObject); }}}) {
        SCOPED_TRACE(p.name);
        Rig rig("qvr298");
        ASSERT_TRUE(IDEAccess::QV_SerialFlashWriteEnable(rig.path));
        ASSERT_TRUE(IDEAccess::QV_SerialFlashCommand(rig.path, {0x01, 0x1C}, false));
        ASSERT_TRUE(IDEAccess::WaitFlashReady(rig.path));
        const auto data = pattern(256, 5);
        ASSERT_TRUE(IDEAccess::ProgramFlashBySpi(rig.path, 0x70000, data.data(), 256, vendor::kFlashWinbond, false));
        ASSERT_EQ(rig.flash(0x70000, 256), std::vector<uint8_t>(256, 0xFF)) << "protected";

        EXPECT_TRUE(p.unprotect(rig));
        ASSERT_TRUE(IDEAccess::ProgramFlashBySpi(rig.path, 0x70000, data.data(), 256, vendor::kFlashWinbond, false));
        EXPECT_EQ(rig.flash(0x70000, 256), data);
    }
}

// W25X40 chip erase takes 4000 ms, W25Q128FV 40000 ms, a stuck flash forever.
TEST(SimFlashOps, ReadyWaitFollowsTheFlashBusyTime) {
    struct Case { const char* enclosure; bool stuck; bool ready; uint64_t elapsedMs; };
    const auto win = [](Rig& r) { return IDEAccess::WaitFlashReady(r.path); };
    const auto mac = [](Rig& r) { return qvaccess::fn_WAIT_DEVICE_READY(r.makerObject); };
    for (const Case& c : {Case{"qvr298,flash=ef3013", false, true, 4000}, Case{"qvr298,flash=ef4018", false, false, 5000},
                          Case{"qvr298", true, false, 5000}}) {
        for (const auto& wait : {std::function<bool(Rig&)>(win), std::function<bool(Rig&)>(mac)}) {
            SCOPED_TRACE(c.enclosure);
            Rig rig(c.enclosure);
            ASSERT_TRUE(IDEAccess::QV_SerialFlashChipErase(rig.path));
            rig.enc->faults().stuckBusy(c.stuck);
            const uint64_t start = sys::nowMs();
            EXPECT_EQ(wait(rig), c.ready);
            // Each 10 ms poll also spends its status read's 250 us on the bus (USB Bulk-Only):
            // a wait that succeeds ends at the first read after the flash is done (within one
            // poll); one that fails ends at its limit, 500 polls of 10.25 ms.
            const uint64_t elapsed = sys::nowMs() - start;
            const uint64_t least = c.ready ? c.elapsedMs : c.elapsedMs + c.elapsedMs / 40 - 1;
            EXPECT_GE(elapsed, least);
            EXPECT_LE(elapsed, least + 11);
        }
    }
}

// An image lands byte for byte and reads back; past a short image the flash gets zeros; the
// alternate mode leaves the flash alone.
TEST(SimFlashOps, BufferWriteLandsTheImageAndReadsBack) {
    for (size_t length : {size_t{0x80000}, size_t{0x30000 + 123}}) {
        SCOPED_TRACE(length);
        Rig rig("qvr298,fw=31.01.01.10");
        const auto image = pattern(length, 6);
        const auto before = rig.enc->flash();
        EXPECT_FALSE(qvaccess::fn_WriteBuffer298(rig.makerObject, 0, image.data(), image.size(), true));
        EXPECT_EQ(rig.enc->flash(), before);

        ASSERT_TRUE(qvaccess::fn_WriteBuffer298(rig.makerObject, 0, image.data(), image.size(), false));
        std::vector<uint8_t> expected(0x80000, 0x00);
        std::copy(image.begin(), image.end(), expected.begin());
        EXPECT_EQ(rig.enc->flash(), expected);
        std::vector<uint8_t> back(0x20000);
        ASSERT_TRUE(qvaccess::fn_ReadBuffer298(rig.makerObject, 0, back.data(), back.size(), 0));
        EXPECT_EQ(back, std::vector<uint8_t>(expected.begin(), expected.begin() + 0x20000));
    }
}
