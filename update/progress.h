// How a procedure reports: on the Windows program's window, the status line (messages processed
// after every change, so that the window stays alive) with a "." per transfer step and the box
// that ends a successful update; on macOS, where a procedure runs on its own thread without a
// window, nothing but the procedure's own lines on standard output. One helper for every
// procedure, so a failing branch reads `return p.fail(kText...)` and shows the text the user reads.
#pragma once
#include <string_view>

#include "update/update_texts.h"
#include "update/update_window.h"

namespace firmware {

class Progress {
public:
    explicit Progress(UpdateWindow* w) : w_(w) {}
    explicit Progress(UpdateWindow& w) : w_(&w) {}

    void show(std::string_view text) const {
        if (!w_) return;
        w_->setStatus(text);
        w_->processMessages();
    }
    bool fail(std::string_view text) const {
        show(text);
        return false;
    }
    // Appended to what the status line already says.
    bool failAppending(std::string_view text) const {
        if (w_) {
            w_->appendStatus(text);
            w_->processMessages();
        }
        return false;
    }
    void step() const {
        if (!w_) return;
        w_->appendStatus(".");
        w_->processMessages();
    }
    // A macOS procedure's own line; the Windows form has its status line instead.
    void macLine(std::string_view line) const {
        if (!w_) macPrint(line);
    }
    // "Programming Success!!", then the box that tells the user what comes next; true.
    bool succeed(std::string_view box) const {
        show(kTextSuccess);
        if (!w_) return true;
        w_->messageBox(box, kMessageTitle, sys::MsgIcon::None);
        w_->processMessages();
        return true;
    }
    UpdateWindow* window() const { return w_; }

    static constexpr std::string_view kMessageTitle = "Message";

private:
    UpdateWindow* w_;
};

}  // namespace firmware
