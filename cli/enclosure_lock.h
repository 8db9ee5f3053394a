// One owner per enclosure. An update, flash, recover or restore holds the enclosure's lock for its
// whole span: an flock on a file in the state folder named for the enclosure's identity, so it
// holds across processes and is let go by the kernel when its holder ends, however it ends. The
// file tells who holds it ("updating since 12:03, pid 4711"). Every other command leaves a locked
// enclosure alone: it sends it nothing and says who holds it.
#pragma once
#include <memory>
#include <optional>
#include <string>

namespace cli {

// What names an enclosure's lock: its serial (USB serial, 1394 GUID) where it has one, else the
// USB port it is plugged into, else its node. Twins with one serial share a lock: an update of one
// holds back the other, never two at once on a guess.
std::string lockKey(const std::string& serial, const std::string& port, const std::string& node);

struct LockHolder {
    long pid = 0;
    std::string command;   // "update", "flash", "recover", "restore"
    std::string since;     // local time, "12:03"
    // "updating since 12:03, pid 4711"
    std::string words() const;
    // "updating (pid 4711)"
    std::string brief() const;
};

class EnclosureLock {
public:
    // Takes the lock, waiting up to `waitMs` on the clock for another holder to let go. Null when
    // it could not be taken: `holder` then says who holds it, or `error` why it could not be made.
    static std::unique_ptr<EnclosureLock> take(const std::string& key, const std::string& command, unsigned waitMs,
                                               LockHolder& holder, std::string& error);
    ~EnclosureLock();
    EnclosureLock(const EnclosureLock&) = delete;
    EnclosureLock& operator=(const EnclosureLock&) = delete;

private:
    EnclosureLock(int fd, std::string key) : fd_(fd), key_(std::move(key)) {}
    int fd_;
    std::string key_;
};

// Who holds the enclosure's lock, when another process does (this process's own locks are its
// own business: an update looks for its own bridge after the reset).
std::optional<LockHolder> heldElsewhere(const std::string& key);

// How long a command that needs an enclosure waits for another's hold to end before it refuses.
constexpr unsigned kLockWaitMs = 3000;

}  // namespace cli
