#include "sim/enclosure.h"

#include <algorithm>
#include <cstring>

#include "sim/bus_timing.h"
#include "sim/enclosure_internal.h"
#include "sys/clock.h"

// One command through the enclosure as the host sees it: its time on the wire, the faults the
// enclosure was told to show (a drop, a power cut, a failed command, NOT READY, a short transfer,
// a flipped bit), decided around the chip's own answer, and that answer turned into the status,
// sense data and transfer length the transport reports.
namespace sim {

using namespace detail;

namespace {

constexpr uint8_t kHostDeviceGone = 0x01;   // transport error: the device went away mid-command

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
        return r;
    }
    const bool cutNow = faults_.powerCutAt() && commands_ == faults_.powerCutAt();
    if (cutNow && flash_) flash_->limitWrites(static_cast<uint32_t>(1 + faults_.random() % 192));

    const bool counted = faults_.failOnlyOpcode() < 0 || op == faults_.failOnlyOpcode();
    if (counted) ++matching_;
    Reply reply;
    const bool isBuffer = op == 0x3B || op == 0x3C;
    if (counted && ((faults_.failAt() && matching_ == faults_.failAt()) ||
                    (faults_.failEvery() && matching_ % faults_.failEvery() == 0))) {
        reply.good = false;
        reply.sense = sense::kAborted;
    } else if (isBuffer && answers(*persona_, kBufferCmds) && faults_.takeNotReady()) {
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
        r.reported = req.xferLen;
    }
    outcome = reply.outcome;
    if (outcome == CommandOutcome::Reset) ++resets_;
    return r;
}

}  // namespace sim
