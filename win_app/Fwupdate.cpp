#include "win_app/Fwupdate.h"

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <random>
#include <fstream>
#include <system_error>

#include "update/buffer_update.h"
#include "update/direct_update.h"
#include "update/failure_cause.h"
#include "update/run_dispatch.h"
#include "image/image.h"
#include "sys/clock.h"
#include "bridge/IDEAccess.h"
#include "identify/chip_version.h"
#include "discovery/discovery.h"

namespace winapp {

using winform::Bounds;
using winform::Color;
using winform::DeviceEvent;

namespace {

constexpr Color kGuidanceColor = winform::clBlue;
constexpr Color kSuccessColor = winform::clGreen;
constexpr Color kErrorColor = winform::clRed;

const vendor::ChipRow& rowOf(uint16_t packedChip) { return vendor::chipRow(static_cast<uint8_t>(packedChip & 0xFF)); }

// Chip types on which a file that does not match is let through without a word: the QVR29x
// bridges judge their files by their chip code when they are loaded, and the rest never match by
// name.
bool mismatchIsSilent(uint8_t type) { return vendor::chipRow(type).fileCheck != vendor::FileCheck::Signature; }

}  // namespace

// From the start to the end of an update: the controls through which another update or a scan
// could start are off, whatever the procedures or the window's own handlers do meanwhile, and
// they come back as they were; the flag that marks the update is set for exactly that span.
class TQ55xFwTool::UpdateSpan {
public:
    UpdateSpan(TQ55xFwTool& f, bool& flag)
        : form_(f), flag_(flag), controls_{&f.YesBtn, &f.UpdateBtn, &f.LoadBtn, &f.RefreshBtn, &f.DeviceList} {
        for (size_t i = 0; i < controls_.size(); ++i) {
            was_[i] = controls_[i]->enabled();
            controls_[i]->setEnabled(false);
        }
        flag_ = true;
        // Neither a log-off nor sleep may cut the write: the system is kept awake and a session's
        // end is shown what it waits for.
        if (form_.sessionHolds_++ == 0) form_.app_.ui().holdSession(form_, kTextSessionHeld, true);
    }
    ~UpdateSpan() { end(); }
    UpdateSpan(const UpdateSpan&) = delete;
    UpdateSpan& operator=(const UpdateSpan&) = delete;

