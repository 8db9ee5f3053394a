// The bus: device paths of every platform's shape, hot-plug events, resets that take the device
// away for a while, and enclosures that live across runs through their state file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <fstream>
#include <memory>
#include <set>
#include <unistd.h>
#include <vector>

#include "sim/session.h"
#include "bridge/IDEAccess.h"
#include "sim/state_file.h"

namespace {

using namespace IDEAccess;
using Bytes = std::vector<uint8_t>;

std::string tempStatePath(const char* name) {
    return testing::TempDir() + "q55x_sim_" + name + "_" + std::to_string(::getpid()) + ".state";
}

TEST(SimBus, PathsHaveTheShapeOfTheirPlatformAndAllReachTheDevice) {
    struct Case { const char* text; const char* needle; };
    for (Case c : {Case{"qvr298", "\\\\?\\usbstor#disk&ven_corvane&prod_qvr298&rev_0100#"},
                   Case{"qvr298,bus=uas", "\\\\?\\scsi#disk&ven_corvane&prod_qvr298#"},
                   Case{"qvd525,bus=1394", "\\\\?\\sbp2#corvane&qvd525&lun0#"}}) {
        SCOPED_TRACE(c.text);
        sim::Session s;
        std::string error;
        ASSERT_TRUE(s.bus().addEnclosure(c.text, error)) << error;
        const sim::DeviceInfo d = s.bus().deviceOf(0);
        EXPECT_EQ(d.windowsPath.rfind(c.needle, 0), 0u) << d.windowsPath;
        EXPECT_NE(d.windowsPath.find("{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"), std::string::npos);
        EXPECT_EQ(d.linuxPath, "sim:/dev/sg1");
        for (const std::string& path : {d.windowsPath, d.linuxPath, maclib::pathOfDevice(d.makerObject)}) {
            uint8_t gpio[2] = {};
            EXPECT_TRUE(GetGPIO(path, gpio)) << path;
        }
        uint8_t gpio[2] = {};
        EXPECT_FALSE(GetGPIO("sim:/dev/sg9", gpio));
    }
}

TEST(SimBus, ResetTakesTheDeviceAwayUntilTheDelayHasPassed) {
    sim::Session s;
    std::string error;
    ASSERT_TRUE(s.bus().addEnclosure("qvr298,resetms=2500", error)) << error;
    std::vector<std::pair<sim::BusEvent::Kind, uint64_t>> seen;
    s.bus().subscribe([&](const sim::BusEvent& e) { seen.emplace_back(e.kind, sys::nowMs()); });
    const std::string path = s.bus().deviceOf(0).windowsPath;
    const uint64_t t0 = sys::nowMs();

    ASSERT_TRUE(QV_ChipReset256(path));
    uint8_t info[16] = {};
    EXPECT_FALSE(QV_GetChipInfo(path, info, 16));
    EXPECT_TRUE(s.bus().devices().empty());
    s.clock().advanceMs(2499);
    EXPECT_TRUE(s.bus().devices().empty());
    s.clock().advanceMs(1);
    ASSERT_EQ(s.bus().devices().size(), 1u);
    EXPECT_EQ(s.bus().devices()[0].windowsPath, path);   // same instance path after the return
    EXPECT_TRUE(QV_GetChipInfo(path, info, 16));

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(sim::BusEvent::Kind::Removal, t0));
    EXPECT_EQ(seen[1], std::make_pair(sim::BusEvent::Kind::Arrival, t0 + 2500));
}

