#include "cli/session.h"

namespace cli {

std::unique_ptr<DeviceSession> makeSimSession(const std::vector<std::string>&, std::string& error) {
    error = "the virtual enclosure is not available in this build";
    return nullptr;
}

std::string simHelp() { return "--sim ENCLOSURE: not available in this build\n"; }

}  // namespace cli
