// A pretend sysfs tree in a temporary folder: SCSI generic nodes whose devices sit under a driver
// of our choice, with the USB or 1394 identity discovery reads above them.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace testing_support {

struct FakeSysfs {
    std::filesystem::path root;
    FakeSysfs() {
        const auto* t = ::testing::UnitTest::GetInstance();
        root = std::filesystem::temp_directory_path() /
               ("q55x-sysfs-" + std::to_string(t->random_seed()) + "-" + t->current_test_info()->name());
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root / "class/scsi_generic");
        std::filesystem::create_directories(root / "bus/drivers");
    }
    ~FakeSysfs() { std::filesystem::remove_all(root); }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    // A SCSI device at `devPath` (relative to devices/) whose ancestor `driverAt` is bound to
    // `driver`; sgN links to it, with block device `block`.
    void add(const std::string& sg, const std::string& devPath, const std::string& driverAt,
             const std::string& driver, const std::string& block) {
        namespace fs = std::filesystem;
        const fs::path dev = root / "devices" / devPath;
        fs::create_directories(dev / "block" / block);
        if (!driver.empty()) {
            fs::create_directories(root / "bus/drivers" / driver);
            fs::create_directory_symlink(root / "bus/drivers" / driver, root / "devices" / driverAt / "driver");
        }
        fs::create_directories(root / "class/scsi_generic" / sg);
        fs::create_directory_symlink(dev, root / "class/scsi_generic" / sg / "device");
        std::ofstream(dev / "vendor") << "Corvane \n";   // the SCSI device's INQUIRY vendor text
    }
    // A disk behind a USB bridge with these ids, under usb-storage or uas, on USB port `port`.
    void addUsb(const std::string& sg, int port, const std::string& driver, uint16_t vid, uint16_t pid) {
        const std::string usb = "pci0/usb1/1-" + std::to_string(port);
        add(sg, usb + "/1-" + std::to_string(port) + ":1.0/host" + std::to_string(port) + "/target0:0:0/0:0:0:0",
            usb + "/1-" + std::to_string(port) + ":1.0", driver, "sd" + sg.substr(2));
        write(usb + "/idVendor", vid);
        write(usb + "/idProduct", pid);
    }
    // A disk behind a 1394 bridge whose device carries this vendor (company id).
    void addFireWire(const std::string& sg, int node, uint32_t vendor) {
        const std::string device = "pci0/fw0/fw" + std::to_string(node);
        add(sg, device + "/fw" + std::to_string(node) + ".0/host9" + std::to_string(node) + "/target0:0:0/0:0:0:0",
            device + "/fw" + std::to_string(node) + ".0", "firewire_sbp2", "sd" + sg.substr(2));
        char text[16];
        std::snprintf(text, sizeof text, "0x%06x", vendor);
        std::ofstream(root / "devices" / device / "vendor") << text << "\n";
    }

private:
    void write(const std::string& rel, uint16_t v) {
        char text[8];
        std::snprintf(text, sizeof text, "%04x", v);
        std::ofstream(root / "devices" / rel) << text << "\n";
    }
};

}  // namespace testing_support
