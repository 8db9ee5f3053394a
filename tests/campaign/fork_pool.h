// Runs a campaign's cases each in a process of its own, a few at a time: a crash is counted
// rather than ending the campaign, and a watchdog ends a case that stops making progress in real
// time. A case sends its result back as plain bytes of a fixed size.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

namespace campaign {

// In a case's process: sends `n` bytes of its result to the parent (false in the parent).
bool sendToParent(const void* data, size_t n);
// In a case's process: whether it runs under the pool (a case may end itself early with a result).
bool inCaseProcess();

struct CaseEnd {
    bool finished = false;   // the case sent `resultSize` bytes and exited normally
    bool hang = false;       // the watchdog ended it
    std::string bytes;       // what it sent (finished)
    std::string why;         // what ended it otherwise
};

// `child(i)` runs case i in a child process and must send exactly `resultSize` bytes; `done(i, end)`
// runs in the parent as each case ends.
void runForked(size_t count, size_t resultSize, unsigned parallel, unsigned timeoutSec,
               const std::function<void(size_t)>& child, const std::function<void(size_t, const CaseEnd&)>& done);

}  // namespace campaign
