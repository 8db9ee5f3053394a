// Everything a program or a test needs to run against virtual enclosures, for the lifetime of
// one scope: a virtual clock, a bus installed as the transport backend and as the maker
// library's device source. Sessions do not nest with other backends: the previous backend,
// clock and device source come back when the session ends.
#pragma once
#include "sim/bus.h"
#include "sys/clock.h"
#include "transport/backend.h"
#include "transport/maclib/qvlib.h"

namespace sim {

class Session {
public:
    explicit Session(uint64_t startMs = 1000)
        : clock_(startMs), scopedClock_(clock_), scopedBackend_(bus_), previousSource_(maclib::makerDeviceSource()) {
        maclib::setMakerDeviceSource(&bus_);
        bus_.runOn(&clock_);
    }
    ~Session() { maclib::setMakerDeviceSource(previousSource_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Bus& bus() { return bus_; }
    sys::VirtualClock& clock() { return clock_; }

private:
    sys::VirtualClock clock_;
    sys::ScopedClock scopedClock_;
    Bus bus_;
    transport::ScopedBackend scopedBackend_;
    maclib::MakerDeviceSource* previousSource_;
};

}  // namespace sim
