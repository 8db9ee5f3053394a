#include "kernel_e2e/bot_target.h"

#include <algorithm>
#include <cstring>

namespace kernel_e2e {

namespace {

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t beN(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

void putBeN(uint8_t* p, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kAbortedCommand = 0x0B;

}  // namespace

bool parseCbw(const uint8_t* bytes, size_t size, Cbw& out) {
    if (bytes == nullptr || size != kCbwSize || le32(bytes) != kCbwSignature) return false;
    const uint8_t flags = bytes[12], lun = bytes[13], len = bytes[14];
    if ((flags & 0x7F) != 0 || (lun & 0xF0) != 0 || (len & 0xE0) != 0 || len == 0 || len > 16) return false;
    out = Cbw{};
    out.tag = le32(bytes + 4);
    out.dataLength = le32(bytes + 8);
    out.dataIn = (flags & 0x80) != 0;
    out.lun = lun;
    out.cdbLen = len;
    std::memcpy(out.cdb.data(), bytes + 15, len);
    return true;
}

std::array<uint8_t, kCswSize> makeCsw(uint32_t tag, uint32_t residue, CswStatus status) {
    std::array<uint8_t, kCswSize> csw{};
    putLe32(csw.data(), kCswSignature);
    putLe32(csw.data() + 4, tag);
    putLe32(csw.data() + 8, residue);
    csw[12] = static_cast<uint8_t>(status);
    return csw;
}

void BridgeTarget::setSense(uint8_t key, uint8_t asc, uint8_t ascq) {
    sense_.fill(0);
    sense_[0] = 0x70;
    sense_[2] = key;
    sense_[7] = 10;
    sense_[12] = asc;
    sense_[13] = ascq;
}

TargetReply BridgeTarget::execute(const Cbw& cbw, uint8_t* data, uint32_t received) {
    const uint8_t op = cbw.cdb[0];
    if (op == 0x03) return requestSense(cbw, data);
    setSense(0, 0, 0);   // a new command replaces the sense of the one before
    const uint32_t xfer = cbw.dataIn ? cbw.dataLength : std::min(received, cbw.dataLength);
    switch (op) {
        case 0x25: return readCapacity10(cbw, data);
        case 0x28:
        case 0x2A: {   // READ(10) / WRITE(10) reach the disk as READ(16) / WRITE(16)
            if (cbw.cdbLen < 10) {
                setSense(kIllegalRequest, 0x24, 0x00);
                return {CswStatus::Failed, 0, cbw.dataLength};
            }
            uint8_t c16[16] = {static_cast<uint8_t>(op == 0x28 ? 0x88 : 0x8A), cbw.cdb[1]};
            putBeN(c16 + 2, beN(cbw.cdb.data() + 2, 4), 8);
            putBeN(c16 + 10, beN(cbw.cdb.data() + 7, 2), 4);
            return forward(cbw, c16, 16, data, xfer);
        }
        default: return forward(cbw, cbw.cdb.data(), cbw.cdbLen, data, xfer);
    }
}

TargetReply BridgeTarget::forward(const Cbw& cbw, const uint8_t* cdb, uint8_t cdbLen, uint8_t* data, uint32_t xferLen) {
    transport::Request req;
    req.path = "usb";
    req.cdb = cdb;
    req.cdbLen = cdbLen;
    req.dir = xferLen == 0 ? transport::Direction::None : cbw.dataIn ? transport::Direction::In : transport::Direction::Out;
    req.data = xferLen ? data : nullptr;
    req.xferLen = xferLen;
    req.timeoutSec = 30;
    req.senseLen = 18;

    TargetReply reply;
    const transport::Result r = enclosure_.execute(req, reply.bus);
    if (!r.opened || !r.platformOk || r.hostStatus != 0) {
        // The enclosure left the bus during the command: nothing it answered counts.
        setSense(kAbortedCommand, 0x00, 0x00);
        return {CswStatus::Failed, 0, cbw.dataLength, reply.bus};
    }
    if (r.scsiStatus != 0) {
        if (r.senseValid >= 14) {
            sense_.fill(0);
            std::memcpy(sense_.data(), r.sense.data(), std::min<size_t>(r.senseValid, sense_.size()));
        } else {
            setSense(kAbortedCommand, 0x00, 0x00);
        }
        return {CswStatus::Failed, 0, cbw.dataLength, reply.bus};
    }
    reply.moved = cbw.dataIn ? std::min(r.reported, xferLen) : xferLen;
    reply.residue = cbw.dataLength - reply.moved;
    return reply;
}

TargetReply BridgeTarget::requestSense(const Cbw& cbw, uint8_t* data) {
    TargetReply reply;
    if (cbw.dataIn && data) {
        reply.moved = std::min<uint32_t>({cbw.dataLength, cbw.cdb[4], static_cast<uint32_t>(sense_.size())});
        std::memcpy(data, sense_.data(), reply.moved);
    }
    reply.residue = cbw.dataLength - reply.moved;
    setSense(0, 0, 0);
    return reply;
}

TargetReply BridgeTarget::readCapacity10(const Cbw& cbw, uint8_t* data) {
    uint8_t c16[16] = {0x9E, 0x10};
    c16[13] = 32;
    uint8_t rc16[32] = {};
    Cbw in = cbw;
    in.dataIn = true;
    in.dataLength = sizeof rc16;
    TargetReply reply = forward(in, c16, 16, rc16, sizeof rc16);
    if (reply.status != CswStatus::Passed) {
        reply.residue = cbw.dataLength;
        return reply;
    }
    // A disk past 2 TiB reports 0xFFFFFFFF, which sends the host on to READ CAPACITY(16).
    const uint64_t last = beN(rc16, 8);
    uint8_t rc10[8];
    putBeN(rc10, std::min<uint64_t>(last, 0xFFFFFFFFu), 4);
    std::memcpy(rc10 + 4, rc16 + 8, 4);
    reply.moved = cbw.dataIn && data ? std::min<uint32_t>(cbw.dataLength, sizeof rc10) : 0;
    if (reply.moved) std::memcpy(data, rc10, reply.moved);
    reply.residue = cbw.dataLength - reply.moved;
    return reply;
}

}  // namespace kernel_e2e
