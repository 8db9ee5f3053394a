// The registry the macOS program's discovery walks, made up from a pretend Linux sysfs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "mac_app/registry/linux_services.h"

namespace fs = std::filesystem;

namespace {

struct FakeSysfs {
    fs::path root;
    FakeSysfs() {
        root = fs::temp_directory_path() / ("q55x-raid-sysfs-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "class/scsi_generic");
    }
    ~FakeSysfs() { fs::remove_all(root); }
    static void write(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text << "\n";
    }
    // sgN -> devices/<unit>/host/target/lun, the driver bound at <unit>/<iface>.
    void add(const std::string& sg, const std::string& unit, const std::string& iface, const std::string& driver) {
        const fs::path lun = root / "devices" / unit / iface / "host0/target0:0:0/0:0:0:0";
        fs::create_directories(lun);
        write(lun / "vendor", "Corvane ");
        write(lun / "model", "QVR298 Bridge   ");
        fs::create_directories(root / "bus/drivers" / driver);
        fs::create_directory_symlink(root / "bus/drivers" / driver, root / "devices" / unit / iface / "driver");
        fs::create_directories(root / "class/scsi_generic" / sg);
        fs::create_directory_symlink(lun, root / "class/scsi_generic" / sg / "device");
    }
};

// Four steps up, one more past a UAS transport: the entry whose identity counts.
const iokit::Entry& identity(const iokit::ServiceRecord& r) {
    size_t steps = 4;
    for (size_t i = 0; i < 4 && i < r.parents.size(); ++i)
        if (r.parents[i].name == "IOUSBAttachedSCSI") steps = 5;
    return r.parents.at(steps - 1);
}

uint64_t property(const iokit::Entry& e, const std::string& key) {
    for (const auto& [k, v] : e.properties)
        if (k == key) return v;
    return ~0ull;
}

}  // namespace

TEST(RaidLinuxServices, RegistryFromSysfs) {
    FakeSysfs s;
    s.add("sg0", "pci0/ata1", "port0", "ahci");
    s.add("sg1", "pci0/usb1/1-1", "1-1:1.0", "usb-storage");
    FakeSysfs::write(s.root / "devices/pci0/usb1/1-1/idVendor", "728d");
    FakeSysfs::write(s.root / "devices/pci0/usb1/1-1/idProduct", "3a5e");
    s.add("sg2", "pci0/usb2/2-1", "2-1:1.0", "uas");
    FakeSysfs::write(s.root / "devices/pci0/usb2/2-1/idVendor", "728d");
    FakeSysfs::write(s.root / "devices/pci0/usb2/2-1/idProduct", "3a5f");
    s.add("sg3", "pci0/fw0/fw1", "fw1.0", "firewire_sbp2");
    FakeSysfs::write(s.root / "devices/pci0/fw0/fw1/guid", "0x0030e0f000000005");

    iokit::LinuxServices services(s.root.string(), false);
    EXPECT_EQ(services.recordOf("/dev/sg0").object, 0u) << "an internal disk is no service of ours";

    const auto usb = services.recordOf("/dev/sg1");
    EXPECT_EQ(usb.object, iokit::LinuxServices::kObjectBase + 1);
    EXPECT_EQ(property(identity(usb), "idVendor"), 0x728Du);
    EXPECT_EQ(property(identity(usb), "idProduct"), 0x3A5Eu);

    const auto uas = services.recordOf("/dev/sg2");
    EXPECT_EQ(property(identity(uas), "idProduct"), 0x3A5Fu) << "read one level higher than plain USB";
    EXPECT_EQ(property(identity(usb), "locationID"), 0x01100000u) << "bus 1, port 1";
    EXPECT_EQ(property(identity(uas), "locationID"), 0x02100000u);

    const auto fw = services.recordOf("/dev/sg3");
    EXPECT_NE(identity(fw).name.find("FireWire"), std::string::npos);
    EXPECT_EQ(property(identity(fw), "GUID"), 0x0030E0F000000005u);
    ASSERT_EQ(fw.children.size(), 3u);
    EXPECT_EQ(fw.children[2].name, "Corvane QVR298 Bridge Media");

    const auto listed = services.list();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].path, "/dev/sg1");
}
