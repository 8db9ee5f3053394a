// Every wait of the system goes through this seam: 10 ms flash polls, the 500 ms and 2000 ms
// pauses of the update procedures, the re-attach wait after a chip reset. Tests install a
// VirtualClock, so a whole update runs in milliseconds of real time and the emulator's flash busy
// times advance with it.
#pragma once
#include <atomic>
#include <cstdint>

namespace sys {

class Clock {
public:
    virtual ~Clock() = default;
    virtual void sleepMs(unsigned ms) = 0;
    virtual uint64_t nowMs() const = 0;
};

// Real time, from the steady clock.
class SteadyClock final : public Clock {
public:
    void sleepMs(unsigned ms) override;
    uint64_t nowMs() const override;
};

// Sleeping advances time at once. Safe to share between threads.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint64_t startMs = 0) : now_(startMs) {}
    void sleepMs(unsigned ms) override { now_ += ms; }
    uint64_t nowMs() const override { return now_; }
    void advanceMs(uint64_t ms) { now_ += ms; }
private:
    std::atomic<uint64_t> now_;
};

// The clock every procedure uses. Defaults to the steady clock.
Clock& clock();
void setClock(Clock* c);   // nullptr restores the steady clock

inline void sleepMs(unsigned ms) { clock().sleepMs(ms); }
inline uint64_t nowMs() { return clock().nowMs(); }

// Installs a clock for the lifetime of the scope (tests, the CLI's --sim).
class ScopedClock {
public:
    explicit ScopedClock(Clock& c) : prev_(&clock()) { setClock(&c); }
    ~ScopedClock() { setClock(prev_); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
private:
    Clock* prev_;
};

}  // namespace sys
