// Which Linux devices may be sent a vendor command, judged from a pretend sysfs tree.
#include <gtest/gtest.h>

#include <scsi/sg.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "sys/clock.h"

#include "support/fake_sysfs.h"
#include "transport/linux/sg_backend.h"

namespace fs = std::filesystem;

using testing_support::FakeSysfs;

TEST(LinuxTransportGuard, OnlyUsbStorageUasAndSbp2AreBridges) {
    FakeSysfs s;
    s.add("sg0", "pci0/ata1/host0/target0:0:0/0:0:0:0", "pci0/ata1", "ahci", "sda");
    s.add("sg1", "pci0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0", "pci0/usb1/1-1/1-1:1.0", "usb-storage", "sdb");
    s.add("sg2", "pci0/usb2/2-1/2-1:1.0/host7/target7:0:0/7:0:0:0", "pci0/usb2/2-1/2-1:1.0", "uas", "sdc");
    s.add("sg3", "pci0/fw0/fw1.0/host8/target8:0:0/8:0:0:0", "pci0/fw0/fw1.0", "firewire_sbp2", "sdd");
    const std::string r = s.root.string();
    EXPECT_EQ(transport::bridgeTransportOf("/dev/sg0", r), "");
    EXPECT_EQ(transport::bridgeTransportOf("/dev/sg1", r), "usb-storage");
    EXPECT_EQ(transport::bridgeTransportOf("/dev/sg2", r), "uas");
    EXPECT_EQ(transport::bridgeTransportOf("/dev/sg3", r), "firewire_sbp2");
    EXPECT_EQ(transport::bridgeTransportOf("/dev/../etc/passwd", r), "");
    EXPECT_EQ(transport::scanBridgeNodes(r), (std::vector<std::string>{"/dev/sg1", "/dev/sg2", "/dev/sg3"}));

    // The internal disk is never opened for anything but the harmless standard commands.
    transport::LinuxSgBackend b(r);
    const uint8_t chipInfo[12] = {0xE0, 0xF4, 0xE7};
    transport::Request req;
    req.path = "/dev/sg0";
    req.cdb = chipInfo;
    req.cdbLen = 12;
    EXPECT_FALSE(b.execute(req).opened);

    const uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
    EXPECT_TRUE(transport::isHarmlessStandardCommand(inquiry, 6));
    const uint8_t writeBuffer[10] = {0x3B, 0x0E};
    EXPECT_FALSE(transport::isHarmlessStandardCommand(writeBuffer, 10));

    std::ofstream(s.root / "mounts") << "/dev/sdb1 /media/a vfat rw 0 0\n/dev/sdbb1 /media/x ext4 rw 0 0\n"
                                        "/dev/sdb2 /media/b ext4 rw 0 0\n";
    const auto v = transport::volumesOf("/dev/sg1", r, (s.root / "mounts").string());
    EXPECT_EQ(v.blockDevice, "/dev/sdb");
    EXPECT_EQ(v.mounts, (std::vector<std::string>{"/media/a", "/media/b"}));
}

// The guard's verdict is kept per device, not per name: a node that comes back as another device
// (an internal disk taking a bridge's freed number) is judged again.
TEST(LinuxTransportGuard, ANodeThatBecomesAnotherDeviceIsJudgedAgain) {
    FakeSysfs s;
    s.add("sg1", "pci0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0", "pci0/usb1/1-1/1-1:1.0", "usb-storage", "sdb");
    transport::LinuxSgBackend b(s.root.string());
    const uint8_t chipInfo[12] = {0xE0, 0xF4, 0xE7};
    transport::Request req;
    req.path = "/dev/sg1";
    req.cdb = chipInfo;
    req.cdbLen = 12;
    // Judged by the name sg1 in the pretend sysfs: a bridge's command gets as far as the open of
    // the node (which fails where this machine has no such node).
    const auto attempt = [&] { return b.execute(req); };
    for (int i = 0; i < 2; ++i) {
        const transport::Result r = attempt();
        EXPECT_TRUE(r.opened || r.lastError != 0) << "a bridge: opened, or tried to";
    }

    // The bridge leaves; an internal disk gets sg1. Its entry is new (made before the old one goes,
    // so it cannot reuse the old one's inode).
    const fs::path entry = s.root / "class/scsi_generic/sg1";
    s.add("sgX", "pci0/ata1/host0/target0:0:0/0:0:0:0", "pci0/ata1", "ahci", "sda");
    fs::remove_all(entry);
    fs::rename(s.root / "class/scsi_generic/sgX", entry);
    const transport::Result r = attempt();
    EXPECT_FALSE(r.opened);
    EXPECT_EQ(r.lastError, 0u) << "not a bridge: never opened";
}

