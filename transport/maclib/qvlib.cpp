#include "transport/maclib/qvlib.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

#include "transport/backend.h"
#include "transport/scsi.h"
#include "transport/trace.h"

namespace maclib {

namespace {

std::atomic<MakerDeviceSource*> gSource{nullptr};

struct Registry {
    std::mutex mutex;
    std::map<uint32_t, std::string> paths;   // every device object handed out so far
    std::map<uint32_t, bool> open;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

void setMakerDeviceSource(MakerDeviceSource* source) { gSource.store(source); }
MakerDeviceSource* makerDeviceSource() { return gSource.load(); }

std::string pathOfDevice(uint32_t device) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.paths.find(device);
    if (it != r.paths.end()) return it->second;
    // A device object may be used without a list having been read in this process.
    if (MakerDeviceSource* s = gSource.load()) {
        for (const MakerDevice& d : s->list())
            if (d.object == device) return r.paths[device] = d.path;
    }
    return {};
}

}  // namespace maclib

using namespace maclib;

extern "C" int getDeviceList(uint64_t* slots, int* count) {
    if (!slots || !count) return -1;
    *count = 0;
    MakerDeviceSource* s = gSource.load();
    if (!s) return 0;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const MakerDevice& d : s->list()) {
        if (*count >= kDeviceListSlots) break;
        r.paths[d.object] = d.path;
        slots[(*count)++] = d.object;
    }
    return 0;
}

extern "C" int openConnection(uint32_t device) {
    if (pathOfDevice(device).empty()) return -1;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.open[device] = true;
    return 0;
}

extern "C" int closeConnection(uint32_t device) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.open.erase(device);
    return 0;
}

extern "C" int scsiCdbExecute(uint32_t device, const uint8_t* cdb, int cdbLen, void* data,
                              int dataLen, int /*reserved*/, int direction) {
    using namespace transport;
    const std::string path = pathOfDevice(device);
    Cdb c;
    if (cdb && cdbLen > 0 && cdbLen <= static_cast<int>(kMaxCdb)) {
        c.len = static_cast<uint8_t>(cdbLen);
        std::copy(cdb, cdb + cdbLen, c.b.begin());
    }
    const bool valid = !path.empty() && c.len == 12 && dataLen >= 0 && dataLen <= kMaxTransfer &&
                       (dataLen == 0 || data != nullptr) &&
                       (direction == kDirFromDevice || direction == kDirToDevice);

    Request req;
    req.path = path;
    req.sharing = Sharing::Exclusive;
    req.cdb = c.data();
    req.cdbLen = c.len;
    req.dir = dataLen == 0 ? Direction::None
              : direction == kDirToDevice ? Direction::Out : Direction::In;
    req.data = static_cast<uint8_t*>(data);
    req.xferLen = static_cast<uint32_t>(dataLen < 0 ? 0 : dataLen);
    req.timeoutSec = direction == kDirToDevice ? dataOutTimeout(c) : kTimeoutInSec;
    req.senseLen = static_cast<uint8_t>(kMaxSense);

    Result res;
    if (valid) res = backend().execute(req);
    // The library tells its caller no length, so a reply shorter than asked cannot be told from a
    // whole one: here it stays a failure.
    const bool ok = valid && res.succeeded(req.dir) && res.residual == 0;

    TraceEntry t;
    t.op = "scsiCdbExecute";
    t.path = path;
    t.cdb = &c;
    t.dir = req.dir;
    t.len = dataLen;
    t.xfer = req.xferLen;
    t.timeoutSec = 0;
    t.ok = ok;
    t.status = res.scsiStatus;
    t.sense = res.sense.data();
    t.senseLen = res.senseValid;
    t.opened = valid && res.opened;
    t.sysError = res.lastError;
    t.host = res.hostStatus;
    t.driver = res.driverStatus;
    if (valid && req.xferLen > 0 && req.xferLen <= kTraceDataLimit) {
        t.data = req.data;
        t.dataLen = req.xferLen;
    }
    traceCommand(t);
    return ok ? 0 : (valid ? 1 : -1);
}

extern "C" int qvWarmBoot(uint32_t device) {
    // The library restarts the controller with the chip's reset command.
    static const uint8_t reset[12] = {0xFF, 0x04, 0x26, 'Q', 'V'};
    return scsiCdbExecute(device, reset, 12, nullptr, 0, 0, kDirFromDevice);
}
