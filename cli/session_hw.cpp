#include <cerrno>

#include "cli/session.h"
#include "transport/scsi.h"
#include "transport/linux/sg_backend.h"
#include "vendor/discovery.h"

namespace cli {

namespace {

std::string busLabelOfTransport(const std::string& driver) {
    if (driver == "uas") return "UASP DISK";
    if (driver == "firewire_sbp2") return "1394 DISK";
    return "USB DISK";
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
            out.push_back({node, busLabelOfTransport(transport::bridgeTransportOf(node))});
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