    void end() {
        if (!flag_) return;
        for (size_t i = 0; i < controls_.size(); ++i) controls_[i]->setEnabled(was_[i]);
        flag_ = false;
        if (--form_.sessionHolds_ == 0) form_.app_.ui().holdSession(form_, {}, false);
    }

private:
    TQ55xFwTool& form_;
    bool& flag_;
    std::array<winform::Control*, 5> controls_;
    std::array<bool, 5> was_{};
};

TQ55xFwTool::TQ55xFwTool(winform::Application& app, const firmware::Settings& settings)
    : Form("Q55xFwTool", Bounds{0, 0, 398, 143}),
      DeviceList(make<ComboBox>("DeviceList", nullptr, Bounds{72, 424, 249, 21})),
      ChipLabelEdit(make<LabeledEdit>("ChipLabelEdit", nullptr, Bounds{48, 476, 137, 21}, "Chip ", true)),
      LoadBtn(make<Button>("LoadBtn", nullptr, Bounds{360, 450, 75, 25}, "Load File")),
      FwFilenameEdit(make<LabeledEdit>("FwFilenameEdit", nullptr, Bounds{88, 454, 265, 21}, "Firmware File ", true)),
      YesBtn(make<Button>("YesBtn", nullptr, Bounds{24, 40, 201, 25}, "Update firmware to version")),
      ExitBtn(make<Button>("ExitBtn", nullptr, Bounds{272, 40, 83, 25}, "Exit")),
      RefreshBtn(make<Button>("RefreshBtn", nullptr, Bounds{344, 424, 91, 25}, "Refresh Device")),
      ProgressBar2(make<ProgressBar>("ProgressBar2", nullptr, Bounds{16, 80, 361, 17}, 30)),
      FwVerLableEdit(make<LabeledEdit>("FwVerLableEdit", nullptr, Bounds{88, 108, 113, 21}, "Firmware Ver. ", true)),
      SFlashTypeLable(make<LabeledEdit>("SFlashTypeLable", nullptr, Bounds{264, 108, 113, 21}, "Flash Type", true)),
      StatusEdit(make<LabeledEdit>("StatusEdit", nullptr, Bounds{80, 188, 249, 21}, "Status ", true)),
      ProgressBar1(make<ProgressBar>("ProgressBar1", nullptr, Bounds{80, 208, 249, 9}, 10)),
      UpdateBtn(make<Button>("UpdateBtn", nullptr, Bounds{112, 224, 75, 25}, "Run")),
      DiskLetterLable(make<LabeledEdit>("DiskLetterLable", nullptr, Bounds{232, 228, 113, 21}, "Drives ", true)),
      RdCheckBox(make<CheckBox>("RdCheckBox", nullptr, Bounds{8, 232, 81, 17}, "RD Version", false)),
      Panel1(make<Panel>("Panel1", nullptr, Bounds{8, 257, 337, 3}, "", true)),
      RdPanel(make<Panel>("RdPanel", nullptr, Bounds{1, 264, 345, 145}, "", true)),
      ReadWriteBufferChk(make<CheckBox>("ReadWriteBufferChk", &RdPanel, Bounds{8, 8, 113, 17}, "Read/Write Buffer", false)),
      NVRAMCheck(make<CheckBox>("NVRAMCheck", &RdPanel, Bounds{168, 12, 113, 17}, "Include 4K NVRAM", false)),
      EraseOnlyCheck(make<CheckBox>("EraseOnlyCheck", &RdPanel, Bounds{8, 28, 121, 17}, "Erase All Flash Only ", false)),
      SetPrdSNchk(make<CheckBox>("SetPrdSNchk", &RdPanel, Bounds{168, 40, 161, 17}, "Setting ProductSN(In-Code)", true)),
      BackupFWCheckBox(make<CheckBox>("BackupFWCheckBox", &RdPanel, Bounds{8, 48, 153, 17}, "Backup Old Firmware Only", false)),
      BackupBtn(make<Button>("BackupBtn", &RdPanel, Bounds{254, 91, 75, 25}, "Browse")),
      BackupFileEdit(make<LabeledEdit>("BackupFileEdit", &RdPanel, Bounds{115, 120, 214, 21}, "Backup FileName ", false)),
      devpnl(make<Panel>("devpnl", nullptr, Bounds{24, 8, 345, 25}, kTextGuidance, false)),
      replugLable(make<Label>("replugLable", nullptr, Bounds{336, 192, 100, 22}, "replugLable")),
      diskLabel(make<Label>("diskLabel", nullptr, Bounds{24, 428, 46, 13}, "USB Disk")),
      DetailsBtn(make<Button>("DetailsBtn", nullptr, Bounds{229, 40, 40, 25}, "Details")),
      app_(app),
      settings_(settings) {
    layOut();

    app_.setHandlers({[this](unsigned id) { WMTimer(id); }, [this](DeviceEvent e) { WMDeviceChange(e); },
                      [this] { close(); }, [this] { return WMQueryEndSession(); },
                      [this] { return WMPowerQuerySuspend(); }});

    // What the constructor does once the controls stand: the settings are in, the NVRAM state
    // is 1, the first scan runs, and the engineering panel is put in its plain state.
    nvramState_ = 1;
    RefreshBtnClick();
    RdCheckBoxClick();
}

TQ55xFwTool::~TQ55xFwTool() { app_.setHandlers({}); }

void TQ55xFwTool::layOut() {
    setCaption("Q55xFwTool");
    setColor(winform::clBtnFace);
    setFont(winform::Font{"MS Sans Serif", -11, winform::clWindowText});

    int tab = 0;
    for (winform::Control* c : {static_cast<winform::Control*>(&DeviceList), static_cast<winform::Control*>(&ChipLabelEdit),
                                static_cast<winform::Control*>(&LoadBtn), static_cast<winform::Control*>(&FwFilenameEdit),
                                static_cast<winform::Control*>(&YesBtn), static_cast<winform::Control*>(&ExitBtn),
                                static_cast<winform::Control*>(&RefreshBtn), static_cast<winform::Control*>(&ProgressBar2),
                                static_cast<winform::Control*>(&FwVerLableEdit), static_cast<winform::Control*>(&SFlashTypeLable),
                                static_cast<winform::Control*>(&StatusEdit), static_cast<winform::Control*>(&ProgressBar1),
                                static_cast<winform::Control*>(&UpdateBtn), static_cast<winform::Control*>(&DiskLetterLable),
                                static_cast<winform::Control*>(&RdCheckBox), static_cast<winform::Control*>(&Panel1),
                                static_cast<winform::Control*>(&RdPanel), static_cast<winform::Control*>(&devpnl),
                                static_cast<winform::Control*>(&DetailsBtn)})
        c->setTabOrder(tab++);
    tab = 0;
    for (winform::Control* c : RdPanel.children()) c->setTabOrder(tab++);

    devpnl.setFont(winform::Font{"MS Sans Serif", -19, kGuidanceColor});
    YesBtn.setEnabled(false);
    FwVerLableEdit.setVisible(false);
    FwVerLableEdit.setShowHint(true);
    SFlashTypeLable.setVisible(false);
    StatusEdit.setVisible(false);
    ProgressBar1.setVisible(false);
    UpdateBtn.setEnabled(false);
    DiskLetterLable.setVisible(false);
    RdCheckBox.setVisible(false);
    replugLable.setFont(winform::Font{"Arial", -19, winform::clWindowText});
    Panel1.setColor(winform::clNavy);
    Panel1.setVisible(false);
    RdPanel.setVisible(false);
    ReadWriteBufferChk.setVisible(false);
    DeviceList.setVisible(false);
    RefreshBtn.setVisible(false);
    diskLabel.setVisible(false);
    ChipLabelEdit.setVisible(false);
    DetailsBtn.setEnabled(false);   // until an update has ended

    OpenDialog1.defaultExt = "bin";
    OpenDialog1.filter = "BinaryFile|*.bin|All Files|*.*|QVT Files|*.qvt";

    YesBtn.onClick = [this] { YesBtnClick(); };
    ExitBtn.onClick = [this] { ExitBtnClick(); };
    DetailsBtn.onClick = [this] { DetailsBtnClick(); };
    RefreshBtn.onClick = [this] { RefreshBtnClick(); };
    UpdateBtn.onClick = [this] { UpdateBtnClick(); };
    LoadBtn.onClick = [this] { LoadBtnClick(); };
    RdCheckBox.onClick = [this] { RdCheckBoxClick(); };
    DeviceList.onChange = [this] { UpdateBtnCheck(); };
    FwFilenameEdit.onChange = [this] { UpdateBtnCheck(); };
}

void TQ55xFwTool::FormCreate() {
    auto& ui = app_.ui();
    ui.registerDeviceNotifications(*this, kUsbDeviceInterfaceGuid);
    ui.acceptDroppedFiles(*this, true);

    const winform::FileVersion v = ui.programVersion();
    char caption[96];
    std::snprintf(caption, sizeof caption, "Brannock 778HLNK5 firmware update utility_v%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
    setCaption(caption);

    uint8_t header[firmware::kHeaderSize] = {};
    firmware::LoadEmbeddedImage(header, sizeof header, 0, sizeof header);
    YesBtn.setCaption(firmware::updateButtonCaption(header, sizeof header));
    updating_ = false;
}

void TQ55xFwTool::FormClose() {
    const std::string folder = app_.ui().programFolder();
    if (folder.empty()) return;
    std::error_code ec;
    std::filesystem::remove(std::filesystem::path(folder) / kExchangeFileName, ec);
}

bool TQ55xFwTool::close() {
    if (closed_) return true;
    // The flash may be half written: leaving now would leave a bridge that cannot start.
    if (updateInProgress()) {
        messageBox(kTextStillUpdating, "Warning", sys::MsgIcon::Warning);
        return false;
    }
    FormClose();
    app_.stopTimer(kRescanTimerId);
    app_.ui().unregisterDeviceNotifications(*this);
    app_.ui().destroyWindow(*this);
    closed_ = true;
    app_.quit();
    return true;
}

bool TQ55xFwTool::WMQueryEndSession() {
    if (!updateInProgress()) return true;
    debug(std::string("Session end refused: ") + kTextSessionHeld + "\n");
    return false;
}

void TQ55xFwTool::showOnPanel(std::string_view text, Color color) {
    devpnl.setFontColor(color);
    devpnl.setCaption(text);
}

void TQ55xFwTool::RefreshBtnClick() {
    // A scan sends identification, register and flash commands and may even start a bank
    // recovery: never between the writes of an update, nor inside another scan. It runs once
    // the update has ended.
    if (busy()) {
        rescanPending_ = true;
        return;
    }
    scanning_ = true;
    ++scanCount_;
    devpnl.setVisible(true);
    replugLable.setVisible(false);
    YesBtn.setEnabled(false);
    oneButtonReady_ = false;
    offerStale_ = false;
    if (!updating_) ProgressBar2.setPosition(0);

    const vendor::Enumeration found = vendor::EnumerateBridgeDevices(true);
    deviceCount_ = found.paths.size();
    size_t recognised = 0;
    // Told once for as long as the same number of devices stays left out, not at every rescan.
    if (found.leftOut != leftOutTold_ && found.leftOut > 0) {
        char text[160];
        std::snprintf(text, sizeof text, kTextDevicesLeftOutFormat, found.leftOut);
        messageBox(text, "Warning", sys::MsgIcon::Warning);
    }
    leftOutTold_ = found.leftOut;

    if (deviceCount_ == 0) {
        recordCount_ = 0;
        DeviceList.clearItems();
        DeviceList.addItem(kTextNoAvailableDevice);
        DeviceList.setItemIndex(0);
        DeviceList.setEnabled(false);
        UpdateBtn.setEnabled(false);
        for (LabeledEdit* e : {&ChipLabelEdit, &DiskLetterLable, &FwVerLableEdit, &SFlashTypeLable, &StatusEdit})
            e->setText("");
        NVRAMCheck.setVisible(false);
    } else {
        DeviceList.clearItems();
        std::vector<vendor::Candidate> candidates;
        for (const std::string& p : found.paths) candidates.push_back({p, {}});
        const vendor::DeviceListing listing =
            vendor::listBridges(candidates, [](const std::string& p) { return vendor::FindDriveLetters(p); });
        if (listing.tableFull) {
            char text[64];
            std::snprintf(text, sizeof text, "The tool only can show %d disks.", static_cast<int>(vendor::kDeviceTableSize));
            messageBox(text, "Warning", sys::MsgIcon::Warning);
        }
        recordCount_ = 0;
        for (const vendor::ListedDevice& d : listing.devices) {
            if (recordCount_ >= records_.size()) break;
            records_[recordCount_++] = d.record;
            diskLabel.setCaption(d.busLabel);
            DeviceList.addItem(d.rowText);
        }
        recognised = recordCount_;
        DeviceList.setEnabled(true);
        if (recognised == 0) {
            // The entry of a candidate that was not recognised is reused by the next one, so
            // the first entry still names the last candidate looked at.
            records_[0] = vendor::DeviceRecord{};
            records_[0].path = vendor::toLowerAscii(candidates.back().path.substr(0, vendor::kDevicePathCapacity));
            recordCount_ = 1;
            DeviceList.addItem("");
        }
        DeviceList.setItemIndex(0);
        showSelectedDevice();
    }

    showOneButtonReadiness(recognised);
    scanning_ = false;
    if (rescanPending_ && !updateInProgress()) afterUpdate();
}

void TQ55xFwTool::showOneButtonReadiness(size_t recognised) {
    if (recognised > 0 && rowOf(currentChipType_).oneButton) {
        uint8_t info[16] = {};
        if (!IDEAccess::QV_GetChipInfo(records_[0].path, info, sizeof info) || info[0] != 0xF4 || info[1] != 0xE7)
            return;
        uint8_t header[firmware::kHeaderSize] = {};
        firmware::LoadEmbeddedImage(header, sizeof header, 0, sizeof header);
        switch (firmware::compareWithEmbedded(info, sizeof info, header, sizeof header)) {
            case firmware::EmbeddedVersionCheck::FirmwareIdMismatch:
                if (!updating_) showOnPanel(firmware::kTextFirmwareIdMismatch, kErrorColor);
                break;
            case firmware::EmbeddedVersionCheck::AlreadyUpdated:
                showOnPanel(firmware::kTextAlreadyUpdated, kSuccessColor);
                break;
            case firmware::EmbeddedVersionCheck::UpdateOffered:
                if (!updating_) {
                    oneButtonReady_ = true;
                    YesBtn.setEnabled(true);
                }
                break;
            case firmware::EmbeddedVersionCheck::Unreadable: break;
        }
    } else if (recognised > 0) {
        showOnPanel(kTextChipNotSupported, kErrorColor);
    } else if (!updating_) {
        showOnPanel(kTextNoDeviceFound, kErrorColor);
    }
}

firmware::SelectedDevice TQ55xFwTool::selectedDevice() {
    firmware::SelectedDevice d;
    const int index = DeviceList.itemIndex();
    if (index >= 0 && static_cast<size_t>(index) < recordCount_) {
        d.path = records_[static_cast<size_t>(index)].path;
        d.record = &records_[static_cast<size_t>(index)];
    }
    d.chip = vendor::ChipId::fromPacked(currentChipType_);
    d.flash = flash_;
    return d;
}

void TQ55xFwTool::UpdateBtnCheck() {
    if (busy()) return;
    showSelectedDevice();
}

void TQ55xFwTool::showSelectedDevice() {
    NVRAMCheck.setVisible(false);
    ReadWriteBufferChk.setVisible(false);
    SetPrdSNchk.setVisible(false);
    if (deviceCount_ == 0) return;
    const int index = DeviceList.itemIndex();
    if (index < 0 || static_cast<size_t>(index) >= recordCount_) return;
    vendor::DeviceRecord& rec = records_[static_cast<size_t>(index)];
    const std::string path = rec.path;

    const vendor::ChipId chip = IDEAccess::DetectChipType(path);
    currentChipType_ = chip.packed();
    const uint8_t type = chip.type;

    if (DeviceList.enabled() && !FwFilenameEdit.text().empty()) {
        if (firmware::FileMatchesChip(FwFilenameEdit.text(), type, chip.revision)) {
            UpdateBtn.setEnabled(true);
        } else if (!mismatchIsSilent(type)) {
            messageBox("The firmware file seems not match this chip!", "Message", sys::MsgIcon::None);
            UpdateBtn.setEnabled(false);
        }
    }

    StatusEdit.setText("");
    SFlashTypeLable.setText("");
    FwVerLableEdit.setText("");
    ChipLabelEdit.setText(IDEAccess::ChipLabel(path, type));

    // The flash of the selected device: what it is, and the options that go with it.
    flash_ = vendor::FlashFacts{};
    const IDEAccess::ChipPresentation shown = IDEAccess::ChipSupportOf(path, type);
    if (!shown.decided) {
        // The chip's status record could not be read: the fields stay as they were.
    } else if (!shown.statusText.empty()) {
        SFlashTypeLable.setVisible(false);
        FwVerLableEdit.setVisible(false);
        StatusEdit.setText(shown.statusText);
    } else {
        SFlashTypeLable.setVisible(shown.showFlash);
        FwVerLableEdit.setVisible(shown.showVersion);
        if (shown.showFlash) {
            if (shown.offersNvram) {
                NVRAMCheck.setVisible(true);
                NVRAMCheck.setChecked(nvramState_ == 1);
            }
            flash_ = IDEAccess::DetectFlash(path, type, chip.revision);
            SFlashTypeLable.setText(flash_.name);
            if (vendor::chipRow(type).ramBuffer) {
                NVRAMCheck.setVisible(false);
                if (flash_.ramBuffer) {
                    ReadWriteBufferChk.setTop(8);
                    ReadWriteBufferChk.setVisible(true);
                    ReadWriteBufferChk.setChecked(true);
                    ReadWriteBufferChk.setEnabled(false);
                    SetPrdSNchk.setVisible(true);
                } else {
                    ReadWriteBufferChk.setChecked(false);
                    SetPrdSNchk.setChecked(false);
                }
            }
            if (vendor::keepsTwoBanks(vendor::chipRow(type))) {
                {
                    // A recovery rewrites a bank: for its span it is an update like the others.
                    UpdateSpan span(*this, recovering_);
                    firmware::SelectedDevice dev = selectedDevice();
                    firmware::RecoverFirmwareBank(*this, dev);
                }
                afterUpdate();
            }
        }
    }

    const IDEAccess::FirmwareVersionText version = IDEAccess::FormatFirmwareVersion(path, type, flash_.type);
    if (version.shown) FwVerLableEdit.setText(version.text);
    else if (!version.statusText.empty()) StatusEdit.setText(version.statusText);

    DiskLetterLable.setText(rec.driveLetters);
}

void TQ55xFwTool::LoadBtnClick() {
    if (busy()) return;
    StatusEdit.setText("");
    UpdateBtn.setEnabled(false);
    YesBtn.setEnabled(false);
    if (OpenDialog1.initialDir.empty()) OpenDialog1.initialDir = app_.ui().programFolder();
    if (!app_.ui().runOpenDialog(OpenDialog1)) return;
    FwFilenameEdit.setText(OpenDialog1.fileName);

    if (rowOf(currentChipType_).fileCheck != vendor::FileCheck::ChipCode) {
        UpdateBtn.setEnabled(true);
        return;
    }
    const firmware::FileImage file = firmware::readFirmwareFile(OpenDialog1.fileName);
    if (!file.opened) {
        StatusEdit.setText("Open FW File Error!!");
        return;
    }
    if (file.bytes.empty()) {
        StatusEdit.setText("Allocate FW file buffers Error!!");
        return;
    }
    const firmware::SelectedDevice dev = selectedDevice();
    uint8_t info[40] = {};
    if (!IDEAccess::QV_GetChipInfo(dev.path, info, sizeof info)) return;
    switch (firmware::CodeFileMatchesChip(file, info, sizeof info)) {
        case firmware::CodeFileMatch::Match:
            UpdateBtn.setEnabled(true);
            // The one-button update writes the embedded image, not this file: it stays offered
            // only when the last scan offered it.
            YesBtn.setEnabled(oneButtonReady_);
            break;
        case firmware::CodeFileMatch::Mismatch: StatusEdit.setText("FW file not Match."); break;
        case firmware::CodeFileMatch::Refused: break;
    }
}

void TQ55xFwTool::RdCheckBoxClick() {
    if (busy()) return;
    RdPanel.setVisible(RdCheckBox.checked());
    FwFilenameEdit.setEnabled(true);
    UpdateBtn.setEnabled(false);
    showSelectedDevice();
}

void TQ55xFwTool::WMDeviceChange(DeviceEvent e) {
    // The panel belongs to the update while one runs, whichever it is.
    if (e == DeviceEvent::Arrival && !updateInProgress()) showOnPanel(kTextGuidance, kGuidanceColor);
    // The offer waits for the scan this event asks for.
    if (!updateInProgress()) {
        offerStale_ = true;
        YesBtn.setEnabled(false);
    }
    app_.stopTimer(kRescanTimerId);
    app_.startTimer(kRescanTimerId, e == DeviceEvent::Arrival ? kRescanAfterArrivalMs : kRescanAfterRemovalMs);
}

void TQ55xFwTool::WMTimer(unsigned id) {
    app_.processMessages();
    if (id != kRescanTimerId) return;
    app_.stopTimer(kRescanTimerId);
    RefreshBtnClick();   // held back while an update or a scan runs
}

void TQ55xFwTool::afterUpdate() {
    if (!rescanPending_) return;
    rescanPending_ = false;
    app_.startTimer(kRescanTimerId, 0);
}

void TQ55xFwTool::YesBtnClick() {
    // A click that reaches the window while anything runs (queued before the button went off, or
    // during a "Run") starts nothing: an update inside an update would end the outer one's state.
    if (busy()) return;
    UpdateSpan span(*this, updating_);
    ExitBtn.setEnabled(false);
    ProgressBar2.setPosition(0);
    // The offer is taken: only the next scan may make it again.
    oneButtonReady_ = false;
    showOnPanel(kTextUpdating, kGuidanceColor);

    if (rowOf(currentChipType_).oneButton) {
        // The device is the one selected before the scan; the scan only tells that one is there.
        firmware::SelectedDevice dev = selectedDevice();
        const vendor::Enumeration present = vendor::EnumerateBridgeDevices(true);
        bool ok = false;
        firmware::FailureWatch watch;
        firmware::WatchedWindow watched(*this, watch);
        beginDetails();
        uint8_t header[firmware::kHeaderSize] = {};
        firmware::LoadEmbeddedImage(header, sizeof header, 0, sizeof header);
        // What the window showed is what gets written: the selected bridge must still be there,
        // still a chip the one-button update serves, with the firmware the offer was made for.
        std::string versionRead;
        const auto offeredFor = [&](const std::string& path, firmware::EmbeddedVersionCheck want) {
            uint8_t info[16] = {};
            if (!IDEAccess::QV_GetChipInfo(path, info, sizeof info)) return false;
            versionRead = firmware::versionOfChipInfo(info, sizeof info);
            return firmware::compareWithEmbedded(info, sizeof info, header, sizeof header) == want;
        };
        if (offerStale_) {
            watch.noteFailure("checking the selected bridge",
                              "a bridge arrived or left since the list was made; it is scanned again first");
            endDetails(watch, false, {});
        } else if (std::find(present.paths.begin(), present.paths.end(), dev.path) == present.paths.end()) {
            watch.noteFailure("checking the selected bridge", "the selected bridge is no longer attached");
            endDetails(watch, false, {});
        } else if (IDEAccess::DetectChipType(dev.path).packed() != currentChipType_ ||
                   !offeredFor(dev.path, firmware::EmbeddedVersionCheck::UpdateOffered)) {
            watch.noteFailure("checking the selected bridge",
                              "the bridge at the selected path is no longer the chip and firmware the update was offered for");
            endDetails(watch, false, {});
        } else {
            ProgressBar2.stepIt();
            progressCeiling_ = 60;
            const bool written = firmware::UpdateWithEmbeddedImage(watched, dev);
            ProgressBar2.setPosition(std::max(ProgressBar2.position(), 60));
            progressCeiling_ = 95;
            // Only the updated bridge's return counts, not the other bridges still attached. Windows
            // names a USB disk's interface by its serial, or by its port when it has none or shares
            // it, and gives it that name again after a reset: its own path is who it is.
            const firmware::DeviceScan scan = firmware::scanForUpdatedBridge(
                {.node = dev.path}, present.paths, [] { return vendor::EnumerateBridgeDevices(true).paths; },
                [](const std::string& p) { return firmware::BridgeIdentity{.node = p}; });
            std::vector<std::string> back;
            ok = written && firmware::ResetAndReattach(watched, dev, scan, back);
            if (written && !ok) watch.noteNotBack(firmware::reattachWaitSeconds());
            // A pass is the updated bridge running the image: what came back must report the
            // image's version, not merely be there.
            versionRead.clear();
            const auto running = std::find_if(back.begin(), back.end(), [&](const std::string& p) {
                return offeredFor(p, firmware::EmbeddedVersionCheck::AlreadyUpdated);
            });
            if (ok && running == back.end()) {
                ok = false;
                watch.noteFailure("checking the bridge after its reset",
                                  "the bridge that came back does not report the image's firmware version");
            }
            endDetails(watch, ok, versionRead);
        }
        // The panel keeps its words; the debug output says why, and so do the details.
        if (!ok) debug("Update failed: " + watch.cause().line() + "\n");
        progressCeiling_ = 0;
        if (ok) {
            ProgressBar2.setPosition(100);
            showOnPanel(kTextPass, kSuccessColor);
        } else {
            showOnPanel(kTextFail, kErrorColor);
        }
    } else {
        showOnPanel(kTextChipNotSupported, kErrorColor);
    }
    sys::sleepMs(kAfterUpdateResultMs);

    span.end();
    YesBtn.setEnabled(false);   // the next scan decides it afresh
    ExitBtn.setEnabled(true);
    afterUpdate();
}

void TQ55xFwTool::UpdateBtnClick() {
    if (busy()) return;   // as YesBtnClick
    UpdateBtn.setEnabled(false);
    debug("Update Btn Press\n");
    firmware::SelectedDevice dev = selectedDevice();
    StatusEdit.setText("");

    // The file is read once, now: its bytes are checked against the chip and then written.
    // A file that cannot be read goes on as it is: the family's procedure says so in its words.
    runFile_ = snapshotRunFile();

    firmware::RunProcedure p;
    bool refused = false;
    {
        UpdateSpan span(*this, runInProgress_);
        p = firmware::chooseRunProcedure(dev, firmwareFile());
        // The disk-resident firmware is not matched by its signature.
        refused = !runFile_.empty() && p != firmware::RunProcedure::DiskResident && p != firmware::RunProcedure::None &&
                  !fileFitsSelectedChip(runFile_, dev);
        if (refused) p = firmware::RunProcedure::None;
        firmware::FailureWatch watch;
        firmware::WatchedWindow watched(*this, watch);
        if (p != firmware::RunProcedure::None) beginDetails();
        const bool ok = firmware::runChosenProcedure(p, watched, dev);
        if (!ok && p != firmware::RunProcedure::None) debug("Update failed: " + watch.cause().line() + "\n");
        if (p != firmware::RunProcedure::None) {
            // Most chips start the new firmware only after a power cycle: what they report now
            // may still be the old version.
            uint8_t info[16] = {};
            endDetails(watch, ok, IDEAccess::QV_GetChipInfo(dev.path, info, sizeof info)
                                      ? firmware::versionOfChipInfo(info, sizeof info) + " (as reported before a restart)"
                                      : std::string());
        }
    }

    if (!runFile_.empty()) {
        std::error_code ec;
        std::filesystem::remove(runFile_, ec);
        runFile_.clear();
    }
    // A file too big for the flash leaves the button off; the disk-resident update leaves the
    // progress bar as it stands.
    // A refused file leaves it off too, as the check at the selection does.
    if (p != firmware::RunProcedure::FileTooBig && !refused) UpdateBtn.setEnabled(true);
    if (p != firmware::RunProcedure::FileTooBig && p != firmware::RunProcedure::DiskResident) ProgressBar1.setPosition(0);
    afterUpdate();
}

std::string TQ55xFwTool::snapshotRunFile() {
    const std::string name = FwFilenameEdit.text();
    const firmware::FileImage file = firmware::readFirmwareFile(name);
    if (!file.opened || file.tooLarge) return {};
    // A name no other copy of the program (or test beside it) takes at the same moment: the
    // virtual clock starts at zero in every process, so the name is drawn, not counted.
    static unsigned taken = 0;
    std::random_device entropy;
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::filesystem::path copy = std::filesystem::temp_directory_path() /
        ("q55x-run-" + std::to_string(entropy()) + "-" + std::to_string(ticks) + "-" + std::to_string(++taken) +
         std::filesystem::path(name).extension().string());
    std::ofstream out(copy, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.bytes.data()), static_cast<std::streamsize>(file.bytes.size()));
    out.close();
    if (!out) {
        std::error_code ec;
        std::filesystem::remove(copy, ec);
        return {};
    }
    return copy.string();
}

bool TQ55xFwTool::fileFitsSelectedChip(const std::string& copy, const firmware::SelectedDevice& dev) {
    // The check the selection made, made again on the bytes that will be written: a file the
    // window called a mismatch is not run.
    const uint8_t type = dev.chip.type;
    if (mismatchIsSilent(type) || firmware::FileMatchesChip(copy, type, dev.chip.revision)) return true;
    messageBox("The firmware file seems not match this chip!", "Message", sys::MsgIcon::None);
    return false;
}

void TQ55xFwTool::processMessages() {
    // The one-button bar moves with the work: each time the procedure lets the window breathe
    // (after a chunk, a read, a scan of the re-attach wait) it creeps toward the phase's ceiling.
    const int at = ProgressBar2.position();
    if (updating_ && at < progressCeiling_) ProgressBar2.setPosition(at + std::max(1, (progressCeiling_ - at) / 16));
    app_.processMessages();
}

void TQ55xFwTool::beginDetails() {
    details_ = firmware::UpdateDetails{};
    const int index = DeviceList.itemIndex();
    if (index >= 0 && static_cast<size_t>(index) < DeviceList.items().size())
        details_.device = DeviceList.items()[static_cast<size_t>(index)];
    details_.firmwareBefore = FwVerLableEdit.text();
    DetailsBtn.setEnabled(false);
}

void TQ55xFwTool::endDetails(const firmware::FailureWatch& watch, bool ok, const std::string& versionAfter) {
    details_.take(watch, ok);
    details_.firmwareAfter = versionAfter;
    // Kept beside the program, so the user has them after the window has gone.
    const std::string folder = app_.ui().programFolder();
    std::string error;
    if (!folder.empty() &&
        !firmware::saveDetails(details_, (std::filesystem::path(folder) / kDetailsFileName).string(), error))
        debug("The update's details were not saved: " + error + "\n");
    DetailsBtn.setEnabled(true);
}

void TQ55xFwTool::DetailsBtnClick() {
    std::string text = details_.text();
    const std::string folder = app_.ui().programFolder();
    if (!folder.empty()) text += "\nSaved in " + (std::filesystem::path(folder) / kDetailsFileName).string();
    messageBox(text, "Details", sys::MsgIcon::Information);
}

void TQ55xFwTool::appendStatus(std::string_view text) {
    std::string s = StatusEdit.text();
    s.append(text);
    StatusEdit.setText(s);
}

int TQ55xFwTool::messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) {
    return app_.ui().messageBox(text, title, icon);
}

}  // namespace winapp
