#include "cli/linux/udev_facts.h"

#include <libudev.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

namespace cli {

namespace {

struct UdevFree {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
template <class T>
using Owned = std::unique_ptr<T, UdevFree>;

std::string attr(udev_device* d, const char* name) {
    const char* v = d ? udev_device_get_sysattr_value(d, name) : nullptr;
    return v ? v : "";
}

std::optional<uint16_t> hexAttr(udev_device* d, const char* name) {
    const std::string v = attr(d, name);
    char* end = nullptr;
    const unsigned long n = std::strtoul(v.c_str(), &end, 16);
    if (v.empty() || end == v.c_str() || n > 0xFFFF) return std::nullopt;
    return static_cast<uint16_t>(n);
}

// The disk (not its partitions) below the SCSI device, with the first of each kind of udev's links.
void fillDisk(udev* u, udev_device* scsi, NodeFacts& f) {
    Owned<udev_enumerate> e(udev_enumerate_new(u));
    if (!e || !scsi) return;
    udev_enumerate_add_match_subsystem(e.get(), "block");
    udev_enumerate_add_match_property(e.get(), "DEVTYPE", "disk");
    udev_enumerate_add_match_parent(e.get(), scsi);
    udev_enumerate_scan_devices(e.get());
    udev_list_entry* first = udev_enumerate_get_list_entry(e.get());
    if (!first) return;
    Owned<udev_device> disk(udev_device_new_from_syspath(u, udev_list_entry_get_name(first)));
    if (!disk) return;
    if (const char* node = udev_device_get_devnode(disk.get())) f.block = node;
    udev_list_entry* link = nullptr;
    udev_list_entry_foreach(link, udev_device_get_devlinks_list_entry(disk.get())) {
        const std::string_view l = udev_list_entry_get_name(link);
        using Kind = std::pair<std::string_view, std::string*>;
        for (const Kind& k : {Kind{"/dev/disk/by-id/", &f.byId}, Kind{"/dev/disk/by-path/", &f.byPath}})
            if (l.starts_with(k.first) && (k.second->empty() || l < *k.second)) *k.second = std::string(l);
    }
}

udev_device* scsiDeviceOf(udev_device* d) {
    return d ? udev_device_get_parent_with_subsystem_devtype(d, "scsi", "scsi_device") : nullptr;
}

Owned<udev_device> sgDevice(udev* u, const std::string& sgNode) {
    const std::string_view prefix = "/dev/";
    if (!sgNode.starts_with(prefix)) return nullptr;
    return Owned<udev_device>(udev_device_new_from_subsystem_sysname(u, "scsi_generic", sgNode.c_str() + prefix.size()));
}

}  // namespace

std::string udevSgNodeOf(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))) return {};
    Owned<udev> u(udev_new());
    if (!u) return {};
    Owned<udev_device> d(udev_device_new_from_devnum(u.get(), S_ISBLK(st.st_mode) ? 'b' : 'c', st.st_rdev));
    const char* subsystem = d ? udev_device_get_subsystem(d.get()) : nullptr;
    if (subsystem && std::string_view(subsystem) == "scsi_generic") return udev_device_get_devnode(d.get());
    // A partition stands for its disk; the disk's SCSI device has the generic node beside it.
    udev_device* scsi = scsiDeviceOf(d.get());
    Owned<udev_enumerate> e(scsi ? udev_enumerate_new(u.get()) : nullptr);
    if (!e) return {};
    udev_enumerate_add_match_subsystem(e.get(), "scsi_generic");
    udev_enumerate_add_match_parent(e.get(), scsi);
    udev_enumerate_scan_devices(e.get());
    udev_list_entry* first = udev_enumerate_get_list_entry(e.get());
    Owned<udev_device> sg(first ? udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(first)) : nullptr);
    const char* node = sg ? udev_device_get_devnode(sg.get()) : nullptr;
    return node ? node : "";
}

std::string udevUsbDevicePathOf(const std::string& sgNode) {
    Owned<udev> u(udev_new());
    Owned<udev_device> sg = u ? sgDevice(u.get(), sgNode) : nullptr;
    udev_device* usb = sg ? udev_device_get_parent_with_subsystem_devtype(sg.get(), "usb", "usb_device") : nullptr;
    const std::string_view path = usb ? udev_device_get_syspath(usb) : "";
    const std::string_view devices = "/sys/devices/";
    return path.starts_with(devices) ? std::string(path.substr(devices.size())) : std::string();
}

bool udevFactsOf(const std::string& sgNode, NodeFacts& facts) {
    Owned<udev> u(udev_new());
    Owned<udev_device> sg = u ? sgDevice(u.get(), sgNode) : nullptr;
    if (!sg) return false;
    NodeFacts f;
    f.sg = sgNode;
    fillDisk(u.get(), scsiDeviceOf(sg.get()), f);
    // Parents belong to the device they were asked from: none is freed here.
    if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(sg.get(), "usb", "usb_device")) {
        f.usbVendor = hexAttr(usb, "idVendor");
        f.usbProduct = hexAttr(usb, "idProduct");
        f.serial = attr(usb, "serial");
        f.port = udev_device_get_sysname(usb);
    } else {
        for (udev_device* p = udev_device_get_parent(sg.get()); p; p = udev_device_get_parent(p)) {
            const char* subsystem = udev_device_get_subsystem(p);
            if (!subsystem || std::string_view(subsystem) != "firewire" || attr(p, "guid").empty()) continue;
            f.serial = attr(p, "guid");
            f.port = udev_device_get_sysname(p);
            break;
        }
    }
    f.mounts = std::move(facts.mounts);
    facts = std::move(f);
    return true;
}

}  // namespace cli