// A node held by another program for a few opens; a wait broken by a stop and continue.
namespace {
struct PretendKernel final : transport::SgSystem {
    int busyOpens = 0, interruptedWaits = 0, opens = 0, submits = 0;
    uint8_t hostStatus = 0;
    fs::path leaves;   // the node's sysfs entry, taken away as the command ends
    int open(const char*, int) override {
        ++opens;
        if (busyOpens-- > 0) return errno = EBUSY, -1;
        return 7;
    }
    int close(int) override { return 0; }
    int ioctlSgIo(int, void*) override { return ++submits, 0; }   // SG_IO on a block node is not restarted
    long submit(int, const void*, size_t n) override { return ++submits, static_cast<long>(n); }
    int waitReadable(int, int) override { return interruptedWaits-- > 0 ? (errno = EINTR, -1) : 1; }
    long collect(int, void* hdr, size_t n) override {
        static_cast<sg_io_hdr_t*>(hdr)->status = 0;
        static_cast<sg_io_hdr_t*>(hdr)->host_status = hostStatus;
        if (!leaves.empty()) fs::rename(leaves, leaves.string() + "-gone");
        return static_cast<long>(n);
    }
};
}  // namespace

TEST(LinuxTransport, ACommandGoesOutOnceAndABusyNodeIsAskedAgain) {
    FakeSysfs s;
    s.addUsb("sg1", 1, "usb-storage", 0x728D, 0x2980);
    fs::create_directories(s.root / "block/sd1");
    fs::create_directory_symlink(fs::canonical(s.root / "class/scsi_generic/sg1/device"), s.root / "block/sd1/device");
    sys::VirtualClock clock;
    sys::ScopedClock useClock(clock);
    const uint8_t chipInfo[12] = {0xE0, 0xF4, 0xE7};
    uint8_t reply[16] = {};
    transport::Request req;
    req.cdb = chipInfo;
    req.cdbLen = 12;
    req.dir = transport::Direction::In;
    req.data = reply;
    req.xferLen = sizeof reply;
    struct Case { const char* node; int busy, interrupted; bool ok; uint32_t error; int opens; uint64_t waitedMs; uint8_t host = 0; bool leaves = false; };
    for (const Case& c : std::initializer_list<Case>{
             {"/dev/sg1", 0, 2, true, 0, 1, 0},          // Ctrl-Z, fg mid-command: still one submission
             {"/dev/sd1", 0, 0, true, 0, 1, 0},
             {"/dev/sg1", 2, 0, true, 0, 3, 400},        // held for two opens
             {"/dev/sg1", 9, 0, false, EBUSY, 5, 800},   // held throughout: busy
             {"/dev/sg1", 0, 0, false, 0, 1, 1000, 0x07},              // a host error, the device stays
             {"/dev/sg1", 0, 0, false, ENODEV, 1, 0, 0x07, true}}) {   // it left the bus mid-command
        SCOPED_TRACE(std::string(c.node) + " busy " + std::to_string(c.busy) + " host " + std::to_string(c.host));
        PretendKernel k;
        k.busyOpens = c.busy;
        k.interruptedWaits = c.interrupted;
        k.hostStatus = c.host;
        if (c.leaves) k.leaves = s.root / "class/scsi_generic/sg1";
        transport::LinuxSgBackend b(s.root.string(), k);
        req.path = c.node;
        const uint64_t before = clock.nowMs();
        const transport::Result r = b.execute(req);
        EXPECT_EQ(r.succeeded(req.dir), c.ok);
        EXPECT_EQ(r.lastError, c.error);
        EXPECT_EQ(k.opens, c.opens);
        EXPECT_EQ(k.submits, c.ok || c.host ? 1 : 0);
        EXPECT_EQ(clock.nowMs() - before, c.waitedMs);
    }
}
