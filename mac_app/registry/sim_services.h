// The registry over the emulator: the bus's devices are the services (their maker-library device
// objects), each with the registry chains the bus gives it; the bus's arrivals and removals
// become the notifications. While its run loop has nothing to do, the virtual clock (when one is
// given) moves on with real time, so an enclosure that restarts comes back in a running program.
#pragma once
#include <chrono>

#include "mac_app/registry/snapshot_services.h"
#include "sim/bus.h"
#include "sys/clock.h"

namespace iokit {

class SimServices final : public SnapshotServices {
public:
    // `clock`: the session's virtual clock to move on while idle, or null to leave time alone.
    explicit SimServices(sim::Bus& bus, sys::VirtualClock* clock = nullptr);
    ~SimServices() override;
    SimServices(const SimServices&) = delete;
    SimServices& operator=(const SimServices&) = delete;

    static ServiceRecord recordOf(const sim::DeviceInfo& d);

protected:
    void waitForChanges(unsigned ms) override;

private:
    sim::Bus& bus_;
    sys::VirtualClock* clock_;
    int subscription_ = 0;
};

}  // namespace iokit
