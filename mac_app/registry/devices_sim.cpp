#include <cstdio>

#include "mac_app/registry/devices.h"
#include "mac_app/registry/sim_services.h"
#include "sim/session.h"

namespace macapp {

namespace {

class SimEnvironment final : public DeviceEnvironment {
public:
    bool attach(const std::vector<std::string>& enclosures, std::string& error) {
        for (const auto& e : enclosures)
            if (!session_.bus().addEnclosure(e, error)) return false;
        services_ = std::make_unique<iokit::SimServices>(session_.bus(), &session_.clock());
        iokit::setServices(services_.get());
        return true;
    }
    ~SimEnvironment() override { iokit::setServices(nullptr); }
    void finish() override {
        std::string error;
        if (!session_.bus().saveState(error)) std::fprintf(stderr, "sim: %s\n", error.c_str());
    }

private:
    sim::Session session_;
    std::unique_ptr<iokit::SimServices> services_;
};

}  // namespace

std::unique_ptr<DeviceEnvironment> makeSimEnvironment(const std::vector<std::string>& enclosures, std::string& error) {
    auto env = std::make_unique<SimEnvironment>();
    if (!env->attach(enclosures, error)) return nullptr;
    return env;
}

}  // namespace macapp
