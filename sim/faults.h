// Faults an enclosure can be told to show, deterministic for a given seed, in the manner of a
// fault-injecting test device: the tests and --sim keys set them, the enclosure consults them
// for every command it receives.
#pragma once
#include <cstdint>
#include <random>

namespace sim {

class Faults {
public:
    // Setters return *this so a fixture reads as one line: faults().notReady(3).seed(7).
    Faults& failAt(uint64_t n) { failAt_ = n; return *this; }          // Nth command: CHECK CONDITION
    Faults& failEvery(uint64_t n) { failEvery_ = n; return *this; }    // every Nth command
    Faults& failOnlyOpcode(int op) { failOp_ = op; return *this; }     // count only CDB byte 0 == op (-1: all)
    Faults& notReady(uint32_t k) { notReady_ = k; return *this; }      // next K buffer commands: 02/04/01
    Faults& stuckBusy(bool on) { stuckBusy_ = on; return *this; }
    Faults& shortAt(uint64_t n) { shortAt_ = n; return *this; }        // Nth data-in comes back short
    Faults& flipEvery(uint64_t n) { flipEvery_ = n; return *this; }    // one bit flipped in every Nth read
    Faults& powerCutAt(uint64_t n) { powerCutAt_ = n; return *this; }  // power lost during the Nth command
    Faults& powerCutAtUs(uint64_t us) { powerCutAtUs_ = us; return *this; }   // ... at this instant of the clock
    Faults& dropAt(uint64_t n) { dropAt_ = n; return *this; }          // leaves the bus at the Nth command
    Faults& noReturn(bool on) { noReturn_ = on; return *this; } // does not come back after a reset
    Faults& twins(bool on) { twins_ = on; return *this; }       // comes back as two devices
    Faults& loseStatusAt(uint64_t n) { loseStatusAt_ = n; return *this; }   // Nth command runs, its status is lost
    Faults& hangAt(uint64_t n) { hangAt_ = n; return *this; }    // Nth command never answers (host time-out)
    Faults& statusFailEvery(uint64_t n) { statusFailEvery_ = n; return *this; }   // every Nth flash status read fails
    Faults& notReadyMs(uint32_t ms) { notReadyMs_ = ms; return *this; }   // buffer commands NOT READY after each boot
    Faults& renode(bool on) { renode_ = on; return *this; }     // comes back from a reset at another node
    Faults& resetJitterMs(uint32_t ms) { resetJitterMs_ = ms; return *this; }   // reset return varies by up to this
    Faults& seed(uint64_t s) { seed_ = s; rng_.seed(static_cast<std::mt19937_64::result_type>(s)); return *this; }

    uint64_t failAt() const { return failAt_; }
    uint64_t failEvery() const { return failEvery_; }
    int failOnlyOpcode() const { return failOp_; }
    uint32_t notReadyLeft() const { return notReady_; }
    bool stuckBusy() const { return stuckBusy_; }
    uint64_t shortAt() const { return shortAt_; }
    uint64_t flipEvery() const { return flipEvery_; }
    uint64_t powerCutAt() const { return powerCutAt_; }
    uint64_t powerCutAtUs() const { return powerCutAtUs_; }
    uint64_t dropAt() const { return dropAt_; }
    bool noReturn() const { return noReturn_; }
    bool twins() const { return twins_; }
    uint64_t loseStatusAt() const { return loseStatusAt_; }
    uint64_t hangAt() const { return hangAt_; }
    uint64_t statusFailEvery() const { return statusFailEvery_; }
    uint32_t notReadyMs() const { return notReadyMs_; }
    bool renode() const { return renode_; }
    uint32_t resetJitterMs() const { return resetJitterMs_; }
    uint64_t seedValue() const { return seed_; }

    // Used by the enclosure.
    bool takeNotReady() {
        if (notReady_ == 0) return false;
        --notReady_;
        return true;
    }
    uint64_t random() { return rng_(); }

private:
    uint64_t failAt_ = 0, failEvery_ = 0;
    int failOp_ = -1;
    uint32_t notReady_ = 0;
    bool stuckBusy_ = false;
    uint64_t shortAt_ = 0, flipEvery_ = 0, powerCutAt_ = 0, powerCutAtUs_ = 0, dropAt_ = 0;
    bool noReturn_ = false, twins_ = false;
    uint64_t loseStatusAt_ = 0, hangAt_ = 0, statusFailEvery_ = 0;
    uint32_t notReadyMs_ = 0, resetJitterMs_ = 0;
    bool renode_ = false;
    uint64_t seed_ = 1;
    std::mt19937_64 rng_{1};
};

}  // namespace sim
