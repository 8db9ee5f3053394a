#include "cli/context.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ostream>

#include "cli/session.h"
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
    for (const auto& w : session_->takeWarnings()) err_ << "q55x: " << w << "\n";
    return c;
}

vendor::Candidate Context::candidateFor(const std::string& path) {
    return {path, session_ ? session_->busOf(path) : std::nullopt};
}

std::vector<vendor::Candidate> Context::commandCandidates() {
    if (opts_.device.empty()) return candidates();
    busy_.clear();
    if (leftAlone(opts_.device)) return {};
    return {candidateFor(opts_.device)};
}

bool Context::leftAlone(const std::string& path) {
    const std::optional<LockHolder> h = heldElsewhere(lockKeyOf(path));
    if (h) busy_.push_back({path, *h});
    return h.has_value();
}

std::string Context::lockKeyOf(const std::string& path) {
    return lockKey(serialOf(path), portOf(path), path);
}

int Context::own(const std::string& path, const std::string& command, std::unique_ptr<EnclosureLock>& lock) {
    return own(lockKeyOf(path), "the enclosure at " + path, command, lock);
}

int Context::own(const std::string& key, const std::string& what, const std::string& command, std::unique_ptr<EnclosureLock>& lock) {
    LockHolder holder;
    std::string error;
    lock = EnclosureLock::take(key, command, kLockWaitMs, holder, error);
    if (lock) return 0;
    if (!error.empty()) return fail(kExitFailed, "cannot lock " + what + " for this " + command + " (" + error + "); nothing was written.");
    return fail(kExitFailed, what + " is held by another q55x (" + holder.words() +
                                 "); nothing was written. Wait for it to end: `q55x list` shows it while it runs.");
}

std::string Context::volumesOf(const std::string& path) { return session_ ? session_->volumesOf(path) : std::string(); }

std::string Context::serialOf(const std::string& path) { return session_ ? session_->serialOf(path) : std::string(); }

std::vector<std::string> Context::diskUsers(const std::string& path) {
    return session_ ? session_->diskUsers(path) : std::vector<std::string>{};
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
    if (!opts_.device.empty() && opts_.sims.empty() && !last.opened && (last.lastError == EACCES || last.lastError == EPERM))
        err_ << "q55x: " << permissionAdvice(opts_.device) << "\n";
    if (!busy_.empty()) {
        const Busy& b = busy_.front();
        return fail(kExitFailed, "the enclosure at " + b.path + " is held by another q55x (" + b.holder.words() +
                                     "); it was sent nothing. Wait for it to end: `q55x list` shows it while it runs.");
    }
    const size_t unprobed = session_ ? session_->leftUnprobed() : 0;
    if (unprobed == 0) return fail(kExitNoDevice, kNoDevice);
    const std::string hint = std::to_string(unprobed) + (unprobed == 1 ? " USB or 1394 storage device was" : " USB or 1394 storage devices were") +
                             " not asked whether it is one of our bridges: it names none in its INQUIRY and its vendor id is not ours. "
                             "--probe-all sends such devices the bridge's GPIO read.";
    if (opts_.json) {
        printJson({{"error", {{"code", kExitNoDevice}, {"message", kNoDevice}, {"unprobed", unprobed}, {"hint", hint}}}});
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

void Context::printJson(const nlohmann::json& doc) { out_ << doc.dump(2) << "\n"; }

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
