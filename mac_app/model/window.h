// What the controller model and discovery need of the program's window. The macOS front end
// implements it over its `controller` class and carries each call onto the GUI thread; tests
// record the calls. Calls come from the discovery thread, the update threads and the GUI thread.
#pragma once
#include <string>

namespace raid {

class controller_window {
public:
    virtual ~controller_window() = default;

    // The RAID window.
    virtual void stopprogressbar() = 0;
    virtual void cleargui() = 0;
    virtual void clear_controller_list() = 0;
    virtual void update_controller_list() = 0;
    virtual void select_first_controller() = 0;
    // The wizard.
    virtual void continueButtonEnabled(bool enabled) = 0;
    virtual void deviceLabelSetStringVal(const std::string& text) = 0;
    virtual void stopworking() = 0;
    virtual void showSuccessfulWindow() = 0;
    virtual void showFailureWindow() = 0;
    // What the update did (device, firmware before and after, steps, cause), before its result.
    virtual void showDetails(const std::string& text) { (void)text; }
    // While an update thread runs the system must not sleep: on at its start, off at its end.
    virtual void holdSystemAwake(bool on) { (void)on; }
    // An error alert, then the program ends with status 3.
    virtual void show_error_and_exit(const std::string& text) = 0;
    // The text of a key of the string tables; the key itself when there is none.
    virtual std::string localized(const std::string& key) = 0;
};

// The window every thread reaches (the program's `ctrller`). Without one, calls go nowhere.
controller_window& window();
void set_window(controller_window* w);

}  // namespace raid
