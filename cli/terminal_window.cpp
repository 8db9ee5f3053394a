#include "cli/terminal_window.h"

#include <ostream>

namespace cli {

TerminalWindow::~TerminalWindow() { endLine(); }

void TerminalWindow::endLine() {
    if (lineOpen_ && !quiet_) out_ << "\n" << std::flush;
    lineOpen_ = false;
    dots_ = 0;
}

void TerminalWindow::setStatus(std::string_view text) {
    RecordingWindow::setStatus(text);
    endLine();
    if (text.empty() || quiet_) return;
    out_ << text << std::flush;
    lineOpen_ = true;
}

void TerminalWindow::appendStatus(std::string_view text) {
    RecordingWindow::appendStatus(text);
    if (quiet_) return;
    // One mark per step, wrapped so a long transfer stays readable.
    for (char c : text) {
        if (dots_ && dots_ % 64 == 0) out_ << "\n  ";
        out_ << c;
        ++dots_;
    }
    out_ << std::flush;
    lineOpen_ = true;
}

int TerminalWindow::messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) {
    const int r = RecordingWindow::messageBox(text, title, icon);
    endLine();
    if (!quiet_) out_ << "[" << title << "] " << text << "\n" << std::flush;
    return r;
}

}  // namespace cli
