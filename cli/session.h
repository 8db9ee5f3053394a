// Where a command's devices come from: the platform's bridges, or emulated enclosures (--sim).
#pragma once
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace cli {

class DeviceSession {
public:
    virtual ~DeviceSession() = default;
    virtual std::vector<std::string> candidates() = 0;
};

std::unique_ptr<DeviceSession> makeHardwareSession();
// Attaches the enclosures (installing the emulator as the transport backend and its virtual
// clock). Returns null and fills `error` when an enclosure text is not valid.
std::unique_ptr<DeviceSession> makeSimSession(const std::vector<std::string>& enclosures, std::string& error);
// The --sim grammar, for `q55x sim --help`.
std::string simHelp();

}  // namespace cli
