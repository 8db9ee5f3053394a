#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "transport/backend.h"
#include "discovery/discovery.h"

using namespace transport;

namespace {

// Interface list and volume table of a pretend Windows machine.
struct FakeWindows final : WinDeviceApi {
    std::vector<std::string> interfaces;
    unsigned unreadableFrom = ~0u;
    std::map<std::string, StorageDeviceNumber> numbers;   // device or volume path -> number
    uint32_t mask = 0;
    std::string windir = "C:\\WINDOWS";
    std::set<char> remote;
    std::vector<std::string> opened;

    bool openDiskInterfaces() override { return true; }
    bool diskInterfacePath(unsigned i, std::string& p) override {
        if (i >= interfaces.size() || i >= unreadableFrom) return false;
        p = interfaces[i];
        return true;
    }
    void closeDiskInterfaces() override {}
    bool deviceNumber(const std::string& p, StorageDeviceNumber& out) override {
        opened.push_back(p);
        auto it = numbers.find(p);
        if (it == numbers.end()) return false;
        out = it->second;
        return true;
    }
    uint32_t logicalDriveMask() override { return mask; }
    std::string windowsDirectory() override { return windir; }
    DriveKind driveType(const std::string& root) override {
        return remote.count(root[0]) ? DriveKind::Remote : DriveKind::Fixed;
    }
    void volume(char letter, uint32_t number) {
        mask |= 1u << (letter - 'A');
        numbers[std::string("\\\\.\\") + letter + ":"] = {7, number, 1};
    }
};

// Answers INQUIRY with a vendor code per path, and GPIO only where told.
struct Bridges final : Backend {
    std::map<std::string, std::string> codes;   // path -> bytes 36-39
    std::set<std::string> gpioOnly;
    Result execute(const Request& req) override {
        Result r;
        const std::string path(req.path);
        r.opened = true;
        r.platformOk = true;
        r.reported = req.xferLen;
        if (req.cdb[0] == 0x12 && codes.count(path)) {
            std::memset(req.data, ' ', req.xferLen);
            std::memcpy(req.data + 36, codes[path].data(), 4);
        } else if (req.cdb[0] == 0xDF && req.cdb[11] == 0xFF && gpioOnly.count(path)) {
            req.data[0] = 0x40;
        } else {
            r.scsiStatus = 2;
        }
        return r;
    }
};

struct DiscoveryTest : ::testing::Test {
    FakeWindows win;
    Bridges bridges;
    ScopedBackend scope{bridges};
    void SetUp() override { setWinDeviceApi(&win); }
    void TearDown() override { setWinDeviceApi(nullptr); }
};

std::string iface(const char* bus, int n) {
    return std::string("\\\\?\\") + bus + "#disk&ven_x&prod_y#" + std::to_string(n) + "#" + kDiskInterfaceGuid;
}

}  // namespace

TEST_F(DiscoveryTest, AcceptsByBusSubstringAndBridgeAnswer) {
    const std::string usb = iface("usbstor", 1), fw = iface("sbp2", 2), uas = iface("scsi", 3),
                      ide = iface("ide", 4), upper = iface("USBSTOR", 5), gpio = iface("usbstor", 6),
                      foreign = iface("usbstor", 7);
    win.interfaces = {usb, fw, uas, ide, upper, gpio, foreign};
    for (const auto& p : {usb, fw, uas, ide, upper}) bridges.codes[p] = "q298";
    bridges.codes[foreign] = "x123";
    bridges.gpioOnly.insert(gpio);

    EXPECT_EQ(vendor::EnumerateBridgeDevices(true).paths, (std::vector<std::string>{usb, fw, uas, gpio}));
    EXPECT_EQ(vendor::EnumerateBridgeDevices(false).paths, (std::vector<std::string>{usb, uas, gpio}))
        << "1394 devices only when asked for";
}

TEST_F(DiscoveryTest, StopsAtTheFirstUnreadableInterface) {
    for (int i = 0; i < 4; ++i) {
        win.interfaces.push_back(iface("usbstor", i));
        bridges.codes[win.interfaces.back()] = "q529";
    }
    win.unreadableFrom = 2;
    EXPECT_EQ(vendor::EnumerateBridgeDevices(true).paths.size(), 2u);
}

TEST_F(DiscoveryTest, NeverOverrunsItsSlots) {
    for (int i = 0; i < 20; ++i) {
        win.interfaces.push_back(iface("usbstor", i));
        bridges.codes[win.interfaces.back()] = "q298";
    }
    std::string longPath = iface("usbstor", 99) + std::string(300, 'x');
    win.interfaces.insert(win.interfaces.begin(), longPath);
    bridges.codes[longPath] = "q298";
    const auto e = vendor::EnumerateBridgeDevices(true);
    EXPECT_EQ(e.paths.size(), vendor::kMaxCandidates);
    EXPECT_EQ(e.leftOut, 5u);
    EXPECT_EQ(e.paths.front(), win.interfaces[1]);
}

TEST_F(DiscoveryTest, DriveLettersOfTheDeviceOnly) {
    const std::string dev = iface("usbstor", 1);
    win.numbers[dev] = {7, 2, 0};
    win.volume('C', 2);   // the system drive, even on this device
    win.volume('D', 0);
    win.volume('E', 2);
    win.volume('G', 2);
    win.volume('H', 2);
    win.remote.insert('H');
    EXPECT_EQ(vendor::FindDriveLetters(dev), "EG");
    for (const auto& p : win.opened) EXPECT_NE(p, "\\\\.\\H:") << "network drives are not opened";
    EXPECT_EQ(vendor::FindDriveLetters(iface("usbstor", 9)), "") << "no device number, no letters";
}

TEST(BusLabels, ByPath) {
    EXPECT_STREQ(vendor::busLabelOf("\\\\?\\sbp2#x").label, "1394 DISK");
    EXPECT_STREQ(vendor::busLabelOf("\\\\?\\scsi#x").rowPrefix, "<<UASP>> ");
    EXPECT_STREQ(vendor::busLabelOf("\\\\?\\usbstor#x").rowPrefix, "<<USB>> ");
}
