// The program from its command line to its exit code, written once over the backend: read the
// settings (a VID or PID that is not hexadecimal ends start-up with a message box naming key and
// value, before any window exists), attach emulated enclosures when asked, build the window, and
// either run the message loop or do the unattended one-button update and write its report.
//
//   Q55xFwTool [--sim ENCLOSURE]... [--auto-update --report FILE] [--settings FILE]
#pragma once
#include <string>
#include <vector>

#include "win_app/ui_backend.h"

namespace winapp {

struct ProgramOptions {
    std::vector<std::string> sims;   // MODEL[,key=value]... per emulated enclosure
    bool autoUpdate = false;
    std::string reportFile;
    std::string settingsFile;        // empty: FwUpdateTool.ini in the current folder
};

constexpr int kExitPass = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 64;

// False with a reason for an unknown option or a missing value.
bool parseProgramOptions(const std::vector<std::string>& args, ProgramOptions& out, std::string& error);
std::string usageText();

// How long the unattended run waits for the one-button update to be offered, and for the scan
// that follows the update (clock time: virtual with --sim).
constexpr unsigned kAutoWaitForOfferMs = 30000;
constexpr unsigned kAutoWaitForRescanMs = 10000;

int runProgram(winform::UiBackend& ui, const ProgramOptions& options);

}  // namespace winapp
