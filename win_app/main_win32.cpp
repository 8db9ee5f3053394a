// Q55xFwTool.exe: the Win32 entry point. Everything past the command line is runProgram's.
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "win_app/program.h"
#include "win_app/win32_backend.h"

namespace {

std::string narrow(const wchar_t* w) {
    const int n = WideCharToMultiByte(CP_ACP, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string s(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    std::vector<std::string> args;
    int argc = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        for (int i = 1; i < argc; ++i) args.push_back(narrow(argv[i]));
        LocalFree(argv);
    }
    winapp::ProgramOptions options;
    std::string error;
    const bool parsed = winapp::parseProgramOptions(args, options, error);
    // An unattended run never opens a dialog, not even to say its command line is wrong.
    bool unattended = options.autoUpdate;
    for (const std::string& a : args) unattended = unattended || a == "--auto-update";
    winform::Win32Backend ui(instance, unattended);
    if (!parsed) {
        ui.messageBox(error + "\n\n" + winapp::usageText(), "Error", sys::MsgIcon::Error);
        return winapp::kExitUsage;
    }
    return winapp::runProgram(ui, options);
}
