#include <cerrno>

#include "cli/session.h"
#include "transport/scsi.h"
#include "transport/linux/sg_backend.h"
#include "vendor/discovery.h"

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
class HardwareSession final : public DeviceSession {
public:
    std::vector<vendor::Candidate> candidates() override {
        std::vector<vendor::Candidate> out;
        for (const auto& node : transport::scanBridgeNodes()) {
            if (!vendor::answersAsBridge(node)) {
                const transport::Result& r = transport::lastResult();
                if (!r.opened && (r.lastError == EACCES || r.lastError == EPERM)) deniedNodes_.push_back(node);
                continue;
            }
            out.push_back({node, busOf(node)});
        }
        return out;
    }
    std::vector<std::string> takeWarnings() override {
        std::vector<std::string> w;
        for (const auto& n : deniedNodes_)
            w.push_back("cannot open " + n + ": permission denied. Vendor commands need read and write access "
                        "to the device: install the udev rules (60-q55x.rules, installed with q55x), add yourself "
                        "to the plugdev group (sudo usermod -aG plugdev $USER), log in again and plug the "
                        "enclosure in again; or run q55x as root.");
        deniedNodes_.clear();
        return w;
    }
    std::optional<vendor::Bus> busOf(const std::string& path) override {
        return busOfTransport(transport::bridgeTransportOf(path));
    }
    std::string volumesOf(const std::string& path) override {
        const auto v = transport::volumesOf(path);
        std::string s = v.blockDevice;
        for (const auto& m : v.mounts) s += " " + m;
        return s;
    }

private:
    std::vector<std::string> deniedNodes_;
};

}  // namespace

std::unique_ptr<DeviceSession> makeHardwareSession() { return std::make_unique<HardwareSession>(); }

}  // namespace cli
