// How q55x reports a failed update: the procedure's own text as before, then one line with the
// cause and one with what to do next; with --json an error object that carries the step, the
// address and the failing command's SCSI status, sense, host and driver status.
#pragma once
#include <nlohmann/json.hpp>

#include <string>

#include "cli/context.h"
#include "update/failure_cause.h"

namespace cli {

struct FailureReport {
    std::string message;              // the procedure's own text ("Update    Fail!!", the status line)
    firmware::FailureCause cause;
    std::string next;                 // what to do now
};

// What to do after `cause` on `dev`: run again, recover a bank, power-cycle, or restore the copy
// of the flash taken before the update (`backup`, empty when there is none) with the command named.
std::string nextStep(const firmware::FailureCause& cause, const firmware::SelectedDevice& dev, const std::string& backup);

// A failure before anything was written (the chip information read, the backup of the flash):
// `message` as before, then the cause of the failed command `watch` saw, named as `step`, with
// what to do next, in the text and in --json. `detail` stands in where no command failed.
constexpr const char* kReadingChipInfo = "reading the chip information";
int failBeforeWriting(Context& ctx, const std::string& message, const firmware::FailureWatch& watch,
                      const std::string& step, const std::string& detail = {});

// The exit code of a failed update: busy or no rights when the device could not be opened for that,
// interrupted once an erase or a write had gone out, else failed (nothing changed).
int exitCodeOf(const FailureReport& r);
nlohmann::json errorJson(const FailureReport& r);
// The cause and next-step lines, below what the command printed already.
void printFailure(Context& ctx, const FailureReport& r);

}  // namespace cli