TEST(SimBus, AfterAResetTheDeviceMayNotComeBackOrComeBackTwice) {
    struct Case { const char* text; size_t after; };
    for (Case c : {Case{"qvr298,noreturn=1", 0}, Case{"qvr298,twins=1", 2}, Case{"qvr298", 1}}) {
        SCOPED_TRACE(c.text);
        sim::Session s;
        std::string error;
        ASSERT_TRUE(s.bus().addEnclosure(c.text, error)) << error;
        ASSERT_TRUE(QV_ChipReset256(s.bus().deviceOf(0).windowsPath));
        s.clock().advanceMs(60000);
        const auto devices = s.bus().devices();
        ASSERT_EQ(devices.size(), c.after);
        for (const sim::DeviceInfo& d : devices) {
            uint8_t gpio[2] = {};
            EXPECT_TRUE(GetGPIO(d.windowsPath, gpio));
        }
    }
}

// A reset comes back after its delay, later by up to the jitter (seeded), and at the same node
// or, with renode=1, at a new one.
TEST(SimBus, AResetComesBackLateOrAtAnotherNode) {
    struct Case { std::string text; bool sameNode; uint64_t latestMs; };
    std::set<uint64_t> delays;
    for (Case c : {Case{"qvr298,resetms=2000", true, 2000}, Case{"qvr298,resetms=2000,renode=1", false, 2000},
                   Case{"qvr298,resetms=2000,resetjitter=5000,seed=1", true, 7000},
                   Case{"qvr298,resetms=2000,resetjitter=5000,seed=2", true, 7000}}) {
        SCOPED_TRACE(c.text);
        sim::Session s;
        std::string error;
        ASSERT_TRUE(s.bus().addEnclosure(c.text, error)) << error;
        const sim::DeviceInfo before = s.bus().deviceOf(0);
        const uint64_t t0 = sys::nowMs();
        ASSERT_TRUE(QV_ChipReset256(before.windowsPath));
        while (s.bus().devices().empty() && sys::nowMs() - t0 < 60000) s.clock().advanceMs(1);
        const uint64_t delay = sys::nowMs() - t0;
        EXPECT_GE(delay, 2000u);
        EXPECT_LE(delay, c.latestMs);
        if (c.latestMs > 2000) delays.insert(delay);
        const sim::DeviceInfo after = s.bus().deviceOf(0);
        EXPECT_EQ(after.windowsPath == before.windowsPath && after.linuxPath == before.linuxPath, c.sameNode);
        uint8_t gpio[2] = {};
        EXPECT_TRUE(GetGPIO(after.windowsPath, gpio));
    }
    EXPECT_EQ(delays.size(), 2u) << "the jitter varies with the seed";
}

// Twins that report one USB serial, and a device that reports none: Windows names them by their
// port, each still reaches its own enclosure.
TEST(SimBus, TwinsWithOneSerialOrNoneAreNamedByTheirPort) {
    sim::Session s;
    std::string error;
    for (const char* text : {"qvr298,serial=QV0001", "qvr298,serial=QV0001", "qvr298,serial=none"})
        ASSERT_TRUE(s.bus().addEnclosure(text, error)) << error;
    const auto d = s.bus().devices();
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(std::vector<std::string>({d[0].usbSerial, d[1].usbSerial, d[2].usbSerial}),
              std::vector<std::string>({"QV0001", "QV0001", ""}));
    EXPECT_NE(d[0].windowsPath.find("#qv0001&0#"), std::string::npos);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(d[i].windowsPath.find("#7&") != std::string::npos, i > 0) << d[i].windowsPath;
        ASSERT_TRUE(QV_ChipReset256(d[i].windowsPath));
        EXPECT_EQ(s.bus().enclosure(i).resetCount(), 1);
    }
}

