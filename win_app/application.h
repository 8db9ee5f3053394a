// The program's message loop, written once over the backend: the native queue, the device events
// the emulator posts, and the window timers. Timers run on the clock seam (sys/clock.h): with the
// steady clock the loop waits for the native queue until the next timer is due; with the virtual
// clock (the emulator, tests) an idle loop moves the clock on to the next due timer at once.
//
// While it lives, the Application is the process's message pump, message box handler and debug
// sink (sys/debug.h, sys/message_box.h), so the procedures below the window reach the window's
// backend through the seams they already use.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sys/debug.h"
#include "sys/message_box.h"
#include "win_app/ui_backend.h"

namespace winform {

class Application final : public NativeEvents {
public:
    Application(UiBackend& ui, bool virtualTime);
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    UiBackend& ui() { return ui_; }
    bool virtualTime() const { return virtualTime_; }

    void setTitle(std::string_view title);
    const std::string& title() const { return title_; }

    // Window timers: `id` fires every `ms` until stopped; starting a running timer starts it anew.
    void startTimer(unsigned id, unsigned ms);
    void stopTimer(unsigned id);
    bool timerActive(unsigned id) const { return timers_.count(id) != 0; }
    std::optional<uint64_t> nextTimerDue() const;

    // Work the loop does every `periodMs` on its own account, apart from the window's timers:
    // the emulator's bus is looked at this way, so a device it brings back after a reset is
    // noticed even when nothing else asks for it.
    void addWatch(unsigned periodMs, std::function<void()> work);

    // What the window does with the loop's events.
    struct Handlers {
        std::function<void(unsigned id)> timer;
        std::function<void(DeviceEvent)> deviceChange;
        std::function<void()> closeRequested;
        std::function<bool()> sessionEndQueried;
        std::function<bool()> sleepQueried;
    };
    void setHandlers(Handlers h) { handlers_ = std::move(h); }

    // Device events from outside the native queue (the emulator's hot-plug); delivered by the
    // next processMessages(), as the system would deliver its message.
    void postDeviceChange(DeviceEvent e) { posted_.push_back(e); }

    // Handles what is waiting now: native messages, posted device events, due timers.
    void processMessages();
    // Runs the loop until `done` holds, the program quits, or `limitMs` of clock time have passed.
    void runUntil(const std::function<bool()>& done, uint64_t limitMs);
    void runFor(uint64_t ms) { runUntil({}, ms); }
    // Runs the loop until quit().
    void run();
    void quit() { quit_ = true; }
    bool quitting() const { return quit_; }

    // NativeEvents
    void deviceChanged(DeviceEvent e) override;
    void closeRequested() override;
    bool sessionEndQueried() override;
    bool sleepQueried() override;

private:
    struct Timer {
        unsigned intervalMs;
        uint64_t dueMs;
    };
    struct Watch {
        unsigned periodMs;
        uint64_t dueMs;
        std::function<void()> work;
    };
    std::optional<uint64_t> nextDue() const;
    void fireDueTimers();
    void deliverPosted();
    void idleUntil(uint64_t targetMs);

    UiBackend& ui_;
    bool virtualTime_;
    std::string title_;
    std::map<unsigned, Timer> timers_;
    std::vector<Watch> watches_;
    std::vector<DeviceEvent> posted_;
    Handlers handlers_;
    bool quit_ = false;
    sys::MessagePump oldPump_;
    sys::MessageBoxHandler oldBox_;
    sys::DebugSink oldSink_;
};

}  // namespace winform
