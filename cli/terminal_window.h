// The update procedures' window, on a terminal: the status line becomes a line of output, its
// dots a running progress display, message boxes become lines. With --json nothing is printed;
// the command reports at the end.
#pragma once
#include <iosfwd>
#include <string>
#include <vector>

#include "firmware/update_window.h"

namespace cli {

class TerminalWindow final : public firmware::RecordingWindow {
public:
    TerminalWindow(std::ostream& out, bool quiet) : out_(out), quiet_(quiet) {}
    ~TerminalWindow() override;

    void setStatus(std::string_view text) override;
    void appendStatus(std::string_view text) override;
    int messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) override;
    // Ends the status line in progress, before the command prints its own result.
    void endLine();

private:
    std::ostream& out_;
    bool quiet_;
    bool lineOpen_ = false;
    size_t dots_ = 0;
};

}  // namespace cli
