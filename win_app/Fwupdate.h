// The main window `TQ55xFwTool`: the one-button updater on its visible face, and below its
// client area the engineering controls through which it keeps the selected device's state (chip
// type, flash facts) for both update paths. It is written against the control layer only, so the
// same window runs on the Win32 backend and, in tests, on the headless one.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "update/update_details.h"
#include "update/update_window.h"
#include "discovery/device_table.h"
#include "identify/flash_detect.h"
#include "win_app/application.h"
#include "win_app/controls.h"

namespace winapp {

using winform::Button;
using winform::CheckBox;
using winform::ComboBox;
using winform::Label;
using winform::LabeledEdit;
using winform::Panel;
using winform::ProgressBar;

inline constexpr const char* kApplicationTitle = "Corvane QV8455x Firmware Update Utility";
inline constexpr const char* kUsbDeviceInterfaceGuid = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
inline constexpr unsigned kRescanTimerId = 101;
inline constexpr unsigned kRescanAfterArrivalMs = 1200;
inline constexpr unsigned kRescanAfterRemovalMs = 200;
inline constexpr unsigned kAfterUpdateResultMs = 1000;

inline constexpr const char* kTextGuidance = "Click Update firmware button to proceed.";
inline constexpr const char* kTextUpdating = "Updating firmware. Please wait...";
inline constexpr const char* kTextPass = "Update    Pass!!";
inline constexpr const char* kTextFail = "Update    Fail!!";
inline constexpr const char* kTextChipNotSupported = "Chip not support!!";
inline constexpr const char* kTextNoDeviceFound = "No device found!!";
inline constexpr const char* kTextNoAvailableDevice = "No available device!!!";
inline constexpr const char* kTextStillUpdating =
    "The firmware update is still running. Please wait until it has finished before closing.";
// What a log-off or shut-down is shown as waiting for while the flash is written.
inline constexpr const char* kTextSessionHeld =
    "A firmware update is running. Ending the session now would leave the enclosure unable to start.";
// Where the details of the last update are kept, in the program's folder.
inline constexpr const char* kDetailsFileName = "Q55xFwTool-details.txt";
inline constexpr const char* kExchangeFileName = "ExChangeData.tmp";
// A scan lists 16 devices, each under a path of at most 255 characters; the others are left out.
inline constexpr const char* kTextDevicesLeftOutFormat =
    "%u device(s) were left out: the tool lists at most 16 devices, each with a path of at most 255 characters.";

class TQ55xFwTool final : public winform::Form, public firmware::UpdateWindow {
public:
    // The constructor lays out the controls and runs the first scan, with the settings already
    // read (a settings file that cannot be used never gets this far).
    TQ55xFwTool(winform::Application& app, const firmware::Settings& settings);
    ~TQ55xFwTool() override;

    // Event handlers.
    void FormCreate();
    void FormClose();
    void RefreshBtnClick();
    void UpdateBtnCheck();
    void LoadBtnClick();
    void RdCheckBoxClick();
    void YesBtnClick();
    void UpdateBtnClick();
    void ExitBtnClick() { close(); }
    // What the last update did: its details, and where they were saved.
    void DetailsBtnClick();
    // Window messages.
    void WMDeviceChange(winform::DeviceEvent e);
    void WMTimer(unsigned id);
    void WMDropFiles() {}   // accepted and ignored
    // The session's end and the system's sleep wait while the flash is written: false then.
    bool WMQueryEndSession();
    bool WMPowerQuerySuspend() { return WMQueryEndSession(); }

    // Closes the window unless an update is running; true when it closed.
    bool close();
    bool closed() const { return closed_; }

    // State, for the program's report and for tests.
    bool updating() const { return updating_; }
    // The flash is being written: the one-button update, a "Run", or a bank recovery a scan started.
    bool updateInProgress() const { return updating_ || runInProgress_ || recovering_; }
    // Anything that sends commands is running (an update or a scan): a handler that would send
    // a command of its own or start an update returns at once.
    bool busy() const { return updateInProgress() || scanning_; }
    uint16_t currentChipType() const { return currentChipType_; }
    const vendor::FlashFacts& flashFacts() const { return flash_; }
    size_t deviceCount() const { return deviceCount_; }
    size_t recordCount() const { return recordCount_; }
    const vendor::DeviceRecord& record(size_t i) const { return records_.at(i); }
    unsigned scanCount() const { return scanCount_; }
    bool rescanPending() const { return rescanPending_; }
    const firmware::UpdateDetails& lastDetails() const { return details_; }
    firmware::SelectedDevice selectedDevice();

