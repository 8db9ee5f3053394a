#include "win_app/sim_devices.h"

namespace winapp {

SimDevices::SimDevices() {
    transport::setWinDeviceApi(&devices_);
    subscription_ = session_.bus().subscribe([this](const sim::BusEvent& e) {
        if (!onDeviceChange) return;
        onDeviceChange(e.kind == sim::BusEvent::Kind::Arrival ? winform::DeviceEvent::Arrival
                                                              : winform::DeviceEvent::RemoveComplete);
    });
}

SimDevices::~SimDevices() {
    session_.bus().unsubscribe(subscription_);
    transport::setWinDeviceApi(nullptr);
}

bool SimDevices::attach(const std::vector<std::string>& enclosures, std::string& error) {
    for (const std::string& e : enclosures)
        if (!session_.bus().addEnclosure(e, error)) return false;
    return true;
}

}  // namespace winapp
