// Where a command's devices come from: the platform's bridges, or emulated enclosures (--sim).
#pragma once
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vendor/device_table.h"

namespace cli {

class DeviceSession {
public:
    virtual ~DeviceSession() = default;
    // The candidate bridges, in discovery order, with their bus.
    virtual std::vector<vendor::Candidate> candidates() = 0;
    // What stands in for drive letters: the block device and its mounted volumes.
    virtual std::string volumesOf(const std::string& path) = 0;
    // The bus of a device named by the user (--device), as discovery would find it.
    virtual std::optional<vendor::Bus> busOf(const std::string& path) = 0;
    // What the last scan could not do and the user should know (devices denied for lack of rights).
    virtual std::vector<std::string> takeWarnings() { return {}; }
};

std::unique_ptr<DeviceSession> makeHardwareSession();
// Attaches the enclosures (installing the emulator as the transport backend and its virtual
// clock). Returns null and fills `error` when an enclosure text is not valid.
std::unique_ptr<DeviceSession> makeSimSession(const std::vector<std::string>& enclosures, std::string& error);
// The --sim grammar, for `q55x sim --help`.
std::string simHelp();

}  // namespace cli