// A chip running its ROM loader may introduce itself by other USB identifiers, in its chip
// information record and on the bus, or give no record at all; its firmware does neither.
TEST(SimBus, RomCodeMayAnswerWithOtherIdentifiersOrNoRecord) {
    struct Case { const char* text; bool blank; Bytes ids; };
    for (Case c : {Case{"qvr298,romid=05e3:0723", true, {0x05, 0xE3, 0x07, 0x23}},
                   Case{"qvr298,romid=none", true, {0, 0, 0, 0}},
                   Case{"qvr298,romid=05e3:0723", false, {0x72, 0x8D, 0x29, 0x80}}}) {
        SCOPED_TRACE(std::string(c.text) + (c.blank ? " blank" : ""));
        sim::Session s;
        std::string error;
        ASSERT_TRUE(s.bus().addEnclosure(c.text, error)) << error;
        sim::Enclosure& e = s.bus().enclosure(0);
        if (c.blank) std::fill(e.flash().begin(), e.flash().end(), 0xFF);
        ASSERT_TRUE(QV_ChipReset256(s.bus().deviceOf(0).windowsPath));
        s.clock().advanceMs(60000);
        const sim::DeviceInfo back = s.bus().deviceOf(0);
        const Bytes info = e.chipInfo();
        EXPECT_EQ(Bytes(info.begin() + 2, info.begin() + 6), c.ids);
        uint64_t vid = 0;
        ASSERT_TRUE(back.registryParents[3].property("idVendor", vid));
        EXPECT_EQ(vid, c.ids[0] ? uint64_t(c.ids[0] << 8 | c.ids[1]) : 0x728Du);
    }
}

TEST(SimBus, StateFileCarriesFlashAndDiskAcrossRuns) {
    const std::string file = tempStatePath("carry");
    std::remove(file.c_str());
    const Bytes data{0x12, 0x34, 0x56, 0x78};
    const Bytes sector(512, 0xA7);
    {
        sim::Session s;
        std::string error;
        ASSERT_TRUE(s.bus().addEnclosure("qvr298,state=" + file, error)) << error;
        const std::string path = s.bus().deviceOf(0).windowsPath;
        ASSERT_TRUE(QV_SerialFlashWrite(path, 0x60000, data.data(), 4));
        ASSERT_TRUE(QV_DiskWriteDmaExt(path, 1234, sector.data(), 512, 512));
    }
    {
        sim::Session s;
        std::string error;
        ASSERT_TRUE(s.bus().addEnclosure("qvr298,fw=1.2.3.4,state=" + file, error)) << error;
        const std::string path = s.bus().deviceOf(0).windowsPath;
        Bytes back(4);
        ASSERT_TRUE(QV_SerialFlashRead(path, 0x60000, back.data(), 4));
        EXPECT_EQ(back, data);
        Bytes disk(512);
        ASSERT_TRUE(QV_DiskReadDmaExt(path, 1234, disk.data(), 512, 512));
        EXPECT_EQ(disk, sector);
        // The chip booted what the file holds, not the fw= it was given.
        uint8_t info[16] = {};
        ASSERT_TRUE(QV_GetChipInfo(path, info, 16));
        EXPECT_EQ(info[12], 31);
    }
    std::remove(file.c_str());
}

TEST(SimBus, DamagedOrForeignStateFilesAreRefused) {
    const std::string file = tempStatePath("bad");
    {
        sim::Session s;
        std::string error;
        ASSERT_TRUE(s.bus().addEnclosure("qvr298,state=" + file, error)) << error;
    }
    std::ifstream in(file, std::ios::binary);
    const Bytes good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    ASSERT_GT(good.size(), 0x80000u);
    struct Case { const char* name; std::function<void(Bytes&)> change; const char* text; };
    for (const Case& c : {Case{"flipped flash byte", [](Bytes& b) { b[0x1000] ^= 1; }, "qvr298"},
                          Case{"cut short", [](Bytes& b) { b.resize(b.size() / 2); }, "qvr298"},
                          Case{"not a state file", [](Bytes& b) { b[0] = 'X'; }, "qvr298"},
                          Case{"another model", [](Bytes&) {}, "qvr297"},
                          Case{"another flash", [](Bytes&) {}, "qvr298,flash=c84013"}}) {
        SCOPED_TRACE(c.name);
        Bytes b = good;
        c.change(b);
        std::ofstream(file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(b.data()),
                                                                      static_cast<std::streamsize>(b.size()));
        sim::Session s;
        std::string error;
        EXPECT_FALSE(s.bus().addEnclosure(std::string(c.text) + ",state=" + file, error));
        EXPECT_FALSE(error.empty());
    }
    std::remove(file.c_str());
}

