#include "support/scripted_device.h"

#include <algorithm>
#include <cstring>

namespace testing_support {

std::vector<uint8_t> fromHex(std::string_view hex) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char ch : hex) {
        int v;
        if (ch >= '0' && ch <= '9') v = ch - '0';
        else if (ch >= 'a' && ch <= 'f') v = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F') v = ch - 'A' + 10;
        else continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

bool hasPrefix(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& prefix) {
    return prefix.size() <= bytes.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

ScriptedDevice& ScriptedDevice::on(std::string_view cdbPrefix, std::vector<uint8_t> data) {
    return on(cdbPrefix, std::vector<Answer>{ok(std::move(data))});
}

ScriptedDevice& ScriptedDevice::on(std::string_view cdbPrefix, std::vector<Answer> answers) {
    rules_.push_back(Rule{fromHex(cdbPrefix), {}, std::move(answers), 0});
    return *this;
}

ScriptedDevice& ScriptedDevice::after(std::string_view previousPrefix, std::string_view cdbPrefix,
                                      std::vector<Answer> answers) {
    rules_.push_back(Rule{fromHex(cdbPrefix), fromHex(previousPrefix), std::move(answers), 0});
    return *this;
}

ScriptedDevice& ScriptedDevice::fail(std::string_view cdbPrefix) { return on(cdbPrefix, {refused()}); }

transport::Result ScriptedDevice::execute(const transport::Request& req) {
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

    const std::vector<uint8_t>* previous = log_.empty() ? nullptr : &log_.back().cdb;
    Rule* best = nullptr;
    size_t bestScore = 0;
    for (Rule& r : rules_) {
        if (!hasPrefix(s.cdb, r.prefix)) continue;
        if (!r.after.empty() && !(previous && hasPrefix(*previous, r.after))) continue;
        const size_t score = r.prefix.size() + r.after.size() + (r.after.empty() ? 0 : 1);
        if (!best || score >= bestScore) {
            best = &r;
            bestScore = score;
        }
    }
    log_.push_back(std::move(s));

    Answer a = refused();
    if (best && !best->answers.empty()) {
        a = best->answers[std::min(best->next, best->answers.size() - 1)];
        ++best->next;
    }

    transport::Result res;
    res.opened = true;
    res.platformOk = true;
    if (!a.ok) {
        res.scsiStatus = 2;   // CHECK CONDITION, ILLEGAL REQUEST / INVALID COMMAND OPERATION CODE
        const uint8_t sense[] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00};
        std::copy(std::begin(sense), std::end(sense), res.sense.begin());
        res.senseValid = sizeof sense;
        return res;
    }
    if (req.dir == transport::Direction::In && req.data && !a.data.empty())
        std::memcpy(req.data, a.data.data(), std::min<size_t>(a.data.size(), req.xferLen));
    res.reported = a.reported < 0 ? req.xferLen : static_cast<uint32_t>(a.reported);
    return res;
}

std::vector<std::string> ScriptedDevice::cdbs() const {
    std::vector<std::string> out;
    for (const Sent& s : log_) out.push_back(hex(s.cdb));
    return out;
}

int ScriptedDevice::count(std::string_view cdbPrefix) const {
    const auto prefix = fromHex(cdbPrefix);
    return static_cast<int>(std::count_if(log_.begin(), log_.end(), [&](const Sent& s) { return hasPrefix(s.cdb, prefix); }));
}

std::vector<std::vector<uint8_t>> ScriptedDevice::dataSent(std::string_view cdbPrefix) const {
    const auto prefix = fromHex(cdbPrefix);
    std::vector<std::vector<uint8_t>> out;
    for (const Sent& s : log_)
        if (hasPrefix(s.cdb, prefix) && s.dir == transport::Direction::Out) out.push_back(s.dataOut);
    return out;
}

}  // namespace testing_support
