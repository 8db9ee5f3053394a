#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "cli/disk_use.h"
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

// A node we have reason to believe is one of our bridges before sending it a vendor command: our
// USB vendor id, the VID/PID a settings file names, or the 1394 vendor of our bridges.
bool introducesItselfAsOurs(const transport::NodeIdentity& id, const ProbePolicy& policy) {
    if (id.usbVendor == vendor::kMakerUsbVendorId) return true;
    if (policy.settingsVid && id.usbVendor == policy.settingsVid && id.usbProduct == policy.settingsPid) return true;
    return id.fireWireVendor == vendor::kMakerFireWireVendorId;
}

bool deniedByRights() {
    const transport::Result& r = transport::lastResult();
    return !r.opened && (r.lastError == EACCES || r.lastError == EPERM);
}

// The SCSI devices behind usb-storage, uas or firewire-sbp2 that answer as one of our bridges.
// Other makers' bridges use vendor opcodes of the same range for commands of their own, some
// passed on to the disk: a node that neither names one of our bridges in its INQUIRY nor
// introduces itself as ours is not sent the GPIO read unless the user asks (--probe-all).
//
// The workers of `update --all` scan through one session at once (each waits for its own bridge
// after its reset): what a scan leaves behind for the caller is kept under a lock.
class HardwareSession final : public DeviceSession {
public:
    HardwareSession(std::string sysfsRoot, std::string devRoot) : sysfs_(std::move(sysfsRoot)), dev_(std::move(devRoot)) {}

    std::vector<vendor::Candidate> candidates(const ProbePolicy& policy) override {
        std::vector<vendor::Candidate> out;
        std::vector<std::string> denied;
        size_t unprobed = 0;
        for (const auto& node : transport::scanBridgeNodes(sysfs_)) {
            if (leftAlone(node)) continue;
            const transport::NodeIdentity id = transport::identifyNode(node, sysfs_);
            bool bridge = vendor::IsBridgeByInquiry(node);
            if (!bridge && deniedByRights()) {
                denied.push_back(node);
                continue;
            }
            if (!bridge) {
                if (!policy.all && !introducesItselfAsOurs(id, policy)) {
                    ++unprobed;
                    continue;
                }
                uint8_t gpio[2] = {};
                bridge = IDEAccess::GetGPIO(node, gpio);
            }
            if (bridge) out.push_back({node, busOfTransport(id.transport)});
        }
        std::lock_guard<std::mutex> lock(mutex_);
        unprobed_ = unprobed;
        deniedNodes_.insert(deniedNodes_.end(), denied.begin(), denied.end());
        return out;
    }
    std::string resolveNode(const std::string& path) override { return transport::sgNodeOf(path, sysfs_); }
    std::optional<vendor::Candidate> named(const std::string& path, const ProbePolicy& policy) override {
        const transport::NodeIdentity id = transport::identifyNode(path, sysfs_);
        if (!policy.all && !introducesItselfAsOurs(id, policy) && !vendor::IsBridgeByInquiry(path)) {
            if (!deniedByRights()) {
                std::lock_guard<std::mutex> lock(mutex_);
                unprobed_ = 1;
            }
            return std::nullopt;
        }
        return vendor::Candidate{path, busOfTransport(id.transport)};
    }
    uint32_t transferLimit(const std::string& path) override { return transport::transferLimitOf(path, sysfs_); }
    NodeFacts factsOf(const std::string& path) override {
        NodeFacts f;
        const transport::NodeIdentity id = transport::identifyNode(path, sysfs_);
        const transport::LinuxVolumes v = transport::volumesOf(path, sysfs_);
        const transport::PersistentNames names =
            transport::persistentNamesOf(v.blockDevice.substr(v.blockDevice.rfind('/') + 1), dev_);
        f.sg = path;
        f.block = v.blockDevice;
        f.byId = names.byId;
        f.byPath = names.byPath;
        f.usbVendor = id.usbVendor;
        f.usbProduct = id.usbProduct;
        f.serial = id.serial;
        f.port = id.port;
        f.mounts = v.mounts;
        return f;
    }
    size_t leftUnprobed() const override {
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
    std::string serialOf(const std::string& path) override { return transport::identifyNode(path, sysfs_).serial; }
    // The USB device above the node in sysfs ("pci0000:00/0000:00:14.0/usb1/1-2"): the port stays
    // when the node's number changes with a reset.
    std::string portOf(const std::string& path) override {
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
    std::string sysfs_, dev_;
    mutable std::mutex mutex_;
    std::vector<std::string> deniedNodes_;
    size_t unprobed_ = 0;
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
