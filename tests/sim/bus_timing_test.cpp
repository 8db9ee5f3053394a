// The emulator's timing model: every command takes its bus's time on the clock, erases take the
// part's time for the unit erased, and clock=real hands the session's clock over to real time.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/bus_timing.h"
#include "sim/flash_parts.h"
#include "sim/session.h"
#include "bridge/IDEAccess.h"

namespace {

// One 4 KiB flash read on a fresh enclosure: how far the clock moved.
uint64_t usOfOne4KiBRead(const std::string& enclosure) {
    sim::Session s;
    std::string error;
    EXPECT_TRUE(s.bus().addEnclosure(enclosure, error)) << error;
    const std::string path = s.bus().deviceOf(0).linuxPath;
    const uint64_t t0 = s.clock().nowUs();
    std::vector<uint8_t> buf(4096);
    EXPECT_TRUE(IDEAccess::QV_SerialFlashRead(path, 0, buf.data(), static_cast<int>(buf.size())));
    return s.clock().nowUs() - t0;
}

}  // namespace

TEST(SimTiming, EveryCommandTakesItsBusTime) {
    struct Case {
        const char* enclosure;
        uint64_t us;
    };
    // Bulk-Only on USB 2.0: 250 us a command, 35 MB/s; UAS: 60 us, 380 MB/s; SBP-2: 150 us, 38 MB/s.
    for (const Case& c : {Case{"qvd528", 250 + 118}, Case{"qvd528,bus=uas", 60 + 11},
                          Case{"qvd528,bus=1394", 150 + 108}}) {
        SCOPED_TRACE(c.enclosure);
        EXPECT_EQ(usOfOne4KiBRead(c.enclosure), c.us);
    }
    EXPECT_EQ(sim::commandTransferUs(sim::BusKind::Usb, 0), 250u);
    EXPECT_EQ(sim::commandTransferUs(sim::BusKind::Usb, 35), 251u);
    EXPECT_EQ(sim::commandTransferUs(sim::BusKind::Usb, 36), 252u) << "a started microsecond counts";
}

TEST(SimTiming, EraseTimeFollowsTheUnitErased) {
    const sim::FlashPart* w25x40 = sim::findFlashPart("ef3013");
    const sim::FlashPart* sst = sim::findFlashPart("bf48");
    const sim::FlashPart* m25p40 = sim::findFlashPart("202013");
    ASSERT_TRUE(w25x40 && sst && m25p40);
    struct Case {
        const sim::FlashPart* part;
        uint32_t unit, ms;
    };
    for (const Case& c : {Case{w25x40, 4096, 150}, Case{w25x40, 32768, 600}, Case{w25x40, 65536, 1000},
                          Case{w25x40, 512 * 1024, 4000},       // no opcode that large: the chip erase
                          Case{sst, 4096, 18}, Case{sst, 32768, 18}, Case{sst, 65536, 70},
                          Case{m25p40, 4096, 600}}) {          // no 4 KiB erase: the 64 KiB sector
        SCOPED_TRACE(std::string(c.part->name) + " " + std::to_string(c.unit));
        EXPECT_EQ(sim::eraseMsOf(*c.part, c.unit), c.ms);
    }
    // Every part that has a 32 KiB erase says how long it takes, and no erase is slower than the
    // whole chip.
    size_t n = 0;
    const sim::FlashPart* parts = sim::flashParts(&n);
    for (size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(parts[i].name);
        EXPECT_EQ(parts[i].halfBlockErase != 0, parts[i].halfBlockMs != 0);
        EXPECT_LE(std::max({parts[i].sectorMs, parts[i].halfBlockMs, parts[i].blockMs}), parts[i].chipMs);
    }
}

TEST(SimTiming, BusyTimeRunsOnTheSameClockInMicroseconds) {
    sim::Session s;
    std::string error;
    ASSERT_TRUE(s.bus().addEnclosure("qvd528,flash=ef3013", error)) << error;
    sim::SpiFlash& f = *s.bus().enclosure(0).flashChip();
    const std::vector<uint8_t> page(256, 0x00);
    ASSERT_TRUE(f.program(0, page.data(), page.size()));
    EXPECT_TRUE(f.busy());
    s.clock().advanceUs(f.part().programUs - 1);
    EXPECT_TRUE(f.busy()) << "1.5 ms page program, one microsecond short";
    s.clock().advanceUs(1);
    EXPECT_FALSE(f.busy());
}

TEST(SimTiming, ClockKeyChoosesVirtualOrRealTime) {
    sim::EnclosureConfig c;
    std::string error;
    ASSERT_TRUE(sim::parseEnclosureConfig("qvr298,clock=real", c, error)) << error;
    EXPECT_TRUE(c.realClock);
    ASSERT_TRUE(sim::parseEnclosureConfig("qvr298,clock=virtual", c, error)) << error;
    EXPECT_FALSE(c.realClock);
    EXPECT_FALSE(sim::parseEnclosureConfig("qvr298,clock=fast", c, error));
    EXPECT_NE(error.find("virtual or real"), std::string::npos) << error;
    EXPECT_NE(sim::simHelpText().find("clock=virtual|real"), std::string::npos);

    sim::Session s(5000);
    ASSERT_TRUE(s.bus().addEnclosure("qvr298", error)) << error;
    EXPECT_FALSE(s.clock().followsRealTime());
    ASSERT_TRUE(s.bus().addEnclosure("qvr298,clock=real", error)) << error;
    EXPECT_TRUE(s.clock().followsRealTime()) << "one clock=real makes the session's clock real";
    EXPECT_GE(s.clock().nowMs(), 5000u) << "following real time goes on from where the clock stood";
    s.clock().advanceMs(60000);
    EXPECT_GE(s.clock().nowMs(), 65000u) << "a jump still jumps";
    s.clock().followRealTime(false);
    const uint64_t t = s.clock().nowUs();
    s.clock().sleepMs(1000);
    EXPECT_EQ(s.clock().nowUs(), t + 1000000) << "back to virtual time";
}