    // Controls, in tab order; the two labels take no focus.
    ComboBox& DeviceList;
    LabeledEdit& ChipLabelEdit;
    Button& LoadBtn;
    LabeledEdit& FwFilenameEdit;
    Button& YesBtn;
    Button& ExitBtn;
    Button& RefreshBtn;
    ProgressBar& ProgressBar2;
    LabeledEdit& FwVerLableEdit;
    LabeledEdit& SFlashTypeLable;
    LabeledEdit& StatusEdit;
    ProgressBar& ProgressBar1;
    Button& UpdateBtn;
    LabeledEdit& DiskLetterLable;
    CheckBox& RdCheckBox;
    Panel& Panel1;
    Panel& RdPanel;
    CheckBox& ReadWriteBufferChk;
    CheckBox& NVRAMCheck;
    CheckBox& EraseOnlyCheck;
    CheckBox& SetPrdSNchk;
    CheckBox& BackupFWCheckBox;
    Button& BackupBtn;
    LabeledEdit& BackupFileEdit;
    Panel& devpnl;
    Label& replugLable;
    Label& diskLabel;
    Button& DetailsBtn;
    winform::OpenDialog OpenDialog1;

    // firmware::UpdateWindow: what the update procedures see of this window.
    void setStatus(std::string_view text) override { StatusEdit.setText(text); }
    void appendStatus(std::string_view text) override;
    std::string status() const override { return StatusEdit.text(); }
    void setProgress(int position) override { ProgressBar1.setPosition(position); }
    bool includeNvram() const override { return NVRAMCheck.checked(); }
    void setIncludeNvram(bool on) override { NVRAMCheck.setChecked(on); }
    bool readWriteBuffer() const override { return ReadWriteBufferChk.checked(); }
    bool setProductSn() const override { return SetPrdSNchk.checked(); }
    void hideProductSn() override { SetPrdSNchk.setVisible(false); }
    bool updateButtonEnabled() const override { return UpdateBtn.enabled(); }
    void setUpdateButtonEnabled(bool on) override { UpdateBtn.setEnabled(on); }
    // During a "Run", the copy of the file taken when Run was pressed: what was checked is what
    // is written, however often the procedure opens it and whatever happens to the file meanwhile.
    std::string firmwareFile() const override { return runFile_.empty() ? FwFilenameEdit.text() : runFile_; }
    const firmware::Settings& settings() const override { return settings_; }
    int messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) override;
    void processMessages() override;
    void debug(std::string_view text) override { app_.ui().debugOut(text); }

private:
    class UpdateSpan;

    void layOut();
    // UpdateBtnCheck's work, also for the scan that is already running.
    void showSelectedDevice();
    void showOneButtonReadiness(size_t recognised);
    void showOnPanel(std::string_view text, winform::Color color);
    void afterUpdate();
    // Starts the details of an update of the selected device; keeps them once it has ended.
    void beginDetails();
    // The copy of the firmware file a "Run" works from; empty when the file cannot be read.
    std::string snapshotRunFile();
    bool fileFitsSelectedChip(const std::string& copy, const firmware::SelectedDevice& dev);
    void endDetails(const firmware::FailureWatch& watch, bool ok, const std::string& versionAfter);

    winform::Application& app_;
    firmware::Settings settings_;
    std::array<vendor::DeviceRecord, vendor::kDeviceTableSize> records_{};
    size_t recordCount_ = 0;
    size_t deviceCount_ = 0;
    uint16_t currentChipType_ = 0;
    vendor::FlashFacts flash_;
    int nvramState_ = 1;
    bool updating_ = false;         // the one-button update runs
    bool runInProgress_ = false;    // a "Run" update runs
    bool recovering_ = false;       // a scan's bank recovery rewrites a bank
    bool scanning_ = false;
    bool rescanPending_ = false;    // a rescan came due while the flash was being written
    bool oneButtonReady_ = false;   // the last scan offered the one-button update
    // A bridge arrived or left since the last scan began: the offer may name a bridge that was
    // replaced (a twin in the same port has the same path, chip and firmware).
    bool offerStale_ = false;
    bool closed_ = false;
    unsigned sessionHolds_ = 0;
    firmware::UpdateDetails details_;
    std::string runFile_;           // the copy a "Run" writes from; empty outside a Run
    int progressCeiling_ = 0;       // the one-button bar creeps toward it while the work goes on     // update spans open now; the session is held while any is
    unsigned scanCount_ = 0;
    unsigned leftOutTold_ = 0;      // devices the last warning said were left out
};

}  // namespace winapp
