#include "cli/session.h"
#include "transport/linux/sg_backend.h"

namespace cli {

namespace {

class HardwareSession final : public DeviceSession {
public:
    std::vector<std::string> candidates() override { return transport::scanBridgeNodes(); }
};

}  // namespace

std::unique_ptr<DeviceSession> makeHardwareSession() { return std::make_unique<HardwareSession>(); }

}  // namespace cli
