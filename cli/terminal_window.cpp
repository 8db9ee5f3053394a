#include "cli/terminal_window.h"

#include <ostream>

namespace cli {

TerminalWindow::TerminalWindow(std::ostream& out, Mode mode) : out_(out), quiet_(mode == Mode::Quiet) {
    if (mode != Mode::Bar) return;
    bar_ = std::make_unique<ProgressBar>(out_, 0);
    listener_ = std::make_unique<transport::ScopedCommandListener>(
        [bar = bar_.get()](const transport::TraceEntry& e) { bar->onCommand(e); });
}

TerminalWindow::~TerminalWindow() { endLine(); }

void TerminalWindow::setExpectedBytes(uint64_t n, uint64_t flashBytes) {
    if (bar_) bar_->setExpectedBytes(n, flashBytes);
}

void TerminalWindow::endLine() {
    if (bar_) bar_->end();
    if (lineOpen_ && !quiet_) out_ << "\n" << std::flush;
    lineOpen_ = false;
    dots_ = 0;
}

void TerminalWindow::setStatus(std::string_view text) {
    RecordingWindow::setStatus(text);
    if (bar_) {
        if (const ProgressStage stage = stageOfStatus(text); stage != ProgressStage::None) {
            if (lineOpen_) out_ << "\n";
            lineOpen_ = false;
            dots_ = 0;
            bar_->begin(stage);
            return;
        }
    }
    endLine();
    if (text.empty() || quiet_) return;
    out_ << text << std::flush;
    lineOpen_ = true;
}

void TerminalWindow::appendStatus(std::string_view text) {
    RecordingWindow::appendStatus(text);
    if (quiet_) return;
    // The bar stands for the dots of its stage; anything else appended is a message of its own.
    if (bar_ && bar_->active()) {
        if (text.find_first_not_of('.') == std::string_view::npos) return;
        bar_->end();
    }
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
