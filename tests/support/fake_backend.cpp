#include "support/fake_backend.h"

#include <algorithm>
#include <cstring>

#include "sys/bytes.h"
#include "transport/cdb.h"

namespace testing_support {

Reply checkCondition(std::vector<uint8_t> sense) {
    Reply r;
    r.scsiStatus = 2;
    r.sense = std::move(sense);
    return r;
}

Reply becomingReady() {
    std::vector<uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = 0x02;
    s[7] = 10;
    s[12] = 0x04;
    s[13] = 0x01;
    return checkCondition(s);
}

Reply unopenable() {
    Reply r;
    r.opened = false;
    r.platformOk = false;
    r.lastError = 2;
    return r;
}

transport::Result FakeBackend::execute(const transport::Request& req) {
    Sent s;
    s.path = std::string(req.path);
    s.sharing = req.sharing;
    s.cdb.assign(req.cdb, req.cdb + req.cdbLen);
    s.dir = req.dir;
    s.xferLen = req.xferLen;
    s.timeoutSec = req.timeoutSec;
    s.senseLen = req.senseLen;
    s.dataWasNull = req.data == nullptr;
    if (req.dir == transport::Direction::Out && req.data) s.dataOut.assign(req.data, req.data + req.xferLen);
    sent_.push_back(std::move(s));

    Reply r;
    if (!replies_.empty()) {
        r = replies_.front();
        replies_.pop_front();
    }
    transport::Result res;
    res.opened = r.opened;
    if (!r.opened) {
        res.lastError = r.lastError;
        return res;
    }
    res.platformOk = r.platformOk;
    res.lastError = r.lastError;
    res.scsiStatus = r.scsiStatus;
    res.hostStatus = r.hostStatus;
    res.residual = r.residual;
    if (req.dir == transport::Direction::In && req.data && !r.dataIn.empty())
        std::memcpy(req.data, r.dataIn.data(), std::min<size_t>(r.dataIn.size(), req.xferLen));
    std::copy_n(r.sense.begin(), std::min(r.sense.size(), res.sense.size()), res.sense.begin());
    res.senseValid = static_cast<uint8_t>(std::min(r.sense.size(), res.sense.size()));
    res.reported = r.reported >= 0 ? static_cast<uint32_t>(r.reported) : req.xferLen - std::min(req.xferLen, r.residual);
    return res;
}

std::string hex(const std::vector<uint8_t>& v) { return sys::toHex(v.data(), v.size()); }

}  // namespace testing_support
