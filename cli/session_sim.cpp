#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <map>
#include <filesystem>
#include <string>

#include "cli/session.h"
#include "sim/enclosure_config.h"
#include "sim/session.h"
#include "transport/backend.h"

namespace cli {

namespace {

// The key an enclosure's text may carry for its host's transfer limit in KiB ("xferkb=32": a USB
// bridge with the 64-sector quirk), taken out before the emulator reads the text. 0 when absent.
uint32_t takeTransferLimitKiB(std::string& text) {
    const std::string key = ",xferkb=";
    const size_t at = text.find(key);
    if (at == std::string::npos) return 0;
    const size_t end = text.find(',', at + 1);
    const std::string value = text.substr(at + key.size(), end == std::string::npos ? std::string::npos : end - at - key.size());
    text.erase(at, end == std::string::npos ? std::string::npos : end - at);
    return value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 7
               ? UINT32_MAX
               : static_cast<uint32_t>(std::stoul(value));
}

// Passes every command on to the emulator, except a data phase larger than its device's limit.
class LimitedHost final : public transport::Backend {
public:
    explicit LimitedHost(transport::Backend& inner) : inner_(inner) {}
    transport::Result execute(const transport::Request& req) override {
        if (const auto it = limits.find(std::string(req.path)); it != limits.end() && transport::exceedsTransferLimit(req, it->second)) {
            transport::Result r;
            r.lastError = EOVERFLOW;
            return r;
        }
        return inner_.execute(req);
    }
    std::map<std::string, uint32_t> limits;   // by device path, bytes

private:
    transport::Backend& inner_;
};

// The emulated enclosures live for the command; their state files are saved when it ends.
class SimSession final : public DeviceSession {
public:
    bool attach(const std::vector<std::string>& enclosures, std::string& error) {
        std::vector<uint32_t> kib;
        for (std::string s : enclosures) {
            kib.push_back(takeTransferLimitKiB(s));
            if (kib.back() == UINT32_MAX) {
                error = "xferkb= takes the transfer limit in KiB, a whole number";
                return false;
            }
            if (!session_.bus().addEnclosure(s, error)) return false;
        }
        // Devices are numbered in the order their enclosures were attached, one per enclosure.
        const auto devices = session_.bus().devices();
        for (size_t i = 0; i < devices.size() && i < kib.size(); ++i) {
            if (kib[i] == 0) continue;
            host_.limits[devices[i].linuxPath] = kib[i] * 1024;
            host_.limits[devices[i].windowsPath] = kib[i] * 1024;
        }
        return true;
    }
    uint32_t transferLimit(const std::string& path) override {
        const auto it = host_.limits.find(path);
        return it == host_.limits.end() ? 0 : it->second;
    }
    std::vector<vendor::Candidate> candidates(const ProbePolicy&) override {
        std::vector<vendor::Candidate> out;
        for (const auto& d : session_.bus().devices())
            if (!leftAlone(d.linuxPath)) out.push_back({d.linuxPath, busOf(d.bus)});
        return out;
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
    static vendor::Bus busOf(sim::BusKind b) {
        switch (b) {
            case sim::BusKind::Uas: return vendor::Bus::Uas;
            case sim::BusKind::Ieee1394: return vendor::Bus::Ieee1394;
            case sim::BusKind::Usb: break;
        }
        return vendor::Bus::Usb;
    }

    sim::Session session_;
    LimitedHost host_{transport::backend()};
    transport::ScopedBackend useHost_{host_};
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
