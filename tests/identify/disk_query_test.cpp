// The disk queries for firmware that lives on the disk, from IDENTIFY DEVICE and READ CAPACITY(16).
#include <gtest/gtest.h>

#include <vector>

#include "support/scripted_device.h"
#include "transport/maclib/qvlib.h"
#include "identify/disk_query.h"

using testing_support::ScriptedDevice;

namespace {

constexpr const char* kIdentifyWin = "a1080b000000000040ec0000";
constexpr const char* kIdentifyMac = "a1080b0000000000a0ec0000";

// IDENTIFY data with 16-bit words set, least significant byte first.
std::vector<uint8_t> identify(std::initializer_list<std::pair<int, unsigned>> words) {
    std::vector<uint8_t> b(512, 0);
    for (auto [w, v] : words) {
        b[2 * w] = static_cast<uint8_t>(v);
        b[2 * w + 1] = static_cast<uint8_t>(v >> 8);
    }
    return b;
}

struct OneMacDevice final : maclib::MakerDeviceSource {
    std::vector<maclib::MakerDevice> list() override { return {{0x1234, "mac-dev"}}; }
};

}  // namespace

TEST(DiskQueries, CapacityTwoTerabyteTestAndSectorSize) {
    struct Case {
        const char* name;
        std::vector<uint8_t> id;   // empty: refused
        uint64_t sectors;
        bool lessThan2T;
        uint32_t sectorSize;
    };
    const Case cases[] = {
        {"28-bit count", identify({{60, 0x8AB0}, {61, 0x0EE7}, {100, 1}}), 0x0EE78AB0, true, 512},
        {"saturated: 48-bit count, 3 TB", identify({{60, 0xFFFF}, {61, 0x0FFF}, {100, 0xA3B0}, {101, 0x5D50}, {102, 1}}),
         0x15D50A3B0, false, 512},
        {"saturated, byte 204 zero", identify({{60, 0xFFFF}, {61, 0x0FFF}, {102, 0xFF00}}), 0xFF0000000000, true, 512},
        {"4096-byte logical sectors", identify({{106, 0x5000}, {117, 2048}}), 0, true, 4096},
        {"0x6000 with the size words empty", identify({{106, 0x6000}}), 0, true, 512},
        {"an absurd size", identify({{106, 0x5000}, {118, 0x8000}}), 0, true, 512},
        {"other word 106", identify({{106, 0x5001}, {117, 2048}}), 0, true, 512},
        {"identify refused", {}, 0, true, 512},
    };
    OneMacDevice source;
    maclib::setMakerDeviceSource(&source);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice d;
        if (!c.id.empty()) d.on(kIdentifyWin, c.id).on(kIdentifyMac, c.id);
        transport::ScopedBackend scope(d);
        uint64_t sectors = 0;
        EXPECT_EQ(IDEAccess::GetDiskCapacity("dev", &sectors), !c.id.empty());
        EXPECT_EQ(sectors, c.sectors);
        EXPECT_EQ(IDEAccess::IsLessThan2THDD("dev"), c.lessThan2T);
        EXPECT_EQ(qvaccess::IsLessThan2THDD(0x1234), c.lessThan2T);
        EXPECT_EQ(IDEAccess::GetLogicalSectorSize("dev"), c.sectorSize);
    }
    maclib::setMakerDeviceSource(nullptr);
}

TEST(DiskQueries, LastLbaIsBigEndian) {
    ScriptedDevice d;
    d.on("9e100000000000000000000000100000", {0, 0, 0, 0x01, 0x5D, 0x50, 0xA3, 0xAF, 0, 0, 0x02, 0});
    transport::ScopedBackend scope(d);
    uint64_t lba = 0;
    EXPECT_TRUE(IDEAccess::GetLastLba("dev", &lba));
    EXPECT_EQ(lba, 0x15D50A3AFull);
    ScriptedDevice refusing;
    transport::ScopedBackend refusingScope(refusing);
    EXPECT_FALSE(IDEAccess::GetLastLba("dev", &lba));
    EXPECT_EQ(lba, 0x15D50A3AFull) << "untouched on failure";
}
