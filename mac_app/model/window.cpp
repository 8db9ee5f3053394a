#include "mac_app/model/window.h"

#include <atomic>

namespace raid {

namespace {

class no_window final : public controller_window {
public:
    void stopprogressbar() override {}
    void cleargui() override {}
    void clear_controller_list() override {}
    void update_controller_list() override {}
    void select_first_controller() override {}
    void continueButtonEnabled(bool) override {}
    void deviceLabelSetStringVal(const std::string&) override {}
    void stopworking() override {}
    void showSuccessfulWindow() override {}
    void showFailureWindow() override {}
    void show_error_and_exit(const std::string&) override {}
    std::string localized(const std::string& key) override { return key; }
};

no_window gNoWindow;
std::atomic<controller_window*> gWindow{nullptr};

}  // namespace

controller_window& window() {
    controller_window* w = gWindow.load();
    return w ? *w : gNoWindow;
}

void set_window(controller_window* w) { gWindow.store(w); }

}  // namespace raid
