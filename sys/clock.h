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
    // Microseconds, for what is shorter than a millisecond: the emulator's command transfer times
    // and flash page programs. A clock that only counts milliseconds rounds up.
    virtual uint64_t nowUs() const { return nowMs() * 1000; }
    virtual void sleepUs(uint64_t us) { sleepMs(static_cast<unsigned>((us + 999) / 1000)); }
};

// Real time, from the steady clock.
class SteadyClock final : public Clock {
public:
    void sleepMs(unsigned ms) override;
    uint64_t nowMs() const override;
    uint64_t nowUs() const override;
    void sleepUs(uint64_t us) override;
};

// Sleeping advances time at once. Safe to share between threads.
//
// Following real time (the emulator's clock=real, for demonstrations and end-to-end timing) the
// clock reads the steady clock from where it stood and a sleep really sleeps, so the device busy
// times of the emulator elapse in real time too; advanceMs still jumps ahead.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint64_t startMs = 0) : us_(static_cast<int64_t>(startMs * 1000)) {}
    void sleepMs(unsigned ms) override { sleepUs(uint64_t(ms) * 1000); }
    uint64_t nowMs() const override { return nowUs() / 1000; }
    uint64_t nowUs() const override;
    void sleepUs(uint64_t us) override;
    void advanceMs(uint64_t ms) { advanceUs(ms * 1000); }
    void advanceUs(uint64_t us) { us_ += static_cast<int64_t>(us); }

    void followRealTime(bool on);
    bool followsRealTime() const { return real_; }

private:
    // Virtual: the time itself. Following real time: the distance to the steady clock.
    std::atomic<int64_t> us_;
    std::atomic<bool> real_{false};
};

// The clock every procedure uses. Defaults to the steady clock.
Clock& clock();
void setClock(Clock* c);   // nullptr restores the steady clock

inline void sleepMs(unsigned ms) { clock().sleepMs(ms); }
inline uint64_t nowMs() { return clock().nowMs(); }
inline uint64_t nowUs() { return clock().nowUs(); }
inline void sleepUs(uint64_t us) { clock().sleepUs(us); }

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
