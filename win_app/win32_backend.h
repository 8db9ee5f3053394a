// The Win32 backend of the control layer: the form as a top-level window with a fixed single
// border, the system menu and the minimise box; each control as a real child window (buttons,
// check boxes, read-only edits with their label, comctl32 progress bars, a drop-down combo box,
// our own panel class); message boxes, the common open-file dialog, the debug output,
// device-interface notifications and dropped files. Compiled for Windows only.
#pragma once
#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "win_app/ui_backend.h"

namespace winform {

class Win32Backend final : public UiBackend {
public:
    // `unattended`: no dialog ever opens; message boxes go to the debug output and standard
    // error instead, so an unattended run can never block.
    Win32Backend(HINSTANCE instance, bool unattended);
    ~Win32Backend() override;

    void setApplicationTitle(std::string_view title) override;
    bool createWindow(Form& form, NativeEvents& events) override;
    void showWindow(Form& form) override;
    void destroyWindow(Form& form) override;

    int messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) override;
    bool runOpenDialog(OpenDialog& dialog) override;
    void debugOut(std::string_view text) override;

    bool pumpNative() override;
    bool waitNative(uint64_t ms) override;

    bool registerDeviceNotifications(Form& form, std::string_view interfaceClassGuid) override;
    void unregisterDeviceNotifications(Form& form) override;
    void acceptDroppedFiles(Form& form, bool on) override;
    void holdSession(Form& form, std::string_view reason, bool on) override;

    FileVersion programVersion() override;
    std::string programFolder() override;

    // Used by the window procedures.
    LRESULT formMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    HFONT fontFor(const Font& f);
    HBRUSH brushFor(Color c);
    static COLORREF colorRef(Color c);

    struct Peer;

private:
    void createPeer(Control& c);
    Peer* peerOf(HWND hwnd) const;

    HINSTANCE instance_;
    bool unattended_;
    std::wstring appTitle_;
    HWND appWindow_ = nullptr;
    HWND main_ = nullptr;
    Form* form_ = nullptr;
    NativeEvents* events_ = nullptr;
    HDEVNOTIFY notify_ = nullptr;
    bool quit_ = false;
    std::vector<std::unique_ptr<Peer>> peers_;
    std::map<std::pair<std::string, int>, HFONT> fonts_;
    std::map<Color, HBRUSH> brushes_;
};

}  // namespace winform
