#include "transport/trace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "sys/bytes.h"

namespace transport {

namespace {

struct TraceFile {
    std::mutex mutex;
    FILE* file = nullptr;
    bool envChecked = false;

    ~TraceFile() {
        if (file) std::fclose(file);
    }
};

TraceFile& traceFile() {
    static TraceFile t;
    return t;
}

const char* dirName(Direction d) {
    switch (d) {
        case Direction::In: return "in";
        case Direction::Out: return "out";
        case Direction::None: return "none";
    }
    return "none";
}

void appendJsonString(std::string& s, std::string_view v) {
    s.push_back('"');
    for (char c : v) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            s.push_back('\\');
            s.push_back(c);
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            s += esc;
        } else {
            s.push_back(c);
        }
    }
    s.push_back('"');
}

}  // namespace

std::string traceLine(const TraceEntry& e) {
    std::string s = "{\"op\":";
    appendJsonString(s, e.op);
    s += ",\"path\":";
    appendJsonString(s, e.path);
    s += ",\"cdb\":\"";
    if (e.cdb) s += e.cdb->hex();
    s += "\",\"dir\":\"";
    s += dirName(e.dir);
    s += "\",\"len\":" + std::to_string(e.len);
    s += ",\"xfer\":" + std::to_string(e.xfer);
    s += ",\"timeout\":" + std::to_string(e.timeoutSec);
    s += e.ok ? ",\"ok\":true" : ",\"ok\":false";
    s += ",\"status\":" + std::to_string(e.status);
    s += ",\"sense\":\"" + (e.sense ? sys::toHex(e.sense, e.senseLen) : std::string()) + "\"";
    if (e.data && e.dataLen > 0 && e.dataLen <= kTraceDataLimit) {
        s += e.dir == Direction::Out ? ",\"data\":\"" : ",\"reply\":\"";
        s += sys::toHex(e.data, e.dataLen) + "\"";
    }
    s += "}";
    return s;
}

bool setTraceFile(const std::string& path) {
    TraceFile& t = traceFile();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.envChecked = true;
    if (t.file) {
        std::fclose(t.file);
        t.file = nullptr;
    }
    if (path.empty()) return true;
    t.file = std::fopen(path.c_str(), "ab");
    return t.file != nullptr;
}

namespace {
thread_local ScopedCommandListener* tListener = nullptr;
}  // namespace

ScopedCommandListener::ScopedCommandListener(CommandListener l) : listener_(std::move(l)), previous_(tListener) {
    tListener = this;
}

ScopedCommandListener::~ScopedCommandListener() { tListener = previous_; }

void traceCommand(const TraceEntry& e) {
    for (ScopedCommandListener* l = tListener; l; l = l->previous_)
        if (l->listener_) l->listener_(e);
    TraceFile& t = traceFile();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (!t.envChecked) {
        t.envChecked = true;
        if (const char* env = std::getenv("Q55X_TRACE"); env && *env) t.file = std::fopen(env, "ab");
    }
    if (!t.file) return;
    std::string line = traceLine(e);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), t.file);
    std::fflush(t.file);
}

}  // namespace transport
