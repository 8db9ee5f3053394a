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
    std::vector<vendor::Candidate> candidates() override {
        std::vector<vendor::Candidate> out;
        for (const auto& d : session_.bus().devices()) {
            const char* label = d.bus == sim::BusKind::Uas    ? "UASP DISK"
                                : d.bus == sim::BusKind::Ieee1394 ? "1394 DISK"
                                                                : "USB DISK";
            out.push_back({d.linuxPath, label});
        }
        return out;
    }
    std::string volumesOf(const std::string&) override { return {}; }

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
