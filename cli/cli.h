// q55x: the Linux command-line tool. runCli() is the whole program, callable in-process by tests.
#pragma once
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace cli {

// Exit codes of every command; a script tells the cases apart by them (the manual page lists them).
enum Exit : int {
    kExitOk = 0,
    kExitFailed = 1,           // failed; nothing was changed on the device
    kExitNothingToDo = 2,
    kExitNoDevice = 3,
    kExitRefused = 4,          // refused before writing: the file, the version, the chip, the choice of device
    kExitPermission = 5,       // no rights on the device's node
    kExitBusy = 6,             // another program has the device open
    kExitVerifyMismatch = 7,   // the flash does not hold the file
    kExitInterrupted = 8,      // stopped after it had begun to change the flash: see `q55x recover`
    kExitUsage = 64,
    kExitCancelled = 130,      // SIGINT, SIGTERM or SIGHUP before anything was written
};

// The program's version, as `q55x --version` prints it.
const char* versionText();

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
int runCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace cli
