// What every command shares: the global options, the attached devices (emulated or real), and the
// one way of reporting a result (text, or exactly one JSON document with --json).
#pragma once
#include <nlohmann/json.hpp>

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/disk_use.h"
#include "cli/enclosure_lock.h"
#include "cli/terminal_window.h"
#include "discovery/device_table.h"
#include "update/buffer_update.h"
#include "transport/trace.h"

namespace cli {

struct GlobalOptions {
    std::vector<std::string> sims;   // --sim ENCLOSURE, repeatable
    std::string device;              // --device PATH
    std::string trace;               // --trace FILE
    bool json = false;
    bool probeAll = false;           // --probe-all
    int verbose = 0;
    std::string progress = "auto";   // --progress auto|bar|lines
    bool progressBar = false;        // resolved: draw a bar (a terminal, or --progress bar)
};

class DeviceSession;   // real hardware or an emulated bus
struct NodeFacts;

class Context {
public:
    Context(GlobalOptions opts, std::ostream& out, std::ostream& err);
    // A context for one device of a run over many: it shares the parent's attached devices.
    Context(const Context& parent, GlobalOptions opts, std::ostream& out, std::ostream& err);
    ~Context();

    // Attaches the emulated enclosures or the platform's devices; false (with a message
    // reported) when an --sim argument or the trace file is wrong.
    bool attach();
    // The candidate bridge devices, in discovery order.
    std::vector<vendor::Candidate> candidates();
    // A device the user named, with its bus as discovery would find it; none when the probe rule
    // does not let it be sent a vendor command (see failNoDevice).
    std::vector<vendor::Candidate> candidateFor(const std::string& path);
    // The largest data phase the device's host lets through, in bytes; 0 when nobody says.
    uint32_t transferLimit(const std::string& path);
    // What the system knows of a bridge's node (names, USB ids, serial, port, mounts).
    NodeFacts factsOf(const std::string& path);
    // What a single-device command looks at: the --device path alone, else every candidate.
    std::vector<vendor::Candidate> commandCandidates();
    std::string volumesOf(const std::string& path);
    // The serial number the system reports for the device behind `path`; empty where there is none.
    std::string serialOf(const std::string& path);
    // What on the host uses the disk behind `path`, one line each.
    std::vector<std::string> diskUsers(const std::string& path);
    // The disk behind `path` opened for this process alone (DeviceSession::holdDisk).
    std::unique_ptr<DiskHold> holdDisk(const std::string& path, bool& busy, std::string& why);
    // The USB port the device behind `path` is plugged into; empty where unknown.
    std::string portOf(const std::string& path);
    // Who the bridge behind `path` is to the host (serial, port, node), asking it nothing.
    firmware::BridgeIdentity bridgeIdentityOf(const std::string& path);
    // What names the enclosure behind `path` for its lock (serial, else port, else node).
    std::string lockKeyOf(const std::string& path);
    // Takes the lock of the enclosure behind `path` for `command` ("update", "flash", "recover",
    // "restore"): 0 with `lock` held, else the exit code after saying who holds it.
    int own(const std::string& path, const std::string& command, std::unique_ptr<EnclosureLock>& lock);
    int own(const std::string& key, const std::string& what, const std::string& command, std::unique_ptr<EnclosureLock>& lock);
    // The devices the candidates left out because another q55x holds them.
    struct Busy {
        std::string path;
        LockHolder holder;
    };
    const std::vector<Busy>& busy() const { return busy_; }
    // The device a single-device command works on: --device, else the first candidate.
    // Empty when there is none.
    std::string selectDevice();

    const GlobalOptions& options() const { return opts_; }
    std::ostream& out() { return out_; }
    std::ostream& err() { return err_; }
    // How an update's window shows its progress: nothing with --json, a bar, or lines.
    TerminalWindow::Mode windowMode() const;

    // Ends a command with an error: one line on stderr, or {"error": {...}} with --json.
    int fail(int code, const std::string& message);
    // "No available device!!!", saying how many storage devices were left unasked and how to ask.
    int failNoDevice();
    // A settings file's VID and PID: devices that introduce themselves so are asked as well.
    void acceptUsbIds(uint16_t vid, uint16_t pid);
    // Prints a JSON document (with --json) as the command's whole output.
    void printJson(const nlohmann::json& doc);

private:
    GlobalOptions opts_;
    std::ostream& out_;
    std::ostream& err_;
    std::shared_ptr<DeviceSession> session_;
    bool ownsTrace_ = true;
    bool deniedSeen_ = false;   // a scan met nodes it had no rights on
    std::unique_ptr<transport::ScopedCommandListener> verbose_;
    std::optional<uint16_t> settingsVid_, settingsPid_;
    std::vector<Busy> busy_;
    bool leftAlone(const std::string& path);
};

// Hex helpers for the command line.
bool parseHex(const std::string& text, std::vector<uint8_t>& bytes);
std::string hexDump(const uint8_t* data, size_t n);
// What -v shows of one command: its CDB, direction and length, status, host and driver status,
// sense, and the first bytes of its data.
std::string verboseLines(const transport::TraceEntry& e);

}  // namespace cli
