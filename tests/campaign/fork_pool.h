// Runs a campaign's cases each in a process of its own, a few at a time: a crash is counted
// rather than ending the campaign, and a watchdog ends a case that stops making progress in real
// time. A case sends its result back as plain bytes of a fixed size.
#pragma once
#include <cstddef>
#include <cstring>
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

// --gentle: every enclosure of the run gets gentle=1, the kinder flash of the emulator's first
// versions, so a figure can be set beside the one the unkind flash gives.
void setGentle(bool on);
std::string withRunKeys(const std::string& simText);

// The options the campaign's modes share: --bounded, --only TEXT, --jobs N (default $JOBS or 2),
// --timeout SEC (per case, default 300), --list, --verbose, --gentle; `mode` (--oracle,
// --recover) is passed over. False on anything else.
struct ModeOptions {
    bool bounded = false, list = false, verbose = false;
    std::string only;
    unsigned parallel = 2, timeoutSec = 300;
};
bool parseModeOptions(int argc, char** argv, const char* mode, ModeOptions& o);

// A folder of the campaign's, removed with everything in it when the run ends.
struct RemovedAtEnd {
    std::string dir;
    ~RemovedAtEnd();
};

// runForked for cases whose result is a plain struct R: `run(i)` gives case i's result in its own
// process, and it lands in `slot(i)`; a case that crashed or hung gets a fresh R passed to `ended`
// with what ended it.
template <class R>
void runCases(size_t count, unsigned parallel, unsigned timeoutSec, const std::function<R(size_t)>& run,
              const std::function<R&(size_t)>& slot, const std::function<void(R&, bool hang, const std::string& why)>& ended) {
    runForked(
        count, sizeof(R), parallel, timeoutSec,
        [&](size_t i) {
            const R r = run(i);
            sendToParent(&r, sizeof r);
        },
        [&](size_t i, const CaseEnd& end) {
            R& out = slot(i);
            if (end.finished) {
                std::memcpy(&out, end.bytes.data(), sizeof out);
                return;
            }
            out = R{};
            ended(out, end.hang, end.why);
        });
}

}  // namespace campaign
