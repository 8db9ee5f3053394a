// raid::controller_window over the `controller` object: calls from other threads go to the main
// thread (in the default, modal-panel and event-tracking run-loop modes, so they also arrive while
// an alert is up); calls made on the main thread run at once.
#pragma once
#include <string>

#include "mac_app/model/window.h"

@class controller;

namespace macapp {

class WindowBridge final : public raid::controller_window {
public:
    void stopprogressbar() override;
    void cleargui() override;
    void clear_controller_list() override;
    void update_controller_list() override;
    void select_first_controller() override;
    void continueButtonEnabled(bool enabled) override;
    void deviceLabelSetStringVal(const std::string& text) override;
    void stopworking() override;
    void showSuccessfulWindow() override;
    void showFailureWindow() override;
    void showDetails(const std::string& text) override;
    void holdSystemAwake(bool on) override;
    void show_error_and_exit(const std::string& text) override;
    std::string localized(const std::string& key) override;
};

// Sends `selector` to `target` on the main thread (at once when already on it).
void onMainThread(id target, SEL selector, id argument);

}  // namespace macapp
