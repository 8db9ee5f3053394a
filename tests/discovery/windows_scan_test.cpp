// The Windows program's scan against emulated enclosures: interface paths, the bridge test, chip
// identification, drive letters and the list rows.
#include <gtest/gtest.h>

#include "sim/session.h"
#include "sim/win_devices.h"
#include "discovery/device_table.h"
#include "discovery/discovery.h"

namespace {

struct WindowsScan : ::testing::Test {
    sim::Session session;
    sim::SimWinDevices win{session.bus()};
    void SetUp() override { transport::setWinDeviceApi(&win); }
    void TearDown() override { transport::setWinDeviceApi(nullptr); }
    void add(const char* enclosure) {
        std::string error;
        ASSERT_TRUE(session.bus().addEnclosure(enclosure, error)) << error;
    }
    vendor::DeviceListing scan() {
        std::vector<vendor::Candidate> candidates;
        for (const auto& p : vendor::EnumerateBridgeDevices(true).paths) candidates.push_back({p, {}});
        return vendor::listBridges(candidates, [](const std::string& p) { return vendor::FindDriveLetters(p); });
    }
};

}  // namespace

TEST_F(WindowsScan, RowsBusLabelsChipsAndLetters) {
    add("qvr298,fw=31.01.01.10");
    add("qvd525,bus=1394");
    add("qvr256,bus=uas");
    const auto listing = scan();
    ASSERT_EQ(listing.devices.size(), 3u);
    struct Want { const char* prefix; const char* bus; vendor::ChipType type; const char* letters; };
    const Want want[] = {{"<<USB>> ", "USB DISK", 16, "E"}, {"<<1394>> ", "1394 DISK", 8, "F"},
                         {"<<UASP>> ", "UASP DISK", 13, "G"}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const auto& d = listing.devices[i];
        EXPECT_EQ(d.rowText.rfind(want[i].prefix, 0), 0u);
        EXPECT_EQ(d.rowText.size(), std::string(want[i].prefix).size() + 24) << "the 24 inquiry characters";
        EXPECT_EQ(d.busLabel, want[i].bus);
        EXPECT_EQ(d.chip.type, want[i].type);
        EXPECT_EQ(d.record.driveLetters, want[i].letters);
        EXPECT_EQ(d.record.path, vendor::toLowerAscii(d.record.path));
        EXPECT_EQ(d.record.recoveryMark, 0);
    }
}

TEST_F(WindowsScan, SecondVolumeAndNetworkDrive) {
    add("qvr298");
    win.addVolume('G', session.bus().devices()[0].number);
    win.addNetworkDrive('H');
    const auto listing = scan();
    ASSERT_EQ(listing.devices.size(), 1u);
    EXPECT_EQ(listing.devices[0].record.driveLetters, "EG");
}

TEST_F(WindowsScan, ChipsWithoutFirmwareUpdateStillListedUnknownOnesNot) {
    add("qv84553g");   // no chip information record: typed by its GPIO word
    const auto listing = scan();
    ASSERT_EQ(listing.devices.size(), 1u);
    EXPECT_GE(listing.devices[0].chip.type, 31);
    EXPECT_LE(listing.devices[0].chip.type, 34);
}

TEST_F(WindowsScan, NoEnclosureNoDevice) {
    EXPECT_TRUE(vendor::EnumerateBridgeDevices(true).paths.empty());
    EXPECT_TRUE(scan().devices.empty());
}
