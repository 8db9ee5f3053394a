// The cause line of a failed command, as the user reads it: what the system's error means for the
// enclosure, and never a "system error 0" for a device that was not opened.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "update/failure_cause.h"

TEST(FailureCauseLine, SaysWhatTheSystemsErrorMeans) {
    struct Case { bool opened; uint32_t error; bool out; uint32_t residual; const char* says; };
    for (const Case& c : std::initializer_list<Case>{
             {false, 0, false, 0, "it has left the bus, or it is no bridge of ours"},
             {false, ENODEV, false, 0, "the enclosure left the bus"},
             {true, ENXIO, false, 0, "the enclosure left the bus during command ff04"},
             {false, EBUSY, false, 0, "another program has the device open"},
             {false, EACCES, false, 0, "no permission to open the device's node"},
             {true, 0, true, 1536, "only 2560 of 4096 bytes sent (data-out residue 1536)"}}) {
        SCOPED_TRACE(c.says);
        firmware::FailureCause cause;
        cause.step = "programming the flash";
        firmware::FailedCommand f;
        f.cdb = "ff0411000000000000000000";
        f.opened = c.opened;
        f.sysError = c.error;
        f.dataOut = c.out;
        f.length = 4096;
        f.residual = c.residual;
        cause.command = f;
        const std::string line = cause.line([](uint32_t e) { return std::string(std::strerror(static_cast<int>(e))); });
        EXPECT_NE(line.find(c.says), std::string::npos) << line;
        EXPECT_EQ(line.find("system error 0"), std::string::npos) << line;
    }
}
