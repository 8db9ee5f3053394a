#include "update/update_details.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace firmware {

void UpdateDetails::take(const FailureWatch& watch, bool succeeded) {
    steps = watch.steps();
    ok = succeeded;
    cause = succeeded ? std::string() : watch.cause().line();
}

std::string UpdateDetails::text() const {
    const auto orUnread = [](const std::string& v) { return v.empty() ? std::string("(could not be read)") : v; };
    std::string t = "Device: " + (device.empty() ? std::string("(none)") : device) + "\n";
    t += "Firmware before: " + orUnread(firmwareBefore) + "\n";
    t += "Firmware after: " + orUnread(firmwareAfter) + "\n";
    for (size_t i = 0; i < steps.size(); ++i) t += std::to_string(i + 1) + ". " + steps[i] + "\n";
    t += ok ? "Result: passed\n" : "Result: failed\n";
    if (!ok) t += "Cause: " + (cause.empty() ? std::string("not known") : cause) + "\n";
    return t;
}

bool saveDetails(const UpdateDetails& d, const std::string& path, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out << d.text();
    if (out) out.close();
    if (!out) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string versionOfChipInfo(const uint8_t* info, size_t len) {
    if (!info || len < 16 || info[0] != 0xF4 || info[1] != 0xE7) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%.2d.%.2d.%.2d.%.2d", info[12], info[13], info[14], info[15]);
    return text;
}

}  // namespace firmware
