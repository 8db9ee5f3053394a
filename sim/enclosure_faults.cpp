#include "sim/enclosure.h"

#include <algorithm>
#include <cstring>

#include "sim/bus_timing.h"
#include "sim/enclosure_internal.h"
#include "sys/clock.h"

// One command through the enclosure as the host sees it: the host's own transfer limit, its time
// on the wire, the faults the enclosure was told to show (a drop, a command that never answers, a
// power cut, a failed command or status read, NOT READY, a short transfer, a flipped bit, a lost
// status), decided around the chip's own answer, and that answer turned into the status, sense
// data, transfer length and residue the transport reports.
namespace sim {

using namespace detail;

namespace {

constexpr uint8_t kHostDeviceGone = 0x01;   // transport error: the device went away mid-command
constexpr uint8_t kHostTimedOut = 0x03;     // the host gave up waiting for the command
constexpr uint8_t kHostStatusLost = 0x07;   // the command's status never arrived
// What the host's pass-through says to a transfer larger than it can map.
constexpr uint32_t kWindowsInvalidParameter = 87;
constexpr uint32_t kLinuxInvalidArgument = 22;

bool isFlashStatusRead(const uint8_t* c) { return c[0] == 0xFF && c[1] == 0x04 && c[2] == 0x12; }

// The data-out bytes a command takes, by the length its CDB gives: the register write and the
// direct flash write. Others take what they are sent.
uint32_t dataOutTaken(const Request& req) {
    const uint8_t* c = req.cdb;
    if (c[0] == 0xDF && req.cdbLen >= 12 && c[11] == 0xFE) return be16(c + 3);
    if (c[0] == 0xDF && req.cdbLen >= 12 && c[11] == 0xFB) return be24(c + 2);
    return req.xferLen;
}

}  // namespace


Result Enclosure::execute(const Request& req, CommandOutcome& outcome) {
    outcome = CommandOutcome::Stay;
    Result r;
    if (poweredOff_) return r;   // not opened
    if (cutPowerIfDue()) return outcome = CommandOutcome::PowerCut, r;
    r.opened = true;
    r.platformOk = true;
    if (req.cdb == nullptr || req.cdbLen < 6 || req.cdbLen > transport::kMaxCdb) {
        r.scsiStatus = 2;
        return r;
    }
    if (config_.transferLimitKiB && req.xferLen > config_.transferLimitKiB * 1024u) {
        // The host refuses it before anything goes out.
        r.platformOk = false;
        r.lastError = req.path.starts_with("\\\\?\\") ? kWindowsInvalidParameter : kLinuxInvalidArgument;
        return r;
    }
    ++commands_;
    if (flash_) flash_->setStuckBusy(faults_.stuckBusy());
    const uint8_t op = req.cdb[0];
    // The command, its data and its status cross the bus before the chip's answer is back.
    const uint64_t wireUs = commandTransferUs(config_.bus, req.data ? req.xferLen : 0);
    transferUs_ += wireUs;
    sys::sleepUs(wireUs);

    if (faults_.dropAt() && commands_ == faults_.dropAt()) {
        outcome = CommandOutcome::Drop;
        r.opened = false;
        disk_.loseCache();
        return r;
    }
    if (faults_.hangAt() && commands_ == faults_.hangAt()) {
        // No answer: the host waits out the command's time-out and gives up on it.
        sys::sleepMs(req.timeoutSec * 1000);
        r.platformOk = false;
        r.hostStatus = kHostTimedOut;
        return r;
    }
    const bool statusLost = faults_.loseStatusAt() && commands_ == faults_.loseStatusAt();
    const bool cutNow = faults_.powerCutAt() && commands_ == faults_.powerCutAt();
    if (cutNow && flash_) flash_->limitWrites(static_cast<uint32_t>(1 + faults_.random() % 192));

    const bool counted = faults_.failOnlyOpcode() < 0 || op == faults_.failOnlyOpcode();
    if (counted) ++matching_;
    Reply reply;
    const bool isBuffer = op == 0x3B || op == 0x3C;
    const bool statusFails = isFlashStatusRead(req.cdb) && faults_.statusFailEvery() &&
                             ++statusReads_ % faults_.statusFailEvery() == 0;
    if (statusFails || (counted && ((faults_.failAt() && matching_ == faults_.failAt()) ||
                                    (faults_.failEvery() && matching_ % faults_.failEvery() == 0)))) {
        reply.good = false;
        reply.sense = sense::kAborted;
    } else if (isBuffer && answers(*persona_, kBufferCmds) &&
               (faults_.takeNotReady() || sys::nowMs() < notReadyUntilMs_)) {
        reply.good = false;
        reply.sense = sense::kBecomingReady;
    } else {
        reply = dispatch(req);
    }

    if (cutNow) {
        // Power gone mid-command: what reached the flash stays, RAM and buffers are lost, and the
        // host sees the device vanish.
        losePower(sys::nowUs() + 1);
        outcome = CommandOutcome::PowerCut;
        r.platformOk = false;
        r.hostStatus = kHostDeviceGone;
        return r;
    }

    if (!reply.good) {
        r.scsiStatus = 2;
        r.sense[0] = 0x70;
        r.sense[2] = reply.sense.key;
        r.sense[7] = 0x0A;
        r.sense[12] = reply.sense.asc;
        r.sense[13] = reply.sense.ascq;
        r.senseValid = 18;
        return r;
    }

    if (req.dir == Direction::In && req.data && req.xferLen > 0) {
        const size_t n = std::min<size_t>(reply.data.size(), req.xferLen);
        std::copy_n(reply.data.begin(), n, req.data);
        std::fill(req.data + n, req.data + req.xferLen, 0);
        r.reported = reply.exactLength ? static_cast<uint32_t>(n) : req.xferLen;
        r.residual = req.xferLen - r.reported;
        if (faults_.shortAt() && ++dataIns_ == faults_.shortAt()) {
            r.residual = std::max<uint32_t>(r.residual, std::max<uint32_t>(1, r.reported / 2));
            r.reported = req.xferLen - r.residual;
            std::fill(req.data + r.reported, req.data + req.xferLen, 0);
        }
        if (reply.flashOrDiskRead && faults_.flipEvery() && ++reads_ % faults_.flipEvery() == 0 && r.reported > 0) {
            const uint64_t bit = faults_.random() % (uint64_t(r.reported) * 8);
            req.data[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        }
    } else if (req.dir == Direction::Out) {
        // A compliant device reports the bytes it did not take as a residue.
        const uint32_t taken = config_.outResidue ? std::min(dataOutTaken(req), req.xferLen) : req.xferLen;
        r.reported = taken;
        r.residual = req.xferLen - taken;
    }
    outcome = reply.outcome;
    if (outcome == CommandOutcome::Reset) ++resets_;
    if (statusLost) {
        // Done on the device, unknown to the host.
        r.platformOk = false;
        r.hostStatus = kHostStatusLost;
    }
    return r;
}

}  // namespace sim
