// The update procedures' window, on a terminal: the status line becomes a line of output, its
// dots a running progress display, message boxes become lines. On a terminal the stages of an
// update (erase, write, read-back) show as a progress bar instead of dots. With --json nothing is
// printed; the command reports at the end.
#pragma once
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "cli/progress_bar.h"
#include "update/update_window.h"

namespace cli {

class TerminalWindow final : public firmware::RecordingWindow {
public:
    enum class Mode { Lines, Bar, Quiet };
    TerminalWindow(std::ostream& out, Mode mode);
    ~TerminalWindow() override;

    // What the update writes, for the bar's percent (0: unknown), and the flash size.
    void setExpectedBytes(uint64_t n, uint64_t flashBytes = 0);

    void setStatus(std::string_view text) override;
    void appendStatus(std::string_view text) override;
    int messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) override;
    // Ends the status line in progress, before the command prints its own result.
    void endLine();

private:
    std::ostream& out_;
    bool quiet_;
    std::unique_ptr<ProgressBar> bar_;
    std::unique_ptr<transport::ScopedCommandListener> listener_;
    bool lineOpen_ = false;
    size_t dots_ = 0;
};

}  // namespace cli
