#include "mac_app/registry/sim_services.h"

namespace iokit {

namespace {

Entry toEntry(const sim::RegistryEntry& e) { return {e.name, e.properties}; }

}  // namespace

ServiceRecord SimServices::recordOf(const sim::DeviceInfo& d) {
    ServiceRecord r;
    r.object = d.makerObject;
    for (const auto& e : d.registryParents) r.parents.push_back(toEntry(e));
    for (const auto& e : d.registryChildren) r.children.push_back(toEntry(e));
    return r;
}

SimServices::SimServices(sim::Bus& bus, sys::VirtualClock* clock) : bus_(bus), clock_(clock) {
    subscription_ = bus_.subscribe([this](const sim::BusEvent& e) {
        if (e.kind == sim::BusEvent::Kind::Arrival)
            serviceArrived(recordOf(e.device));
        else
            serviceTerminated(e.device.makerObject);
    });
    // What is attached already is there before anyone asks; it raises no notification.
    for (const sim::DeviceInfo& d : bus_.devices()) serviceArrived(recordOf(d));
    runLoopRunFor(runLoopGetCurrent(), 0);
}

SimServices::~SimServices() { bus_.unsubscribe(subscription_); }

void SimServices::waitForChanges(unsigned ms) {
    const auto start = std::chrono::steady_clock::now();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(ms < 20 ? ms : 20));
    }
    if (clock_) {
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        clock_->advanceMs(static_cast<uint64_t>(waited.count()));
    }
    bus_.devices();   // brings back the devices whose time has come; their arrivals are queued
}

}  // namespace iokit
