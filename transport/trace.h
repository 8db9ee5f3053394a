// Command trace: one JSON object per command on its own line, written at the transport seam so
// every program and backend traces alike. Enabled by setTraceFile() (q55x --trace FILE) or by the
// environment variable Q55X_TRACE naming a file.
//
// {"op":"ScsiDataIn","path":"...","cdb":"e0f4e7000000000000000000","dir":"in","len":16,
//  "xfer":16,"timeout":10,"ok":true,"status":0,"sense":"","reply":"f4e7..."}
// "data" carries the bytes sent for data-out commands of at most 512 bytes, "reply" the bytes
// received for data-in commands of at most 512 bytes.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "transport/backend.h"
#include "transport/cdb.h"

namespace transport {

struct TraceEntry {
    std::string_view op;
    std::string_view path;
    const Cdb* cdb = nullptr;
    Direction dir = Direction::None;
    long len = 0;
    uint32_t xfer = 0;
    uint32_t timeoutSec = 0;
    bool ok = false;
    uint8_t status = 0;
    const uint8_t* sense = nullptr;
    size_t senseLen = 0;
    const uint8_t* data = nullptr;   // bytes sent (out) or received (in)
    size_t dataLen = 0;
    // Why a command failed beyond its status (not in the trace line; a failure report names them).
    bool opened = true;
    uint32_t sysError = 0;
    uint8_t host = 0, driver = 0;
    uint32_t residual = 0;   // bytes of the data phase that did not move, where the platform tells
};

constexpr size_t kTraceDataLimit = 512;

// Opens (appends to) a trace file; an empty path stops tracing. Returns false when it cannot be
// opened.
bool setTraceFile(const std::string& path);
void traceCommand(const TraceEntry& e);
std::string traceLine(const TraceEntry& e);  // the JSON line without its line feed

// Sees every command the calling thread sends, as it is traced, while it is installed (a
// terminal's progress display counts the bytes moved this way, a failure report keeps the command
// a step ended on). Listeners nest: each command reaches every listener installed on the thread,
// the innermost first.
using CommandListener = std::function<void(const TraceEntry&)>;
class ScopedCommandListener {
public:
    explicit ScopedCommandListener(CommandListener l);
    ~ScopedCommandListener();
    ScopedCommandListener(const ScopedCommandListener&) = delete;
    ScopedCommandListener& operator=(const ScopedCommandListener&) = delete;

private:
    friend void traceCommand(const TraceEntry& e);
    CommandListener listener_;
    ScopedCommandListener* previous_;
};

}  // namespace transport
