// A failed command's cause line says what the system's error means for the enclosure.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "update/failure_cause.h"

TEST(FailureCauseLine, SaysWhatTheSystemsErrorMeans) {
    struct Case { bool opened; uint32_t error, residual; const char* says; };
    for (const Case& c : std::initializer_list<Case>{
             {false, 0, 0, "it has left the bus, or it is no bridge of ours"},   // never "system error 0"
             {false, ENODEV, 0, "the enclosure left the bus"},
             {true, ENXIO, 0, "the enclosure left the bus during command ff04"},
             {false, EBUSY, 0, "another program has the device open"},
             {false, EACCES, 0, "no permission to open the device's node"},
             {true, 0, 1536, "only 2560 of 4096 bytes sent (data-out residue 1536)"}}) {
        firmware::FailureCause cause;
        cause.command = firmware::FailedCommand{"ff0411000000000000000000", c.opened, c.error, 0, 0, 0, {}, true, 4096, c.residual};
        const std::string line = cause.line([](uint32_t e) { return std::string(std::strerror(static_cast<int>(e))); });
        EXPECT_NE(line.find(c.says), std::string::npos) << line;
    }
}
