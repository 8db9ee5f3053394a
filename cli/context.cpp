#include "cli/context.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <ostream>

#include "cli/session.h"
#include "sys/bytes.h"
#include "transport/scsi.h"
#include "transport/trace.h"
#include "discovery/discovery.h"

namespace cli {

Context::Context(GlobalOptions opts, std::ostream& out, std::ostream& err)
    : opts_(std::move(opts)), out_(out), err_(err) {}

Context::Context(const Context& parent, GlobalOptions opts, std::ostream& out, std::ostream& err)
    : opts_(std::move(opts)), out_(out), err_(err), session_(parent.session_), ownsTrace_(false) {}

Context::~Context() {
    session_.reset();   // saves emulated state and restores the backend before the trace closes
    if (ownsTrace_ && !opts_.trace.empty()) transport::setTraceFile("");
}

bool Context::attach() {
    // The device table keeps a path of at most 255 characters; a longer one is refused rather
    // than cut short, since the shortened path could name another device.
    if (opts_.device.size() > vendor::kMaxPathLength) {
        fail(kExitUsage, "the device path is longer than " + std::to_string(vendor::kMaxPathLength) + " characters");
        return false;
    }
    if (!opts_.trace.empty() && !transport::setTraceFile(opts_.trace)) {
        fail(kExitUsage, "cannot open the trace file " + opts_.trace);
        return false;
    }
    if (!opts_.sims.empty()) {
        std::string error;
        session_ = makeSimSession(opts_.sims, error);
        if (!session_) {
            fail(kExitUsage, error);
            return false;
        }
    } else {
        session_ = attachHardware();
    }
    // Any name of the disk (/dev/sdb, /dev/disk/by-id/...) stands for its generic node, the one
    // the udev rule opens to the seat's user and every command goes to.
    if (!opts_.device.empty()) opts_.device = session_->resolveNode(opts_.device);
    if (opts_.verbose > 0) {
        verbose_ = std::make_unique<transport::ScopedCommandListener>(
            [this](const transport::TraceEntry& e) { err_ << verboseLines(e); });
    }
    return true;
}

std::vector<vendor::Candidate> Context::candidates() {
    if (!session_) return {};
    ProbePolicy policy;
    policy.all = opts_.probeAll;
    policy.settingsVid = settingsVid_;
    policy.settingsPid = settingsPid_;
    busy_.clear();
    const DeviceSession::LeaveAlone scan([this](const std::string& node) { return leftAlone(node); });
    auto c = session_->candidates(policy);
    for (const auto& w : session_->takeWarnings()) {
        err_ << "q55x: " << w << "\n";
        deniedSeen_ = true;
    }
    return c;
}

std::vector<vendor::Candidate> Context::candidateFor(const std::string& path) {
    if (!session_) return {};
    ProbePolicy policy;
    policy.all = opts_.probeAll;
    policy.settingsVid = settingsVid_;
    policy.settingsPid = settingsPid_;
    const auto c = session_->named(path, policy);
    return c ? std::vector{*c} : std::vector<vendor::Candidate>{};
}

uint32_t Context::transferLimit(const std::string& path) { return session_ ? session_->transferLimit(path) : 0; }

NodeFacts Context::factsOf(const std::string& path) { return session_ ? session_->factsOf(path) : NodeFacts{}; }

std::vector<vendor::Candidate> Context::commandCandidates() {
    if (opts_.device.empty()) return candidates();
    busy_.clear();
    if (leftAlone(opts_.device)) return {};
    return candidateFor(opts_.device);
}

bool Context::leftAlone(const std::string& path) {
    const std::optional<LockHolder> h = heldElsewhere(lockKeyOf(path));
    if (h) busy_.push_back({path, *h});
    return h.has_value();
}

firmware::BridgeIdentity Context::bridgeIdentityOf(const std::string& path) { return {serialOf(path), portOf(path), path}; }

std::string Context::lockKeyOf(const std::string& path) { return bridgeIdentityOf(path).name(); }

int Context::own(const std::string& path, const std::string& command, std::unique_ptr<EnclosureLock>& lock) {
    return own(lockKeyOf(path), "the enclosure at " + path, command, lock);
}

int Context::own(const std::string& key, const std::string& what, const std::string& command, std::unique_ptr<EnclosureLock>& lock) {
    LockHolder holder;
    std::string error;
    lock = EnclosureLock::take(key, command, kLockWaitMs, holder, error);
    if (lock) return 0;
    if (!error.empty()) return fail(kExitFailed, "cannot lock " + what + " for this " + command + " (" + error + "); nothing was written.");
    return fail(kExitBusy, what + " is held by another q55x (" + holder.words() +
                                 "); nothing was written. Wait for it to end: `q55x list` shows it while it runs.");
}

std::string Context::volumesOf(const std::string& path) { return session_ ? session_->volumesOf(path) : std::string(); }

std::string Context::serialOf(const std::string& path) { return session_ ? session_->serialOf(path) : std::string(); }

std::vector<std::string> Context::diskUsers(const std::string& path) {
    return session_ ? session_->diskUsers(path) : std::vector<std::string>{};
}

std::unique_ptr<DiskHold> Context::holdDisk(const std::string& path, bool& busy, std::string& why) {
    busy = false;
    return session_ ? session_->holdDisk(path, busy, why) : nullptr;
}

std::string Context::portOf(const std::string& path) { return session_ ? session_->portOf(path) : std::string(); }

std::string Context::selectDevice() {
    auto c = commandCandidates();
    return c.empty() ? std::string() : c.front().path;
}

int Context::fail(int code, const std::string& message) {
    if (opts_.json) {
        printJson({{"error", {{"code", code}, {"message", message}}}});
    } else {
        err_ << message << "\n";
    }
    return code;
}

int Context::failNoDevice() {
    static const char* const kNoDevice = "No available device!!!";
    // A node the user named that could not be opened for lack of rights: say so, and how to get them.
    const transport::Result& last = transport::lastResult();
    if (!opts_.device.empty() && opts_.sims.empty() && !last.opened && (last.lastError == EACCES || last.lastError == EPERM)) {
        err_ << "q55x: " << permissionAdvice(opts_.device) << "\n";
        return fail(kExitPermission, kNoDevice);
    }
    if (!busy_.empty()) {
        const Busy& b = busy_.front();
        return fail(kExitBusy, "the enclosure at " + b.path + " is held by another q55x (" + b.holder.words() +
                                     "); it was sent nothing. Wait for it to end: `q55x list` shows it while it runs.");
    }
    const std::vector<std::string> unprobed = session_ ? session_->leftUnprobed() : std::vector<std::string>{};
    if (unprobed.empty()) return fail(deniedSeen_ ? kExitPermission : kExitNoDevice, kNoDevice);
    std::string nodes;
    for (const std::string& n : unprobed) nodes += (nodes.empty() ? "" : ", ") + n;
    const std::string hint = std::to_string(unprobed.size()) +
                             (unprobed.size() == 1 ? " USB or 1394 storage device was" : " USB or 1394 storage devices were") +
                             " not asked whether it is one of our bridges: its vendor id is not ours (" + nodes +
                             "). --probe-all sends such devices the bridge's GPIO read.";
    if (opts_.json) {
        printJson({{"error", {{"code", kExitNoDevice}, {"message", kNoDevice}, {"unprobed", unprobed.size()}, {"hint", hint}}}});
    } else {
        err_ << kNoDevice << "\n" << hint << "\n";
    }
    return kExitNoDevice;
}

void Context::acceptUsbIds(uint16_t vid, uint16_t pid) {
    settingsVid_ = vid;
    settingsPid_ = pid;
}

TerminalWindow::Mode Context::windowMode() const {
    if (opts_.json) return TerminalWindow::Mode::Quiet;
    return opts_.progressBar ? TerminalWindow::Mode::Bar : TerminalWindow::Mode::Lines;
}

// Every document, and every object of a list, says which form of q55x's JSON it is: a program
// that reads it checks the number, not the fields it happens to find.
constexpr int kJsonSchemaVersion = 1;

void Context::printJson(const nlohmann::json& doc) {
    nlohmann::json d = doc;
    if (d.is_object()) d["schema_version"] = kJsonSchemaVersion;
    if (d.is_array())
        for (auto& e : d)
            if (e.is_object()) e["schema_version"] = kJsonSchemaVersion;
    out_ << d.dump(2) << "\n";
}

std::string verboseLines(const transport::TraceEntry& e) {
    std::string s = "q55x: " + std::string(e.op) + " " + std::string(e.path) + "\n    cdb: ";
    if (e.cdb) s += sys::toHex(e.cdb->data(), e.cdb->len);
    s += "  " + std::string(e.dir == transport::Direction::In ? "in " : e.dir == transport::Direction::Out ? "out " : "") +
         (e.dir == transport::Direction::None ? "no data" : std::to_string(e.len) + " bytes") +
         ", timeout " + std::to_string(e.timeoutSec) + " s\n";
    if (!e.opened) {
        s += "    not opened: " + std::string(std::strerror(static_cast<int>(e.sysError))) + "\n";
        return s;
    }
    char line[96];
    std::snprintf(line, sizeof line, "    status 0x%02x%s, host 0x%02x, driver 0x%02x", e.status,
                  e.status == 0 ? " (GOOD)" : e.status == 2 ? " (CHECK CONDITION)" : "", e.host, e.driver);
    s += line;
    if (e.sysError) s += ", " + std::string(std::strerror(static_cast<int>(e.sysError)));
    s += e.ok ? "\n" : "  FAILED\n";
    if (e.sense && e.senseLen) s += "    sense: " + sys::toHex(e.sense, e.senseLen) + "\n";
    // Short data only: the transfers of a flash image would bury the commands.
    constexpr size_t kShownBytes = 64;
    if (e.data && e.dataLen) {
        const size_t shown = std::min(e.dataLen, kShownBytes);
        std::string dump = hexDump(e.data, shown);
        for (size_t at = 0; at < dump.size(); at = dump.find('\n', at) + 1) dump.insert(at, "    ");
        s += dump;
        if (shown < e.dataLen) s += "    ... " + std::to_string(e.dataLen - shown) + " more bytes\n";
    }
    return s;
}

bool parseHex(const std::string& text, std::vector<uint8_t>& bytes) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == ':' || c == '-' || c == '_' || c == '.') continue;
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits.push_back(c);
    }
    if (digits.size() % 2) return false;
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

std::string hexDump(const uint8_t* data, size_t n) {
    std::string s;
    char line[32];
    for (size_t off = 0; off < n; off += 16) {
        std::snprintf(line, sizeof line, "%06zx ", off);
        s += line;
        for (size_t i = 0; i < 16; ++i) {
            if (off + i < n) {
                std::snprintf(line, sizeof line, " %02x", data[off + i]);
                s += line;
            } else {
                s += "   ";
            }
        }
        s += "  ";
        for (size_t i = 0; i < 16 && off + i < n; ++i) {
            const unsigned char c = data[off + i];
            s.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
        }
        s.push_back('\n');
    }
    return s;
}

}  // namespace cli
