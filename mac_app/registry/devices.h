// Where the program's controllers come from: the emulator (--sim) or the system's own devices.
// Each environment installs the registry services discovery uses and the maker library's device
// source, for as long as it lives.
#pragma once
#include <memory>
#include <string>
#include <vector>

namespace macapp {

class DeviceEnvironment {
public:
    virtual ~DeviceEnvironment() = default;
    // Before the program ends: the emulated enclosures save their state files.
    virtual void finish() {}
};

std::unique_ptr<DeviceEnvironment> makeSimEnvironment(const std::vector<std::string>& enclosures, std::string& error);
std::unique_ptr<DeviceEnvironment> makeSystemEnvironment();

}  // namespace macapp
