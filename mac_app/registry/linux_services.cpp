#include "mac_app/registry/linux_services.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "transport/linux/sg_backend.h"

namespace iokit {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kFallbackScanMs = 2000;

std::string readLine(const fs::path& p) {
    std::ifstream f(p);
    std::string s;
    std::getline(f, s);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

// The system's location number of a USB device from its sysfs name "BUS-PORT.PORT...": the bus in
// the top byte, one nibble per port below it (0 when the name is not of that shape).
uint64_t usbLocationOf(const std::string& name) {
    const size_t dash = name.find('-');
    if (dash == 0 || dash == std::string::npos) return 0;
    uint64_t location = 0;
    unsigned long bus = 0;
    try {
        bus = std::stoul(name.substr(0, dash));
    } catch (const std::exception&) {
        return 0;
    }
    location = (bus & 0xFF) << 24;
    int shift = 20;
    size_t at = dash + 1;
    while (at < name.size() && shift >= 0) {
        const size_t dot = name.find('.', at);
        const std::string part = name.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos) return 0;
        location |= (std::stoul(part) & 0xF) << shift;
        shift -= 4;
        if (dot == std::string::npos) break;
        at = dot + 1;
    }
    return location;
}

bool readHex(const fs::path& p, uint64_t& value) {
    const std::string s = readLine(p);
    if (s.empty()) return false;
    char* end = nullptr;
    value = std::strtoull(s.c_str(), &end, 16);
    return end && *end == '\0';
}

uint32_t objectOf(const std::string& node) {
    const std::string name = fs::path(node).filename().string();
    if (name.rfind("sg", 0) != 0 || name.size() < 3) return 0;
    const long n = std::strtol(name.c_str() + 2, nullptr, 10);
    if (n < 0 || n > 0xFFFFF) return 0;
    return LinuxServices::kObjectBase + static_cast<uint32_t>(n);
}

}  // namespace

LinuxServices::LinuxServices(std::string sysfsRoot, bool listenForEvents) : sysfs_(std::move(sysfsRoot)) {
    if (listenForEvents) {
        socket_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        if (socket_ >= 0) {
            sockaddr_nl addr{};
            addr.nl_family = AF_NETLINK;
            addr.nl_groups = 1;   // kernel uevents
            if (::bind(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                ::close(socket_);
                socket_ = -1;
            }
        }
    }
    rescan();
    runLoopRunFor(runLoopGetCurrent(), 0);   // what is there already raises no notification
}

LinuxServices::~LinuxServices() {
    if (socket_ >= 0) ::close(socket_);
}

ServiceRecord LinuxServices::recordOf(const std::string& node) const {
    ServiceRecord r;
    const std::string transportName = transport::bridgeTransportOf(node, sysfs_);
    const uint32_t object = objectOf(node);
    if (transportName.empty() || object == 0) return r;
    r.object = object;
    const std::string name = fs::path(node).filename().string();
    std::error_code ec;
    const fs::path scsiDevice = fs::canonical(fs::path(sysfs_) / "class/scsi_generic" / name / "device", ec);

    r.parents = {{"IOSCSIPeripheralDeviceNub", {}}, {"IOSCSILogicalUnitNub", {}}};
    if (transportName == "firewire_sbp2") {
        uint64_t guid = 0;
        for (fs::path p = scsiDevice; !ec && !p.empty() && p != p.root_path(); p = p.parent_path())
            if (readHex(p / "guid", guid)) break;
        // Four steps up from the device object must reach the unit that carries the GUID.
        r.parents.push_back({"IOFireWireSBP2LUN", {}});
        r.parents.push_back({"IOFireWireDevice", {{"GUID", guid}}});
        r.parents.push_back({"IOFireWireController", {}});
    } else {
        uint64_t vid = 0, pid = 0;
        std::string product;
        uint64_t location = 0;
        for (fs::path p = scsiDevice; !ec && !p.empty() && p != p.root_path(); p = p.parent_path())
            if (readHex(p / "idVendor", vid) && readHex(p / "idProduct", pid)) {
                product = readLine(p / "product");
                location = usbLocationOf(p.filename().string());
                break;
            }
        if (transportName == "uas") {
            r.parents.push_back({"IOUSBAttachedSCSI", {}});
            r.parents.push_back({"IOUSBInterface", {}});
        } else {
            r.parents.push_back({"IOUSBMassStorageDriver", {}});
        }
        r.parents.push_back({product.empty() ? "USB Device" : product,
                             {{"idVendor", vid}, {"idProduct", pid}, {"locationID", location}}});
        r.parents.push_back({"USB Port", {}});
    }
    std::string media = readLine(scsiDevice / "vendor");
    const std::string model = readLine(scsiDevice / "model");
    if (!model.empty()) media += (media.empty() ? "" : " ") + model;
    r.children = {{"IOBlockStorageServices", {}}, {"IOBlockStorageDriver", {}}, {media + " Media", {}}};
    return r;
}

void LinuxServices::rescan() {
    std::vector<maclib::MakerDevice> now;
    std::vector<ServiceRecord> records;
    for (const std::string& node : transport::scanBridgeNodes(sysfs_)) {
        ServiceRecord r = recordOf(node);
        if (r.object == 0) continue;
        now.push_back({r.object, node});
        records.push_back(std::move(r));
    }
    std::vector<maclib::MakerDevice> before;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        before = known_;
        known_ = now;
    }
    const auto has = [](const std::vector<maclib::MakerDevice>& v, const maclib::MakerDevice& d) {
        return std::any_of(v.begin(), v.end(), [&](const auto& x) { return x.object == d.object && x.path == d.path; });
    };
    for (const auto& d : before)
        if (!has(now, d)) serviceTerminated(d.object);
    for (size_t i = 0; i < now.size(); ++i)
        if (!has(before, now[i])) serviceArrived(records[i]);
}

std::vector<maclib::MakerDevice> LinuxServices::list() {
    std::lock_guard<std::mutex> lock(mutex_);
    return known_;
}

void LinuxServices::waitForChanges(unsigned ms) {
    if (socket_ < 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(ms));
        lock.unlock();
        sinceScanMs_ += ms;
        if (sinceScanMs_ >= kFallbackScanMs) {
            sinceScanMs_ = 0;
            rescan();
        }
        return;
    }
    pollfd p{socket_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(ms)) <= 0) return;
    bool relevant = false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(socket_, buffer, sizeof buffer - 1, MSG_DONTWAIT);
        if (n <= 0) break;
        buffer[n] = '\0';
        // "ACTION@DEVPATH" then NUL-separated KEY=VALUE lines.
        if (std::string_view(buffer, static_cast<size_t>(n)).find("scsi_generic") != std::string_view::npos) relevant = true;
    }
    if (relevant) rescan();
}

}  // namespace iokit
