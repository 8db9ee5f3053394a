#include "sys/clock.h"

#include <chrono>
#include <thread>

namespace sys {

void SteadyClock::sleepMs(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t SteadyClock::nowMs() const {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {
SteadyClock gSteady;
std::atomic<Clock*> gClock{&gSteady};
}  // namespace

Clock& clock() { return *gClock.load(); }
void setClock(Clock* c) { gClock.store(c ? c : &gSteady); }

}  // namespace sys
