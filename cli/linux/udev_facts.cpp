#include "cli/linux/udev_facts.h"

#include <libudev.h>

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

}  // namespace

bool udevFactsOf(const std::string& sgNode, NodeFacts& facts) {
    const std::string_view prefix = "/dev/";
    if (!sgNode.starts_with(prefix)) return false;
    Owned<udev> u(udev_new());
    if (!u) return false;
    Owned<udev_device> sg(udev_device_new_from_subsystem_sysname(u.get(), "scsi_generic", sgNode.c_str() + prefix.size()));
    if (!sg) return false;
    NodeFacts f;
    f.sg = sgNode;
    fillDisk(u.get(), udev_device_get_parent_with_subsystem_devtype(sg.get(), "scsi", "scsi_device"), f);
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
