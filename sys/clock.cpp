#include "sys/clock.h"

#include <chrono>
#include <thread>

namespace sys {

namespace {
int64_t steadyUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

void SteadyClock::sleepMs(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t SteadyClock::nowMs() const { return static_cast<uint64_t>(steadyUs() / 1000); }

uint64_t SteadyClock::nowUs() const { return static_cast<uint64_t>(steadyUs()); }

void SteadyClock::sleepUs(uint64_t us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

uint64_t VirtualClock::nowUs() const {
    const int64_t t = real_ ? us_.load() + steadyUs() : us_.load();
    return t < 0 ? 0 : static_cast<uint64_t>(t);
}

void VirtualClock::sleepUs(uint64_t us) {
    if (!real_) {
        us_ += static_cast<int64_t>(us);
        return;
    }
    // A sleep wakes some tens of microseconds late; the lateness is owed back by the next sleeps
    // of the same thread, so that many short sleeps (the emulator's command times) add up right.
    thread_local int64_t lateUs = 0;
    const int64_t want = static_cast<int64_t>(us) - lateUs;
    if (want <= 0) {
        lateUs -= static_cast<int64_t>(us);
        return;
    }
    const int64_t start = steadyUs();
    std::this_thread::sleep_for(std::chrono::microseconds(want));
    lateUs = steadyUs() - start - want;
}

void VirtualClock::followRealTime(bool on) {
    if (on == real_) return;
    const int64_t s = steadyUs();
    us_ += on ? -s : s;
    real_ = on;
}

namespace {
SteadyClock gSteady;
std::atomic<Clock*> gClock{&gSteady};
}  // namespace

Clock& clock() { return *gClock.load(); }
void setClock(Clock* c) { gClock.store(c ? c : &gSteady); }

}  // namespace sys
