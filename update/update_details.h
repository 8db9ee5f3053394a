// What one update did, in words a user can read and keep: the device, the firmware it reported
// before and after, each step the procedure went through, and on failure the cause (the step,
// the flash address, the command with its SCSI status and sense). Both programs fill it from the
// FailureWatch their update ran under and show it their own way; either can save it as text.
#pragma once
#include <string>
#include <vector>

#include "update/failure_cause.h"

namespace firmware {

struct UpdateDetails {
    std::string device;            // how the program names the device
    std::string firmwareBefore;    // the version the chip reported; empty when it could not be read
    std::string firmwareAfter;
    std::vector<std::string> steps;
    bool ok = false;
    std::string cause;             // on failure: the cause's line

    // Steps and cause from the watch the update ran under.
    void take(const FailureWatch& watch, bool succeeded);
    // One line per item, steps numbered; what the "Details" view shows and a saved log holds.
    std::string text() const;
};

// Writes the text to `path`; false with the reason in `error`.
bool saveDetails(const UpdateDetails& d, const std::string& path, std::string& error);

// The chip information's version bytes (12-15) as "31.01.01.15"; empty unless the record
// carries its signature.
std::string versionOfChipInfo(const uint8_t* info, size_t len);

}  // namespace firmware
