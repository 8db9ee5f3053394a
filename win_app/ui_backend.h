// What the window needs of the platform beyond its controls: the native window and the peers of
// its controls, message boxes, the open-file dialog, debug output, the native message queue,
// device-interface notifications, dropped files, the program's version record and folder.
// The Win32 backend (win32_backend.cpp) does it with real windows; the headless backend records
// it for tests.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "sys/message_box.h"
#include "win_app/controls.h"

namespace winform {

// The four 16-bit parts of the program's file version; all 0 without a version record.
using FileVersion = std::array<uint16_t, 4>;

// The events of the device-change message the window acts on.
enum class DeviceEvent : uint8_t { Arrival, RemoveComplete };

// Receives what the native window reports; the Application forwards it to the form.
class NativeEvents {
public:
    virtual ~NativeEvents() = default;
    virtual void deviceChanged(DeviceEvent e) = 0;
    virtual void closeRequested() = 0;   // the system menu's close, Alt+F4
    // The session is about to end (log-off, shut-down, restart) or the system about to sleep:
    // true lets it, false asks the system to wait.
    virtual bool sessionEndQueried() = 0;
    virtual bool sleepQueried() = 0;
};

class UiBackend {
public:
    virtual ~UiBackend() = default;

    // The application's title (the one the task bar shows).
    virtual void setApplicationTitle(std::string_view title) = 0;
    // Builds the native window and a peer for every control; false when it cannot.
    virtual bool createWindow(Form& form, NativeEvents& events) = 0;
    virtual void showWindow(Form& form) = 0;
    virtual void destroyWindow(Form& form) = 0;

    virtual int messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) = 0;
    // Runs the dialog; true with dialog.fileName set, false when the user cancelled.
    virtual bool runOpenDialog(OpenDialog& dialog) = 0;
    virtual void debugOut(std::string_view text) = 0;

    // Dispatches the native messages waiting now; false once the queue has been told to quit.
    virtual bool pumpNative() = 0;
    // Waits up to `ms` for a native message (no wait in a backend without a queue); false when
    // nothing can ever arrive.
    virtual bool waitNative(uint64_t ms) = 0;

    // Registers the window for arrivals and removals of devices of the given interface class.
    virtual bool registerDeviceNotifications(Form& form, std::string_view interfaceClassGuid) = 0;
    virtual void unregisterDeviceNotifications(Form& form) = 0;
    virtual void acceptDroppedFiles(Form& form, bool on) = 0;
    // While held, the system is kept awake and a log-off or shut-down shows `reason` as what
    // blocks it; released, both are the system's again.
    virtual void holdSession(Form& form, std::string_view reason, bool on) = 0;

    virtual FileVersion programVersion() = 0;
    virtual std::string programFolder() = 0;
};

}  // namespace winform
