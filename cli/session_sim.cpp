#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <filesystem>
#include <string>

#include "cli/probe_rule.h"
#include "cli/session.h"
#include "sim/enclosure_config.h"
#include "sim/session.h"
#include "transport/backend.h"

namespace cli {

namespace {

// Refuses a data phase larger than its device's host lets through (the enclosure's xferlimit=)
// before it goes out, as the Linux backend does with the kernel's limit; everything else goes on
// to the emulator.
class LimitedHost final : public transport::Backend {
public:
    explicit LimitedHost(transport::Backend& inner) : inner_(inner) {}
    transport::Result execute(const transport::Request& req) override {
        if (transport::exceedsTransferLimit(req, limitOf(std::string(req.path)))) {
            transport::Result r;
            r.lastError = EOVERFLOW;
            return r;
        }
        return inner_.execute(req);
    }
    uint32_t limitOf(const std::string& path) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = limits_.find(path);
        return it == limits_.end() ? 0 : it->second;
    }
    // A device arrived (at its first attach, or back from a reset at another node).
    void arrived(const sim::DeviceInfo& d, uint32_t limitKiB) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& path : {d.linuxPath, d.windowsPath}) limits_[path] = limitKiB * 1024;
    }

private:
    transport::Backend& inner_;
    mutable std::mutex mutex_;
    std::map<std::string, uint32_t> limits_;   // by device path, bytes
};

// The emulated enclosures live for the command; their state files are saved when it ends.
class SimSession final : public DeviceSession {
public:
    bool attach(const std::vector<std::string>& enclosures, std::string& error) {
        sim::Bus& bus = session_.bus();
        arrivals_ = bus.subscribe([this, &bus](const sim::BusEvent& e) {
            if (e.kind == sim::BusEvent::Kind::Arrival) host_.arrived(e.device, bus.enclosure(e.device.enclosure).config().transferLimitKiB);
        });
        for (const std::string& s : enclosures)
            if (!bus.addEnclosure(s, error)) return false;
        return true;
    }
    ~SimSession() override { session_.bus().unsubscribe(arrivals_); }
    uint32_t transferLimit(const std::string& path) override { return host_.limitOf(path); }
    // The emulated devices under the same rule as the machine's own (probe_rule.h).
    std::vector<vendor::Candidate> candidates(const ProbePolicy& policy) override {
        std::vector<ScanNode> nodes;
        for (const auto& d : session_.bus().devices())
            if (!leftAlone(d.linuxPath)) nodes.push_back(scanNode(d, policy));
        ScanResult r = prober_.scan(nodes, policy);
        std::lock_guard<std::mutex> lock(mutex_);
        unprobed_ = std::move(r.unprobed);
        return r.bridges;
    }
    std::optional<vendor::Candidate> named(const std::string& path, const ProbePolicy& policy) override {
        for (const auto& d : session_.bus().devices()) {
            if (d.linuxPath != path && d.windowsPath != path) continue;
            bool unprobed = false;
            auto c = prober_.named(scanNode(d, policy), policy, unprobed);
            std::lock_guard<std::mutex> lock(mutex_);
            unprobed_.clear();
            if (unprobed) unprobed_.push_back(path);
            return c;
        }
        return vendor::Candidate{path, std::nullopt};   // not on the bus: its commands fail as a departed device's
    }
    std::vector<std::string> leftUnprobed() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return unprobed_;
    }
    std::string volumesOf(const std::string&) override { return {}; }
    // An emulated enclosure lives as long as its state file: that is its serial number, unless its
    // text gives it one (serial=; none: it has none). One without either is gone at the end of the
    // run; its number is this run's own.
    std::string serialOf(const std::string& path) override {
        for (const auto& d : session_.bus().devices()) {
            if (d.linuxPath != path && d.windowsPath != path) continue;
            const sim::EnclosureConfig& config = session_.bus().enclosure(d.enclosure).config();
            if (config.usbSerial) return *config.usbSerial;
            std::error_code ec;
            if (!config.stateFile.empty()) return "state:" + std::filesystem::absolute(config.stateFile, ec).lexically_normal().string();
            return "run " + std::to_string(::getpid()) + "." + std::to_string(run_) + "-" + std::to_string(d.enclosure + 1);
        }
        return {};
    }
    // Each enclosure sits on a USB port of its own and keeps it across its resets.
    std::string portOf(const std::string& path) override {
        for (const auto& d : session_.bus().devices())
            if (d.linuxPath == path || d.windowsPath == path) return "pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(d.enclosure + 1);
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
    // The emulated host refuses the exclusive open while the disk is mounted or held out of sight.
    std::unique_ptr<DiskHold> holdDisk(const std::string& path, bool& busy, std::string& why) override {
        busy = false;
        for (const auto& d : session_.bus().devices())
            if (d.linuxPath == path || d.windowsPath == path) {
                if (!d.diskInUse) return std::make_unique<DiskHold>();
                busy = true;
                why = "/dev/sd" + std::string(1, static_cast<char>('a' + d.number % 26)) + ": Device or resource busy";
                return nullptr;
            }
        why = "no disk behind " + path;
        return nullptr;
    }
    std::optional<vendor::Bus> busOf(const std::string& path) override {
        for (const auto& d : session_.bus().devices())
            if (d.linuxPath == path || d.windowsPath == path) return busOf(d.bus);
        return std::nullopt;
    }

private:
    static ScanNode scanNode(const sim::DeviceInfo& d, const ProbePolicy& policy) {
        const bool fireWire = d.bus == sim::BusKind::Ieee1394;
        const bool ours = fireWire ? introducesItselfAsOurs({}, {}, sim::kBridgeMakerCompanyId, policy)
                                   : introducesItselfAsOurs(d.usbVendor, d.usbProduct, {}, policy);
        return {d.linuxPath, std::to_string(d.number), ours, busOf(d.bus)};
    }
    static vendor::Bus busOf(sim::BusKind b) {
        switch (b) {
            case sim::BusKind::Uas: return vendor::Bus::Uas;
            case sim::BusKind::Ieee1394: return vendor::Bus::Ieee1394;
            case sim::BusKind::Usb: break;
        }
        return vendor::Bus::Usb;
    }

    sim::Session session_;
    NodeProber prober_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> unprobed_;
    LimitedHost host_{transport::backend()};
    transport::ScopedBackend useHost_{host_};
    int arrivals_ = 0;
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
