// The backend without a screen: no native window, no native queue. It records what the window
// asks of the platform (message boxes, debug output, dialog runs, notification registration)
// and answers the open-file dialog from a script. Tests drive the window with it; nothing ever
// blocks on a dialog.
#pragma once
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "win_app/ui_backend.h"

namespace winform {

class HeadlessBackend final : public UiBackend {
public:
    struct Box {
        std::string text, title;
        sys::MsgIcon icon;
    };

    void setApplicationTitle(std::string_view title) override { applicationTitle = title; }
    bool createWindow(Form&, NativeEvents&) override { return windowCreated = true; }
    void showWindow(Form&) override { windowShown = true; }
    void destroyWindow(Form&) override { windowDestroyed = true; }

    int messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) override;
    bool runOpenDialog(OpenDialog& dialog) override;
    void debugOut(std::string_view text) override { debugText += text; }

    // What the user does while messages are processed (`userInput` runs at every pump).
    bool pumpNative() override {
        if (userInput) userInput();
        return true;
    }
    bool waitNative(uint64_t) override { return false; }

    bool registerDeviceNotifications(Form&, std::string_view guid) override;
    void unregisterDeviceNotifications(Form&) override { notificationsRegistered = false; }
    void acceptDroppedFiles(Form&, bool on) override { acceptsFiles = on; }
    void holdSession(Form&, std::string_view reason, bool on) override {
        sessionHeld = on;
        if (on) sessionHoldReason = reason;
    }

    FileVersion programVersion() override { return version; }
    std::string programFolder() override { return folder; }

    // Set up by the test.
    FileVersion version{1, 0, 0, 0};
    std::string folder;
    std::deque<std::string> dialogAnswers;   // each run takes one; an empty text means "Cancel"
    std::function<void()> userInput;

    // What happened.
    std::string applicationTitle;
    bool windowCreated = false, windowShown = false, windowDestroyed = false;
    std::vector<Box> boxes;
    std::string debugText;
    std::vector<OpenDialog> dialogRuns;
    bool notificationsRegistered = false;
    std::string notificationGuid;
    bool acceptsFiles = false;
    bool sessionHeld = false;
    std::string sessionHoldReason;
};

}  // namespace winform
