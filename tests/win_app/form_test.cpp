// The main window's face and its device list: the layout, start-up, the list for each kind of
// scan, the one-button readiness, the hot-plug timer, the engineering area and closing.
#include <filesystem>
#include <fstream>

#include "win_app/fixture.h"
#include "bridge/IDEAccess.h"

using wintest::Bytes;
using wintest::FormRig;
using winform::clBlue;
using winform::clGreen;
using winform::clRed;

namespace {

struct Shown {
    const char* text;
    winform::Color color;
};

void expectPanel(winapp::TQ55xFwTool& f, Shown want) {
    EXPECT_EQ(f.devpnl.caption(), want.text);
    EXPECT_EQ(f.devpnl.font().color, want.color) << winform::colorName(f.devpnl.font().color);
}

}  // namespace

// Every control where the form puts it, with its caption and first state.
TEST(WinAppForm, LayoutAndFirstState) {
    FormRig rig({});
    auto& f = rig.f();
    EXPECT_EQ(f.clientWidth(), 398);
    EXPECT_EQ(f.clientHeight(), 143);
    EXPECT_EQ(f.font(), (winform::Font{"MS Sans Serif", -11, winform::clWindowText}));
    struct Want { const char* name; winform::Bounds at; const char* caption; bool visible; bool enabled; int tab; };
    for (const Want& w : std::initializer_list<Want>{
             {"devpnl", {24, 8, 345, 25}, "No device found!!", true, true, 17},
             {"YesBtn", {24, 40, 201, 25}, "Update firmware to version 31.01.01.15", true, false, 4},
             {"ExitBtn", {272, 40, 83, 25}, "Exit", true, true, 5},
             {"ProgressBar2", {16, 80, 361, 17}, "", true, true, 7},
             {"FwVerLableEdit", {88, 108, 113, 21}, "", false, true, 8},
             {"SFlashTypeLable", {264, 108, 113, 21}, "", false, true, 9},
             {"StatusEdit", {80, 188, 249, 21}, "", false, true, 10},
             {"ProgressBar1", {80, 208, 249, 9}, "", false, true, 11},
             {"UpdateBtn", {112, 224, 75, 25}, "Run", true, false, 12},
             {"DiskLetterLable", {232, 228, 113, 21}, "", false, true, 13},
             {"RdCheckBox", {8, 232, 81, 17}, "RD Version", false, true, 14},
             {"replugLable", {336, 192, 100, 22}, "replugLable", false, true, -1},
             {"Panel1", {8, 257, 337, 3}, "", false, true, 15},
             {"RdPanel", {1, 264, 345, 145}, "", false, true, 16},
             {"DeviceList", {72, 424, 249, 21}, "No available device!!!", false, false, 0},
             {"RefreshBtn", {344, 424, 91, 25}, "Refresh Device", false, true, 6},
             {"diskLabel", {24, 428, 46, 13}, "USB Disk", false, true, -1},
             {"FwFilenameEdit", {88, 454, 265, 21}, "", true, true, 3},
             {"LoadBtn", {360, 450, 75, 25}, "Load File", true, true, 2},
             {"ChipLabelEdit", {48, 476, 137, 21}, "", false, true, 1},
             {"ReadWriteBufferChk", {8, 8, 113, 17}, "Read/Write Buffer", false, true, 0},
             {"NVRAMCheck", {168, 12, 113, 17}, "Include 4K NVRAM", false, true, 1},
             {"EraseOnlyCheck", {8, 28, 121, 17}, "Erase All Flash Only ", true, true, 2},
             {"SetPrdSNchk", {168, 40, 161, 17}, "Setting ProductSN(In-Code)", false, true, 3},
             {"BackupFWCheckBox", {8, 48, 153, 17}, "Backup Old Firmware Only", true, true, 4},
             {"BackupBtn", {254, 91, 75, 25}, "Browse", true, true, 5},
             {"BackupFileEdit", {115, 120, 214, 21}, "", true, true, 6}}) {
        SCOPED_TRACE(w.name);
        const winform::Control* c = f.find(w.name);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->bounds(), w.at);
        EXPECT_EQ(c->caption(), w.caption);
        EXPECT_EQ(c->visible(), w.visible);
        EXPECT_EQ(c->enabled(), w.enabled);
        EXPECT_EQ(c->tabOrder(), w.tab);
    }
    EXPECT_EQ(f.ReadWriteBufferChk.parent(), &f.RdPanel);
    EXPECT_TRUE(f.SetPrdSNchk.checked());
    EXPECT_EQ(f.devpnl.font().height, -19);
    EXPECT_EQ(f.replugLable.font().name, "Arial");
    EXPECT_EQ(f.Panel1.color(), winform::clNavy);
    EXPECT_EQ(f.ProgressBar2.step(), 30);
    EXPECT_EQ(f.OpenDialog1.filter, "BinaryFile|*.bin|All Files|*.*|QVT Files|*.qvt");
    EXPECT_EQ(f.OpenDialog1.defaultExt, "bin");
}

