#include "cli/session.h"
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
            if (!vendor::answersAsBridge(node)) continue;
            out.push_back({node, busLabelOfTransport(transport::bridgeTransportOf(node))});
        }
        return out;
    }
    std::string volumesOf(const std::string& path) override {
        const auto v = transport::volumesOf(path);
        std::string s = v.blockDevice;
        for (const auto& m : v.mounts) s += " " + m;
        return s;
    }
};

}  // namespace

std::unique_ptr<DeviceSession> makeHardwareSession() { return std::make_unique<HardwareSession>(); }

}  // namespace cli
