// q55x: the Linux command-line tool. runCli() is the whole program, callable in-process by tests.
#pragma once
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace cli {

// Exit codes of every command.
enum Exit : int {
    kExitOk = 0,
    kExitFailed = 1,
    kExitNothingToDo = 2,
    kExitNoDevice = 3,
    kExitUsage = 64,
    kExitInterrupted = 130,   // SIGINT, SIGTERM or SIGHUP before anything was written
};

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
int runCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace cli
