#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "cli/disk_use.h"
#include "cli/linux/udev_facts.h"
#include "cli/probe_rule.h"
#include "cli/session.h"
#include "transport/scsi.h"
#include "transport/linux/sg_backend.h"
#include "bridge/IDEAccess.h"
#include "discovery/discovery.h"

namespace cli {

namespace {

// The bus the kernel reports for a node: the driver that carries its SCSI host.
std::optional<vendor::Bus> busOfTransport(const std::string& driver) {
    if (driver == "uas") return vendor::Bus::Uas;
    if (driver == "firewire_sbp2") return vendor::Bus::Ieee1394;
    if (driver == "usb-storage") return vendor::Bus::Usb;
    return std::nullopt;
}

// The SCSI devices behind usb-storage, uas or firewire-sbp2 that answer as one of our bridges.
// Other makers' bridges use vendor opcodes of the same range for commands of their own, some
// passed on to the disk: a node that does not introduce itself as ours is sent only the kernel's
// own INQUIRY unless the user asks (--probe-all); see probe_rule.h.
//
// The workers of `update --all` scan through one session at once (each waits for its own bridge
// after its reset): what a scan leaves behind for the caller is kept under a lock.
class HardwareSession final : public DeviceSession {
public:
    HardwareSession(std::string sysfsRoot, std::string devRoot) : sysfs_(std::move(sysfsRoot)), dev_(std::move(devRoot)) {}

