// The seam under the four transport operations: one SCSI command to one device path, opened for
// this command and closed after it. Each platform implements it (Windows pass-through, Linux
// SG_IO) and so does the emulated enclosure. The rules every command follows (length-1 rule,
// private aligned areas, time-outs, sharing, success rule) live above this seam, in scsi.cpp, so
// every backend gets them alike.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace transport {

enum class Direction : uint8_t { In, Out, None };
enum class Sharing : uint8_t { Shared, Exclusive };

constexpr size_t kMaxCdb = 16;
constexpr size_t kMaxSense = 32;

struct Request {
    std::string_view path;
    Sharing sharing = Sharing::Shared;
    const uint8_t* cdb = nullptr;
    uint8_t cdbLen = 0;
    Direction dir = Direction::None;
    uint8_t* data = nullptr;   // data area; null when xferLen is 0
    uint32_t xferLen = 0;      // transfer length handed to the platform
    uint32_t timeoutSec = 0;
    uint8_t senseLen = 0;      // sense bytes asked for (0 = none)
};

struct Result {
    bool opened = false;       // the device path could be opened
    bool platformOk = false;   // the pass-through call itself reported success
    uint32_t lastError = 0;    // the system error code read right after the call
    uint8_t scsiStatus = 0;    // 0 = GOOD, 2 = CHECK CONDITION
    uint8_t hostStatus = 0;    // transport-level errors (Linux DID_*, emulated bus faults)
    uint8_t driverStatus = 0;
    uint32_t reported = 0;     // transfer length reported back by the platform
    uint32_t residual = 0;     // bytes asked for but not moved, where the platform tells
    std::array<uint8_t, kMaxSense> sense{};
    uint8_t senseValid = 0;    // sense bytes the device returned

    // The success rule: the call succeeded, left no system error, no transport error, and the
    // device answered GOOD. A device may answer a data-in command with fewer bytes than asked
    // for (a chip's short information record, an 8-byte string where 40 were allowed): that is
    // success, and `reported` says how many came. A data-out command whose bytes did not all
    // go out failed, except for the bytes the transport itself added (`padding`: the pad byte of
    // a one-byte write, which a device that takes one byte reports as a residue). Sense data
    // never changes the verdict.
    bool succeeded(Direction dir, uint32_t padding = 0) const {
        return opened && platformOk && lastError == 0 && hostStatus == 0 && driverStatus == 0 &&
               (residual <= (dir == Direction::Out ? padding : 0) || dir == Direction::In) && scsiStatus == 0;
    }
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual Result execute(const Request& req) = 0;
};

// A device whose host lets at most `limitBytes` through per command (Linux: the disk's
// max_hw_sectors_kb; a USB bridge with the 64-sector quirk: 32 KiB) is never sent a larger data
// phase: the command fails unsent with EOVERFLOW, and the cause names the limit.
inline bool exceedsTransferLimit(const Request& req, uint32_t limitBytes) {
    return limitBytes != 0 && req.xferLen > limitBytes;
}

// The backend every command goes to. Defaults to the platform's own pass-through.
Backend& backend();
void setBackend(Backend* b);   // nullptr restores the platform backend

class ScopedBackend {
public:
    explicit ScopedBackend(Backend& b) : prev_(&backend()) { setBackend(&b); }
    ~ScopedBackend() { setBackend(prev_); }
    ScopedBackend(const ScopedBackend&) = delete;
    ScopedBackend& operator=(const ScopedBackend&) = delete;
private:
    Backend* prev_;
};

// The platform's own backend (transport/<platform>/).
Backend& platformBackend();

}  // namespace transport
