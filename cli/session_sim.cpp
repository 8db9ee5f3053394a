#include <string>

#include "cli/session.h"
#include "sim/enclosure_config.h"
#include "sim/session.h"

namespace cli {

namespace {

// The emulated enclosures live for the command; their state files are saved when it ends.
class SimSession final : public DeviceSession {
public:
    bool attach(const std::vector<std::string>& enclosures, std::string& error) {
        for (const auto& s : enclosures)
            if (!session_.bus().addEnclosure(s, error)) return false;
        return true;
    }
    std::vector<std::string> candidates() override {
        std::vector<std::string> paths;
        for (const auto& d : session_.bus().devices()) paths.push_back(d.linuxPath);
        return paths;
    }

private:
    sim::Session session_;
};

}  // namespace

std::unique_ptr<DeviceSession> makeSimSession(const std::vector<std::string>& enclosures, std::string& error) {
    auto s = std::make_unique<SimSession>();
    if (!s->attach(enclosures, error)) return nullptr;
    return s;
}

std::string simHelp() { return sim::simHelpText(); }

}  // namespace cli
