#include "cli/enclosure_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <sstream>

#include "cli/journal.h"
#include "cli/state_files.h"
#include "sys/clock.h"
#include "update/buffer_update.h"

namespace cli {

namespace {

constexpr unsigned kRetryMs = 100;

std::string lockDirectory() { return stateDirectory() + "/locks"; }

// The key made a file name: readable where it can be, and its CRC so that two keys that read
// alike once cleaned never share a file.
std::string lockPath(const std::string& key) {
    std::string name;
    for (char c : key.substr(0, 80)) name.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_');
    char crc[16];
    std::snprintf(crc, sizeof crc, "-%08x", imageCrc32(std::vector<uint8_t>(key.begin(), key.end())));
    return lockDirectory() + "/" + name + crc + ".lock";
}

// The locks this process holds, by key.
std::mutex gHeldMutex;
std::map<std::string, int> gHeld;

LockHolder readHolder(int fd) {
    LockHolder h;
    char text[256] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n > 0) {
        std::istringstream in(std::string(text, static_cast<size_t>(n)));
        in >> h.pid >> h.command >> h.since;
    }
    return h;
}

std::string verb(const std::string& command) {
    if (command == "recover") return "recovering";
    if (command == "restore") return "restoring";
    if (command == "update" || command == "flash") return "updating";
    return "in use by another q55x";
}

}  // namespace

std::string lockKey(const std::string& serial, const std::string& port, const std::string& node) {
    return firmware::BridgeIdentity{serial, port, node}.name();
}

std::string LockHolder::words() const {
    std::string s = verb(command);
    if (!since.empty()) s += " since " + since;
    if (pid) s += ", pid " + std::to_string(pid);
    return s;
}

std::string LockHolder::brief() const { return verb(command) + (pid ? " (pid " + std::to_string(pid) + ")" : std::string()); }

std::unique_ptr<EnclosureLock> EnclosureLock::take(const std::string& key, const std::string& command, unsigned waitMs,
                                                   LockHolder& holder, std::string& error) {
    if (!makePrivateFolder(lockDirectory(), error)) return nullptr;
    const std::string path = lockPath(key);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return error = "cannot open the lock file " + path + ": " + std::strerror(errno), nullptr;
    for (unsigned waited = 0;; waited += kRetryMs) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
        const int e = errno;
        if (e != EWOULDBLOCK || waited >= waitMs) {
            holder = readHolder(fd);
            if (e != EWOULDBLOCK) error = "cannot lock " + path + ": " + std::strerror(e);
            ::close(fd);
            return nullptr;
        }
        sys::sleepMs(kRetryMs);
    }
    char since[16];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    std::strftime(since, sizeof since, "%H:%M", &tm);
    const std::string text = std::to_string(::getpid()) + " " + command + " " + since + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        // Who holds it stays unsaid; the lock holds all the same.
    }
    std::lock_guard<std::mutex> lock(gHeldMutex);
    ++gHeld[key];
    return std::unique_ptr<EnclosureLock>(new EnclosureLock(fd, key));
}

EnclosureLock::~EnclosureLock() {
    {
        std::lock_guard<std::mutex> lock(gHeldMutex);
        if (--gHeld[key_] <= 0) gHeld.erase(key_);
    }
    // The file stays: removing it would let a third process lock a new file while a second still
    // waits on the old one.
    ::close(fd_);
}

std::optional<LockHolder> heldElsewhere(const std::string& key) {
    {
        std::lock_guard<std::mutex> lock(gHeldMutex);
        if (gHeld.count(key)) return std::nullopt;
    }
    const int fd = ::open(lockPath(key).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<LockHolder> out;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) out = readHolder(fd);
    ::close(fd);
    return out;
}

}  // namespace cli
