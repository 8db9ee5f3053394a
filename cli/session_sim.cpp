#include <unistd.h>

#include <atomic>
#include <filesystem>
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
    std::vector<vendor::Candidate> candidates(const ProbePolicy&) override {
        std::vector<vendor::Candidate> out;
        for (const auto& d : session_.bus().devices())
            if (!leftAlone(d.linuxPath)) out.push_back({d.linuxPath, busOf(d.bus)});
        return out;
    }
    std::string volumesOf(const std::string&) override { return {}; }
    // An emulated enclosure lives as long as its state file: that is its serial number. One without
    // a state file is gone at the end of the run; its number is this run's own.
    std::string serialOf(const std::string& path) override {
        for (const auto& d : session_.bus().devices()) {
            if (d.linuxPath != path && d.windowsPath != path) continue;
            const std::string& state = session_.bus().enclosure(d.enclosure).config().stateFile;
            std::error_code ec;
            if (!state.empty()) return "state:" + std::filesystem::absolute(state, ec).lexically_normal().string();
            return "run " + std::to_string(::getpid()) + "." + std::to_string(run_) + "-" + std::to_string(d.number);
        }
        return {};
    }
    // The emulated host: the disk's first partition mounted where the enclosure's text says.
    std::vector<std::string> diskUsers(const std::string& path) override {
        for (const auto& d : session_.bus().devices())
            if (d.linuxPath == path || d.windowsPath == path) {
                const std::string& at = session_.bus().enclosure(d.enclosure).config().diskMountedOn;
                if (!at.empty()) return {"/dev/sd" + std::string(1, static_cast<char>('a' + d.number % 26)) + "1 is mounted on " + at};
            }
        return {};
    }
    std::optional<vendor::Bus> busOf(const std::string& path) override {
        for (const auto& d : session_.bus().devices())
            if (d.linuxPath == path || d.windowsPath == path) return busOf(d.bus);
        return std::nullopt;
    }

private:
    static vendor::Bus busOf(sim::BusKind b) {
        switch (b) {
            case sim::BusKind::Uas: return vendor::Bus::Uas;
            case sim::BusKind::Ieee1394: return vendor::Bus::Ieee1394;
            case sim::BusKind::Usb: break;
        }
        return vendor::Bus::Usb;
    }

    sim::Session session_;
    const unsigned run_ = ++runs;   // sessions of this process, for the serials of enclosures without a state file
    static inline std::atomic<unsigned> runs{0};
};

}  // namespace

std::unique_ptr<DeviceSession> makeSimSession(const std::vector<std::string>& enclosures, std::string& error) {
    auto s = std::make_unique<SimSession>();
    if (!s->attach(enclosures, error)) return nullptr;
    return s;
}

std::string simHelp() { return sim::simHelpText(); }

}  // namespace cli
