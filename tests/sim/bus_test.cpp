// The bus: device paths of every platform's shape, hot-plug events, resets that take the device
// away for a while, and enclosures that live across runs through their state file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <fstream>
#include <memory>
#include <unistd.h>
#include <vector>

#include "sim/session.h"
#include "bridge/IDEAccess.h"
#include "sim/state_file.h"
#include "support/enclosure_rig.h"

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

// A reset comes back after its delay, later by up to the jitter (seeded), at its node or a new one.
TEST(SimBus, AResetComesBackLateOrAtAnotherNode) {
    struct Case { const char* text; bool sameNode; uint64_t delayMs; };
    for (Case c : {Case{"qvr298,resetms=2000", true, 2000}, Case{"qvr298,resetms=2000,renode=1", false, 2000},
                   Case{"qvr298,resetms=2000,resetjitter=5000,seed=1", true, 4093}}) {
        testing_support::EnclosureRig rig(c.text);
        sim::Session& s = rig.session;
        const sim::DeviceInfo before = s.bus().deviceOf(0);
        ASSERT_TRUE(QV_ChipReset256(before.windowsPath));
        const uint64_t t0 = sys::nowMs();
        while (s.bus().devices().empty()) s.clock().advanceMs(1);
        EXPECT_EQ(sys::nowMs() - t0, c.delayMs) << c.text;
        const sim::DeviceInfo after = s.bus().deviceOf(0);
        EXPECT_EQ(after.windowsPath == before.windowsPath && after.linuxPath == before.linuxPath, c.sameNode) << c.text;
    }
}

// Twins with one USB serial, and a device with none, are named by their port on Windows; a ROM
// loader may answer with other USB identifiers (record and bus) or with no record at all.
TEST(SimBus, IdentitiesAsInTheField) {
    sim::Session s;
    std::string error;
    for (const char* text : {"qvr298,serial=QV0001", "qvr298,serial=QV0001,romid=05e3:0723", "qvr298,serial=none,romid=none"})
        ASSERT_TRUE(s.bus().addEnclosure(text, error)) << error;
    const std::vector<std::string> serials{"QV0001", "QV0001", ""}, paths{"#qv0001&0#", "#7&", "#7&"};
    const std::vector<Bytes> romIds{{0x72, 0x8D, 0x29, 0x80}, {0x05, 0xE3, 0x07, 0x23}, {0, 0, 0, 0}};
    for (size_t i = 0; i < 3; ++i) {
        const sim::DeviceInfo d = s.bus().deviceOf(i);
        EXPECT_EQ(d.usbSerial, serials[i]);
        EXPECT_NE(d.windowsPath.find(paths[i]), std::string::npos) << d.windowsPath;
        std::fill(s.bus().enclosure(i).flash().begin(), s.bus().enclosure(i).flash().end(), 0xFF);
        ASSERT_TRUE(QV_ChipReset256(d.windowsPath));
        s.clock().advanceMs(60000);
        uint64_t vid = 0;
        EXPECT_TRUE(s.bus().deviceOf(i).registryParents[3].property("idVendor", vid) && vid == (i == 1 ? 0x05E3u : 0x728Du));
        const Bytes info = s.bus().enclosure(i).chipInfo();
        EXPECT_EQ(Bytes(info.begin() + 2, info.begin() + 6), romIds[i]) << i;
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
        s.clock().advanceMs(10);   // then the protection bits, which this part keeps
        ASSERT_TRUE(QV_SerialFlashWriteEnable(path) && QV_SerialFlashCommand(path, {0x01, 0x1C}, false));
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
        ASSERT_TRUE(QV_SerialFlashWrite(path, 0x61000, data.data(), 4));
        ASSERT_TRUE((s.clock().advanceMs(10), QV_SerialFlashRead(path, 0x61000, back.data(), 4)));
        EXPECT_EQ(back, Bytes(4, 0xFF)) << "still protected";
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
    s.clock().advanceMs(1000);   // the flash is done with each command before the next
    ASSERT_TRUE(QV_SerialFlashWrite(path, 0x60000, data.data(), 4));   // the same bytes again: no change
    s.clock().advanceMs(1000);
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

// persist=shared: every process (here two attachments of one state file) reaches the one
// enclosure, as a real node: what one writes the other's next command reads, and no exit puts an
// older copy back over what another wrote.
TEST(SimBus, SharedStateIsOneEnclosureForEveryProcess) {
    const std::string file = tempStatePath("shared");
    std::remove(file.c_str());
    const Bytes data{0x12, 0x34, 0x56, 0x78};
    Bytes back(4);
    {
        sim::Session s;
        std::string error;
        for (int i = 0; i < 2; ++i) ASSERT_TRUE(s.bus().addEnclosure("qvr298,persist=shared,state=" + file, error)) << error;
        const std::string one = s.bus().deviceOf(0).windowsPath, other = s.bus().deviceOf(1).windowsPath;
        ASSERT_TRUE(QV_SerialFlashWrite(one, 0x60000, data.data(), 4));
        s.clock().advanceMs(1000);
        ASSERT_TRUE(QV_SerialFlashRead(other, 0x60000, back.data(), 4));
        EXPECT_EQ(back, data);
        ASSERT_TRUE(QV_SerialFlashSectorErase(other, 0x60000));
        s.clock().advanceMs(1000);
        ASSERT_TRUE(QV_SerialFlashRead(one, 0x60000, back.data(), 4));
        EXPECT_EQ(back, Bytes(4, 0xFF));
        ASSERT_TRUE(QV_SerialFlashWrite(one, 0x60000, data.data(), 4));
        s.clock().advanceMs(1000);
    }
    sim::EnclosureState st;
    bool exists = false;
    std::string error;
    ASSERT_TRUE(sim::loadStateFile(file, st, exists, error)) << error;
    EXPECT_EQ(Bytes(st.flash.begin() + 0x60000, st.flash.begin() + 0x60004), data);
    std::remove(file.c_str());
    std::remove((file + ".lock").c_str());
}

TEST(SimBus, PowerCutKeepsTheFlashAsItWasMidProgram) {
    const std::string file = tempStatePath("cut");
    std::remove(file.c_str());
    Bytes page(4096, 0x00);
    {
        sim::Session s;
        std::string error;
        // The first command is the program itself; gentle, the cut stops it between two bytes.
        ASSERT_TRUE(s.bus().addEnclosure("qvr298,powercut=1,seed=5,gentle=1,state=" + file, error)) << error;
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
