// Emulated enclosures in place of real devices (--sim): the emulator's bus becomes the transport
// backend and its interface list and volume table the Windows discovery seam; its virtual clock
// becomes the clock of the whole program; its hot-plug events become device-change messages.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "sim/session.h"
#include "sim/win_devices.h"
#include "win_app/ui_backend.h"

namespace winapp {

// How often the program looks at the emulated bus for devices coming back after a reset.
constexpr unsigned kSimHotPlugPollMs = 100;

class SimDevices {
public:
    SimDevices();
    ~SimDevices();
    SimDevices(const SimDevices&) = delete;
    SimDevices& operator=(const SimDevices&) = delete;

    // Attaches one enclosure per text (MODEL[,key=value]...); false with a reason.
    bool attach(const std::vector<std::string>& enclosures, std::string& error);

    sim::Session& session() { return session_; }
    sim::Bus& bus() { return session_.bus(); }
    sim::SimWinDevices& winDevices() { return devices_; }

    // Receives every arrival and removal on the emulated bus.
    std::function<void(winform::DeviceEvent)> onDeviceChange;

private:
    sim::Session session_;
    sim::SimWinDevices devices_{session_.bus()};
    int subscription_ = 0;
};

}  // namespace winapp
