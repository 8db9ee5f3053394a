// A scripted backend for tests that need no emulated chip: it records every request (with a copy
// of the data sent) and answers from a queue of scripted replies, or with GOOD and zeros.
#pragma once
#include <deque>
#include <string>
#include <vector>

#include "transport/backend.h"

namespace testing_support {

struct Sent {
    std::string path;
    transport::Sharing sharing;
    std::vector<uint8_t> cdb;
    transport::Direction dir;
    uint32_t xferLen;
    uint32_t timeoutSec;
    uint8_t senseLen;
    std::vector<uint8_t> dataOut;
    bool dataWasNull;
};

struct Reply {
    bool opened = true;
    bool platformOk = true;
    uint32_t lastError = 0;
    uint8_t scsiStatus = 0;
    uint8_t hostStatus = 0;
    uint32_t residual = 0;
    std::vector<uint8_t> dataIn;   // copied into the data area (up to its length)
    std::vector<uint8_t> sense;
    long reported = -1;            // -1: the transfer length
};

Reply checkCondition(std::vector<uint8_t> sense);
Reply becomingReady();   // CHECK CONDITION, sense NOT READY / 04 / 01
Reply unopenable();

class FakeBackend final : public transport::Backend {
public:
    transport::Result execute(const transport::Request& req) override;

    void push(Reply r) { replies_.push_back(std::move(r)); }
    void pushN(const Reply& r, int n) { for (int i = 0; i < n; ++i) replies_.push_back(r); }
    const std::vector<Sent>& sent() const { return sent_; }
    void clear() { sent_.clear(); replies_.clear(); }

private:
    std::deque<Reply> replies_;
    std::vector<Sent> sent_;
};

std::string hex(const std::vector<uint8_t>& v);

}  // namespace testing_support