// persist=each: the state file follows every command that changes the flash or the disk while the
// program runs, so one that is killed leaves the enclosure as its last command did.
TEST(SimBus, PersistEachWritesTheStateAfterEveryChange) {
    const std::string file = tempStatePath("each");
    std::remove(file.c_str());
    const auto stored = [&file](uint32_t at, size_t n) {
        sim::EnclosureState st;
        bool exists = false;
        std::string error;
        if (!sim::loadStateFile(file, st, exists, error)) return Bytes{};
        return Bytes(st.flash.begin() + at, st.flash.begin() + at + static_cast<long>(n));
    };
    const Bytes data{0x12, 0x34, 0x56, 0x78}, sector(512, 0xA7);
    auto session = std::make_unique<sim::Session>();
    sim::Session& s = *session;
    std::string error;
    ASSERT_TRUE(s.bus().addEnclosure("qvr298,state=" + file + ",persist=each", error)) << error;
    const std::string path = s.bus().deviceOf(0).windowsPath;
    Bytes back(4);
    ASSERT_TRUE(QV_SerialFlashRead(path, 0x60000, back.data(), 4));
    EXPECT_FALSE(std::ifstream(file).good()) << "a read changes nothing";
    ASSERT_TRUE(QV_SerialFlashWrite(path, 0x60000, data.data(), 4));
    EXPECT_EQ(stored(0x60000, 4), data);
    ASSERT_TRUE(QV_SerialFlashWrite(path, 0x60000, data.data(), 4));   // the same bytes again: no change
    std::remove(file.c_str());
    ASSERT_TRUE(QV_SerialFlashRead(path, 0x60000, back.data(), 4));
    EXPECT_FALSE(std::ifstream(file).good());
    ASSERT_TRUE(QV_SerialFlashSectorErase(path, 0x60000));
    EXPECT_EQ(stored(0x60000, 4), Bytes(4, 0xFF));
    std::remove(file.c_str());
    ASSERT_TRUE(QV_DiskWriteDmaExt(path, 1234, sector.data(), 512, 512));
    EXPECT_EQ(stored(0x60000, 4), Bytes(4, 0xFF)) << "a disk write saves the flash with it";
    session.reset();
    std::remove(file.c_str());
}

TEST(SimBus, PowerCutKeepsTheFlashAsItWasMidProgram) {
    const std::string file = tempStatePath("cut");
    std::remove(file.c_str());
    Bytes page(4096, 0x00);
    {
        sim::Session s;
        std::string error;
        // The first command is the program itself.
        ASSERT_TRUE(s.bus().addEnclosure("qvr298,powercut=1,seed=5,state=" + file, error)) << error;
        const std::string path = s.bus().deviceOf(0).windowsPath;
        EXPECT_FALSE(QV_SerialFlashWrite(path, 0x60000, page.data(), 4096));
        EXPECT_TRUE(s.bus().devices().empty());
        s.clock().advanceMs(60000);
        EXPECT_TRUE(s.bus().devices().empty());
    }
    {
        sim::Session s;
        std::string error;
        ASSERT_TRUE(s.bus().addEnclosure("qvr298,state=" + file, error)) << error;
        const auto& f = s.bus().enclosure(0).flash();
        const size_t programmed = static_cast<size_t>(std::count(f.begin() + 0x60000, f.begin() + 0x61000, 0x00));
        EXPECT_GT(programmed, 0u);
        EXPECT_LT(programmed, 4096u);
        EXPECT_EQ(f[0x60000], 0x00);
        EXPECT_EQ(f[0x60FFF], 0xFF);
    }
    std::remove(file.c_str());
}

}  // namespace
