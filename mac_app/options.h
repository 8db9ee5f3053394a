// The program's own command-line options. Everything else on the command line (the toolkit's
// "-Name value" defaults) is left to the toolkit.
//
//   --sim ENCLOSURE      attach an emulated enclosure (repeatable); no real devices are used then
//   --auto-continue      press Continue once it is enabled, wait for Success or Failure, exit
//                        0 on Success and 1 on Failure; when no update has started within the
//                        limit, end in Failure
//   --auto-continue-limit SECONDS
//                        that limit (default 30)
//   --report FILE        with --auto-continue: the controls' state as JSON at the end, written
//                        however the run ends
//   --show-raid          show the RAID window at start
#pragma once
#include <string>
#include <vector>

namespace macapp {

struct Options {
    std::vector<std::string> sim;
    bool autoContinue = false;
    unsigned autoContinueLimitS = 30;
    std::string report;
    bool showRaid = false;
};

// False with a reason for an unknown "--" option or a missing value.
bool parseOptions(int argc, const char* const* argv, Options& out, std::string& error);
const char* usageText();

}  // namespace macapp