// FormCreate: the caption from the version record, the one-button caption from the embedded
// image, the notification class, dropped files; the application's title.
TEST(WinAppForm, CreateSetsCaptionsAndRegisters) {
    FormRig rig({});
    EXPECT_EQ(rig.f().caption(), "Brannock 778HLNK5 firmware update utility_v1.0.0.0");
    EXPECT_EQ(rig.ui.notificationGuid, "{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    EXPECT_TRUE(rig.ui.acceptsFiles);

    rig.ui.version = {0, 0, 0, 0};   // no version record
    rig.f().FormCreate();
    EXPECT_EQ(rig.f().caption(), "Brannock 778HLNK5 firmware update utility_v0.0.0.0");

    // Header bytes 25-28 as raw numbers, or as ASCII digits when byte 25 is one.
    Bytes raw(firmware::kEmbeddedImageSize, 0xFF);
    raw[25] = 0x1F, raw[26] = 0x01, raw[27] = 0x01, raw[28] = 0x0F;
    Bytes ascii = raw;
    ascii[25] = '0', ascii[26] = '7', ascii[27] = '1', ascii[28] = '9';
    for (const auto& [image, caption] : {std::pair{raw, "Update firmware to version 31.01.01.15"},
                                         std::pair{ascii, "Update firmware to version 00.07.01.09"}}) {
        sys::setResourceLoader([image](std::string_view name, std::string_view, std::vector<uint8_t>& out) {
            if (name != firmware::kEmbeddedImageName) return false;
            out = image;
            return true;
        });
        rig.f().FormCreate();
        EXPECT_EQ(rig.f().YesBtn.caption(), caption);
    }
}

// What a scan shows, by what is attached.
TEST(WinAppForm, ScanResults) {
    struct Case {
        const char* name;
        std::vector<const char*> enclosures;
        std::vector<std::string> rows;
        bool listEnabled;
        Shown panel;
        bool yes;
    };
    const std::string qvr298Row = "<<USB>> Corvane QVR298 Bridge   ";
    for (const Case& c : std::initializer_list<Case>{
             {"nothing attached", {}, {"No available device!!!"}, false, {"No device found!!", clRed}, false},
             {"a candidate not recognised", {"qv84553g,failop=df,fail=2"}, {""}, true, {"No device found!!", clRed}, false},
             {"already updated", {"qvr298,fw=31.01.01.15"}, {qvr298Row}, true, {"Firmware already updated.", clGreen}, false},
             {"another firmware id", {"qvr298,fw=30.01.01.10"}, {qvr298Row}, true, {"Firmware ID not match!!", clRed}, false},
             {"same id, another version", {"qvr298,fw=31.01.01.10"}, {qvr298Row}, true, {"Click Update firmware button to proceed.", clBlue}, true},
             {"another chip", {"qvr256,bus=uas"}, {"<<UASP>> Corvane QVR256 Bridge   "}, true, {"Chip not support!!", clRed}, false},
         }) {
        SCOPED_TRACE(c.name);
        FormRig rig({});
        for (const char* e : c.enclosures) rig.add(e);
        rig.app.runFor(1300);   // the arrival's scan
        auto& f = rig.f();
        EXPECT_EQ(f.DeviceList.items(), c.rows);
        EXPECT_EQ(f.DeviceList.itemIndex(), 0);
        EXPECT_EQ(f.DeviceList.enabled(), c.listEnabled);
        expectPanel(f, c.panel);
        EXPECT_EQ(f.YesBtn.enabled(), c.yes);
        EXPECT_FALSE(f.UpdateBtn.enabled());
        EXPECT_TRUE(f.devpnl.visible());
        EXPECT_FALSE(f.replugLable.visible());
        EXPECT_EQ(f.deviceCount(), c.enclosures.size());
    }
}

// What the window shows for the selected device: chip, flash, version, drives, options.
TEST(WinAppForm, SelectedDeviceFields) {
    struct Case { const char* enclosure; const char* chip; const char* version; bool nvram; bool buffer; const char* bus; };
    for (const Case& c : std::initializer_list<Case>{
             {"qvr298,fw=31.01.01.10", "QVR298 Series", "31.01.01.10", false, true, "USB DISK"},
             {"qvd529,bus=1394", "QVD522/529 Series", "", true, false, "1394 DISK"},
             {"qvr256,bus=uas", "QVR256 Series", "", true, false, "UASP DISK"}}) {
        SCOPED_TRACE(c.enclosure);
        FormRig rig({c.enclosure});
        auto& f = rig.f();
        EXPECT_EQ(f.ChipLabelEdit.text(), c.chip);
        EXPECT_TRUE(f.SFlashTypeLable.visible());
        EXPECT_FALSE(f.SFlashTypeLable.text().empty());
        EXPECT_TRUE(f.FwVerLableEdit.visible());
        if (*c.version) EXPECT_EQ(f.FwVerLableEdit.text(), c.version);
        else EXPECT_FALSE(f.FwVerLableEdit.text().empty());
        EXPECT_EQ(f.NVRAMCheck.visible(), c.nvram);
        EXPECT_EQ(f.NVRAMCheck.checked(), c.nvram);
        EXPECT_EQ(f.ReadWriteBufferChk.visible(), c.buffer);
        EXPECT_EQ(f.ReadWriteBufferChk.checked(), c.buffer);
        EXPECT_EQ(f.ReadWriteBufferChk.enabled(), !c.buffer);
        EXPECT_EQ(f.SetPrdSNchk.visible(), c.buffer);
        EXPECT_EQ(f.DiskLetterLable.text(), "E");
        EXPECT_EQ(f.diskLabel.caption(), c.bus);
        EXPECT_EQ(f.StatusEdit.text(), "");
        EXPECT_EQ(f.flashFacts().ramBuffer, c.buffer);
    }
    {   // A chip without firmware update, and without a chip information record.
        FormRig rig({"qv84553g"});
        EXPECT_EQ(rig.f().ChipLabelEdit.text(), "QV84553");
        EXPECT_EQ(rig.f().StatusEdit.text(), "Not Corvane Chip!!");
        EXPECT_EQ(rig.f().devpnl.caption(), "Chip not support!!");
        EXPECT_FALSE(rig.f().SFlashTypeLable.visible());
        EXPECT_FALSE(rig.f().FwVerLableEdit.visible());
    }
}

// Arrivals and removals in a burst give one scan: 1200 ms after the last arrival, 200 ms after
// the last removal.
TEST(WinAppForm, HotPlugBurstsGiveOneScan) {
    {   // Two enclosures plugged in 700 ms apart.
        FormRig rig({"qvr298,fw=31.01.01.15"});
        auto& f = rig.f();
        const unsigned before = f.scanCount();
        rig.add("qvr256");
        rig.app.runFor(700);
        rig.add("qvd525");
        rig.app.runFor(1100);
        EXPECT_EQ(f.scanCount(), before) << "the second arrival started the timer anew";
        rig.app.runFor(200);
        EXPECT_EQ(f.scanCount(), before + 1);
        EXPECT_EQ(f.DeviceList.items().size(), 3u);
        expectPanel(f, {"Firmware already updated.", clGreen});
        rig.app.runFor(5000);
        EXPECT_EQ(f.scanCount(), before + 1);
    }
    {   // Two enclosures unplugged 150 ms apart.
        FormRig rig({"qvr298,noreturn=1", "qvr256,noreturn=1"});
        auto& f = rig.f();
        const unsigned before = f.scanCount();
        for (const auto& d : rig.sim.bus().devices()) {
            IDEAccess::QV_ChipReset256(d.windowsPath);
            rig.app.runFor(150);
        }
        EXPECT_EQ(f.scanCount(), before);
        rig.app.runFor(60);
        EXPECT_EQ(f.scanCount(), before + 1);
        EXPECT_EQ(f.DeviceList.items(), std::vector<std::string>{"No available device!!!"});
        rig.app.runFor(5000);
        EXPECT_EQ(f.scanCount(), before + 1);
    }
    {   // Out and straight back in: the arrival's timer replaces the removal's.
        FormRig rig({"qvr298,fw=31.01.01.15,resetms=50"});
        auto& f = rig.f();
        const unsigned before = f.scanCount();
        IDEAccess::QV_ChipReset256(rig.sim.bus().devices()[0].windowsPath);
        rig.app.runFor(1000);
        EXPECT_EQ(f.scanCount(), before);
        rig.app.runFor(1000);
        EXPECT_EQ(f.scanCount(), before + 1);
        rig.app.runFor(5000);
        EXPECT_EQ(f.scanCount(), before + 1);
        expectPanel(f, {"Firmware already updated.", clGreen});
    }
}

// An arrival turns the panel blue with the guidance text, unless an update runs.
TEST(WinAppForm, ArrivalShowsGuidance) {
    FormRig rig({"qvr256"});
    expectPanel(rig.f(), {"Chip not support!!", clRed});
    rig.f().WMDeviceChange(winform::DeviceEvent::Arrival);
    expectPanel(rig.f(), {"Click Update firmware button to proceed.", clBlue});
    EXPECT_TRUE(rig.app.timerActive(winapp::kRescanTimerId));
}

// "Load File": the dialog, the file's name in the window, the Run button; on the QVR29x bridges
// the file's chip code against the chip.
TEST(WinAppForm, LoadFile) {
    {
        FormRig rig({"qvd529"});
        rig.ui.folder = "/opt/q55x";
        rig.ui.dialogAnswers.push_back("");   // cancelled
        rig.f().LoadBtnClick();
        ASSERT_EQ(rig.ui.dialogRuns.size(), 1u);
        EXPECT_EQ(rig.ui.dialogRuns[0].initialDir, "/opt/q55x");
        EXPECT_FALSE(rig.f().UpdateBtn.enabled());
        const std::string file = wintest::sampleFile("qvd529_code_only");
        rig.load(file);
        EXPECT_TRUE(rig.f().UpdateBtn.enabled());
        EXPECT_EQ(rig.f().FwFilenameEdit.text(), file);
    }
    {
        FormRig rig({"qvr298,fw=31.01.01.10"});
        rig.load(wintest::sampleFile("qvr298_31.01.01.20"));
        EXPECT_TRUE(rig.f().UpdateBtn.enabled());
        EXPECT_TRUE(rig.f().YesBtn.enabled()) << "the one-button update was offered before";
        rig.load(wintest::sampleFile("qvr297_31.02.00.05"));
        EXPECT_EQ(rig.f().StatusEdit.text(), "FW file not Match.");
        EXPECT_FALSE(rig.f().UpdateBtn.enabled());
        EXPECT_FALSE(rig.f().YesBtn.enabled());
    }
    {   // A matching file does not offer the embedded image to a chip the scan turned down.
        FormRig rig({"qvr298,fw=30.01.01.10"});
        rig.load(wintest::sampleFile("qvr298_31.01.01.20"));
        EXPECT_TRUE(rig.f().UpdateBtn.enabled());
        EXPECT_FALSE(rig.f().YesBtn.enabled());
    }
    {   // A file for another chip, on a chip that is told about it.
        FormRig rig({"qvd529"});
        rig.load(wintest::sampleFile("qvd528_code_only"));
        EXPECT_EQ(rig.boxes(), std::vector<std::string>{"Message: The firmware file seems not match this chip!"});
    }
}

// Closing deletes ExChangeData.tmp beside the program; dropped files are accepted and ignored.
TEST(WinAppForm, CloseRemovesTheExchangeFile) {
    const auto dir = std::filesystem::temp_directory_path() / "q55x_winapp_close";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "ExChangeData.tmp") << "x";
    std::ofstream(dir / "keep.txt") << "x";
    FormRig rig({});
    rig.ui.folder = dir.string();
    rig.f().WMDropFiles();
    rig.f().ExitBtn.click();
    EXPECT_TRUE(rig.f().closed());
    EXPECT_TRUE(rig.app.quitting());
    EXPECT_TRUE(rig.ui.windowDestroyed);
    EXPECT_FALSE(rig.ui.notificationsRegistered);
    EXPECT_FALSE(std::filesystem::exists(dir / "ExChangeData.tmp"));
    EXPECT_TRUE(std::filesystem::exists(dir / "keep.txt"));
    std::filesystem::remove_all(dir);
}
