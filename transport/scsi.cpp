#include "transport/scsi.h"

#include <algorithm>
#include <cstring>

#include "sys/bytes.h"
#include "sys/aligned.h"
#include "transport/trace.h"

namespace transport {

std::string Cdb::hex() const { return sys::toHex(b.data(), std::min<size_t>(len, b.size())); }

uint32_t dataOutTimeout(const Cdb& cdb) {
    const bool chipErase = cdb.len > 2 && cdb[2] == 0x13;
    const bool nvramMode3 = cdb.len > 11 && cdb[11] == 0xFB && cdb[1] == 3;
    return (chipErase || nvramMode3) ? kTimeoutLongOutSec : kTimeoutOutSec;
}

namespace {

thread_local Result tLast;

enum class Op { In, Out, InSense, OutSense };

const char* opName(Op op) {
    switch (op) {
        case Op::In: return "ScsiDataIn";
        case Op::Out: return "ScsiDataOut";
        case Op::InSense: return "ScsiDataInSense";
        case Op::OutSense: return "ScsiDataOutSense";
    }
    return "";
}

bool validCdb(const Cdb& cdb) { return cdb.len >= 6 && cdb.len <= kMaxCdb; }

// One command through the backend with every rule of the four operations.
bool run(Op op, std::string_view path, const Cdb& cdb, uint8_t* inBuf, const uint8_t* outBuf,
         int len, int* reported, uint8_t* sense, int senseCount) {
    const bool toDevice = op == Op::Out || op == Op::OutSense;
    const bool senseVariant = op == Op::InSense || op == Op::OutSense;
    tLast = Result{};
    if (len < 0 || len > kMaxTransfer || !validCdb(cdb)) return false;
    if (len > 0 && !toDevice && inBuf == nullptr) return false;
    senseCount = std::clamp(senseCount, 0, static_cast<int>(kMaxSense));

    const uint32_t xfer = len == 1 ? 2u : static_cast<uint32_t>(len);

    Request req;
    req.path = path;
    req.sharing = op == Op::In ? Sharing::Shared : Sharing::Exclusive;
    req.cdb = cdb.data();
    req.cdbLen = cdb.len;
    req.dir = xfer == 0 ? Direction::None : (toDevice ? Direction::Out : Direction::In);
    req.xferLen = xfer;
    req.timeoutSec = op == Op::Out ? dataOutTimeout(cdb)
                   : op == Op::In  ? kTimeoutInSec
                                   : kTimeoutSenseSec;
    req.senseLen = (senseVariant && sense) ? static_cast<uint8_t>(kMaxSense) : 0;

    // The plain variants never hand the caller's buffer to the platform: a private zero-filled
    // aligned area carries the data. The sense variants use the caller's buffer, except that a
    // one-byte phase needs a two-byte area.
    sys::AlignedBuffer area;
    uint8_t pair[2] = {0, 0};
    if (xfer > 0) {
        if (!senseVariant || len == 1) {
            if (senseVariant) {
                req.data = pair;
            } else {
                if (!area.reset(xfer)) return false;
                req.data = area.data();
            }
            if (toDevice && outBuf) std::memcpy(req.data, outBuf, static_cast<size_t>(len));
        } else {
            req.data = toDevice ? const_cast<uint8_t*>(outBuf) : inBuf;
            if (req.data == nullptr) {
                if (!area.reset(xfer)) return false;
                req.data = area.data();
            }
        }
    }

    Result res = backend().execute(req);
    const bool ok = res.succeeded(req.dir, xfer - static_cast<uint32_t>(len));
    tLast = res;

    // A short reply leaves the rest of the area as it was before the command: the caller gets
    // zeros there, never stale bytes.
    if (res.opened && !toDevice && req.data && res.reported < xfer)
        std::memset(req.data + res.reported, 0, xfer - res.reported);

    if (res.opened) {
        if (!toDevice && len > 0 && req.data != inBuf)
            std::memcpy(inBuf, req.data, static_cast<size_t>(len));
        if (sense && senseCount > 0) std::memcpy(sense, res.sense.data(), static_cast<size_t>(senseCount));
        if (reported && (op != Op::OutSense || ok)) *reported = static_cast<int>(res.reported);
    }

    TraceEntry t;
    t.op = opName(op);
    t.path = path;
    t.cdb = &cdb;
    t.dir = req.dir;
    t.len = len;
    t.xfer = xfer;
    t.timeoutSec = req.timeoutSec;
    t.ok = ok;
    t.status = res.scsiStatus;
    t.sense = res.sense.data();
    t.senseLen = res.senseValid;
    t.opened = res.opened;
    t.sysError = res.lastError;
    t.host = res.hostStatus;
    t.driver = res.driverStatus;
    t.residual = res.residual;
    if (xfer > 0 && xfer <= kTraceDataLimit && (toDevice || res.opened)) {
        t.data = req.data;
        t.dataLen = xfer;
    }
    traceCommand(t);
    return ok;
}

}  // namespace

const Result& lastResult() { return tLast; }

bool ScsiDataIn(std::string_view path, const Cdb& cdb, uint8_t* buf, int len, int* reported) {
    return run(Op::In, path, cdb, buf, nullptr, len, reported, nullptr, 0);
}

bool ScsiDataOut(std::string_view path, const Cdb& cdb, const uint8_t* buf, int len, int* reported) {
    return run(Op::Out, path, cdb, nullptr, buf, len, reported, nullptr, 0);
}

bool ScsiDataInSense(std::string_view path, const Cdb& cdb, uint8_t* buf, int len, int* reported,
                     uint8_t* sense, int senseCount) {
    return run(Op::InSense, path, cdb, buf, nullptr, len, reported, sense, senseCount);
}

bool ScsiDataOutSense(std::string_view path, const Cdb& cdb, const uint8_t* buf, int len,
                      int* reported, uint8_t* sense, int senseCount) {
    return run(Op::OutSense, path, cdb, nullptr, buf, len, reported, sense, senseCount);
}

}  // namespace transport