    std::vector<vendor::Candidate> candidates(const ProbePolicy& policy) override {
        std::vector<ScanNode> nodes;
        for (const auto& node : transport::scanBridgeNodes(sysfs_))
            if (!leftAlone(node)) nodes.push_back(scanNode(node, policy));
        ScanResult r = prober_.scan(nodes, policy);
        std::lock_guard<std::mutex> lock(mutex_);
        unprobed_ = std::move(r.unprobed);
        deniedNodes_.insert(deniedNodes_.end(), r.denied.begin(), r.denied.end());
        return r.bridges;
    }
    std::string resolveNode(const std::string& path) override {
        if (onSystem())
            if (std::string sg = udevSgNodeOf(path); !sg.empty()) return sg;
        return transport::sgNodeOf(path, sysfs_);
    }
    std::optional<vendor::Candidate> named(const std::string& path, const ProbePolicy& policy) override {
        bool unprobed = false;
        auto c = prober_.named(scanNode(path, policy), policy, unprobed);
        std::lock_guard<std::mutex> lock(mutex_);
        unprobed_.clear();
        if (unprobed) unprobed_.push_back(path);
        return c;
    }
    uint32_t transferLimit(const std::string& path) override { return transport::transferLimitOf(path, sysfs_); }
    NodeFacts factsOf(const std::string& path) override {
        NodeFacts f;
        f.mounts = transport::volumesOf(path, sysfs_).mounts;
        if (onSystem() && udevFactsOf(path, f)) return f;
        // A pretend sysfs tree (the tests), or a build without libudev: sysfs read by hand.
        const transport::NodeIdentity id = transport::identifyNode(path, sysfs_);
        f.block = transport::volumesOf(path, sysfs_).blockDevice;
        const transport::PersistentNames names = transport::persistentNamesOf(f.block.substr(f.block.rfind('/') + 1), dev_);
        f.sg = path;
        f.byId = names.byId;
        f.byPath = names.byPath;
        f.usbVendor = id.usbVendor;
        f.usbProduct = id.usbProduct;
        f.serial = id.serial;
        f.port = id.port;
        return f;
    }
    std::vector<std::string> leftUnprobed() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return unprobed_;
    }
    std::vector<std::string> takeWarnings() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (deniedNodes_.empty()) return {};
        std::string nodes;
        for (const auto& n : deniedNodes_) nodes += (nodes.empty() ? "" : ", ") + n;
        deniedNodes_.clear();
        return {permissionAdvice(nodes)};
    }
    std::string serialOf(const std::string& path) override {
        if (NodeFacts f; onSystem() && udevFactsOf(path, f)) return f.serial;
        return transport::identifyNode(path, sysfs_).serial;
    }
    // The USB device above the node in sysfs ("pci0000:00/0000:00:14.0/usb1/1-2"): the port stays
    // when the node's number changes with a reset.
    std::string portOf(const std::string& path) override {
        if (onSystem())
            if (std::string usb = udevUsbDevicePathOf(path); !usb.empty()) return usb;
        namespace fs = std::filesystem;
        std::error_code ec;
        const std::string name = fs::path(path).filename().string();
        fs::path at = fs::canonical(fs::path(sysfs_) / "class/scsi_generic" / name / "device", ec);
        const fs::path devices = fs::canonical(fs::path(sysfs_) / "devices", ec);
        for (; !ec && !at.empty() && at != at.root_path() && at != devices; at = at.parent_path())
            if (fs::exists(at / "idVendor", ec)) return at.lexically_relative(devices).string();
        return {};
    }
    std::optional<vendor::Bus> busOf(const std::string& path) override {
        return busOfTransport(transport::bridgeTransportOf(path, sysfs_));
    }
    std::vector<std::string> diskUsers(const std::string& path) override {
        const std::string disk = transport::volumesOf(path, sysfs_).blockDevice;
        return disk.empty() ? std::vector<std::string>{} : cli::diskUsers(disk, sysfs_);
    }
    // O_EXCL on the whole disk's block device: the kernel refuses it (EBUSY) while a partition is
    // mounted or held, and refuses a mount or a claim while it stands.
    std::unique_ptr<DiskHold> holdDisk(const std::string& path, bool& busy, std::string& why) override {
        busy = false;
        const std::string disk = transport::volumesOf(path, sysfs_).blockDevice;
        if (disk.empty()) return why = "no block device behind " + path, nullptr;
        const std::string node = dev_ + "/" + std::filesystem::path(disk).filename().string();
        const int fd = ::open(node.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            busy = errno == EBUSY;
            why = node + ": " + std::strerror(errno);
            return nullptr;
        }
        struct Held final : DiskHold {
            explicit Held(int f) : fd(f) {}
            ~Held() override { ::close(fd); }
            int fd;
        };
        return std::make_unique<Held>(fd);
    }
    std::string volumesOf(const std::string& path) override {
        const auto v = transport::volumesOf(path, sysfs_);
        std::string s = v.blockDevice;
        for (const auto& m : v.mounts) s += " " + m;
        return s;
    }

private:
    // The machine's own devices, which udev knows; not a pretend tree.
    bool onSystem() const { return sysfs_ == "/sys" && dev_ == "/dev"; }
    ScanNode scanNode(const std::string& node, const ProbePolicy& policy) const {
        const transport::NodeIdentity id = transport::identifyNode(node, sysfs_);
        return {node, transport::nodeInstanceOf(node, sysfs_), introducesItselfAsOurs(id.usbVendor, id.usbProduct, id.fireWireVendor, policy), busOfTransport(id.transport)};
    }

    std::string sysfs_, dev_;
    NodeProber prober_{true};
    mutable std::mutex mutex_;
    std::vector<std::string> deniedNodes_;
    std::vector<std::string> unprobed_;
};

}  // namespace

std::string permissionAdvice(const std::string& nodes) {
    return "cannot open " + nodes +
           ": permission denied. Vendor commands need read and write access to the bridge's node. The udev rule "
           "60-q55x.rules gives it to the user logged in at the machine's seat, for our bridges only: it comes "
           "with the q55x package, or install it from the source with `sudo install -m 644 "
           "packaging/60-q55x.rules /etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm "
           "trigger`, then plug the enclosure in again. Over ssh, or without the rule, run q55x as root.";
}

std::unique_ptr<DeviceSession> makeHardwareSession(const std::string& sysfsRoot, const std::string& devRoot) {
    return std::make_unique<HardwareSession>(sysfsRoot, devRoot);
}

namespace {
HardwareSessionFactory gFactory;
}  // namespace

HardwareSessionFactory setHardwareSessionFactory(HardwareSessionFactory factory) {
    std::swap(gFactory, factory);
    return factory;
}

std::unique_ptr<DeviceSession> attachHardware() { return gFactory ? gFactory() : makeHardwareSession(); }

}  // namespace cli
