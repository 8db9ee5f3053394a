// Running one device command on every attached bridge at once, as a production line needs: one
// worker per device (every command opens and closes its own device, so devices are independent),
// at most `jobs` at a time, one summary line per device.
#pragma once
#include <functional>
#include <string>

#include "cli/context.h"
#include "cli/guards.h"

namespace cli {

struct FanOut {
    std::string action;   // "update", "flash FILE": for the question and the summary
    int jobs = 0;         // 0: one worker per device
    // Which listed devices the command is for (the others are listed as skipped).
    std::function<bool(const vendor::ListedDevice&)> wanted;
};

// Runs `single` for each wanted device in a context of its own (--device set, JSON captured).
// Exit 0 when every device succeeded or had nothing to do, 1 when any failed, 3 with no device.
int runOnAll(Context& ctx, const WriteGuards& guards, const FanOut& f, const std::function<int(Context&)>& single);

}  // namespace cli
