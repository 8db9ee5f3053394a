// The window's two update roads against emulated enclosures: the one-button update with the
// embedded image, and "Run" with a firmware file for every family; the settings' effects; what the
// window refuses while the flash is written, and the rescans it holds back until then.
#include <cstring>
#include <fstream>
#include <set>
#include <utility>

#include "win_app/fixture.h"
#include "bridge/IDEAccess.h"

using wintest::Bytes;
using wintest::FormRig;

namespace {

const std::string kPowerCycleBox = "Message: Please Turn-Off the Power and Turn-On Again!";
const std::string kAutoResetBox = "Message: Chip Auto reset, Please wait device re-attached!";

}  // namespace

// The whole one-button road: written, verified, reset, back; green, 100; the next scan finds the
// new version.
TEST(WinAppUpdate, OneButtonUpdatePasses) {
    FormRig rig({"qvr298,fw=31.01.01.10"});
    auto& f = rig.f();
    ASSERT_TRUE(f.YesBtn.enabled());
    std::set<int> positions;   // the bar moves with the write, the read-back and the wait
    rig.ui.userInput = [&] { positions.insert(f.ProgressBar2.position()); };
    f.YesBtn.click();
    EXPECT_GT(positions.size(), 10u);
    EXPECT_EQ(f.lastDetails().firmwareAfter, "31.01.01.15");
    EXPECT_NE(f.lastDetails().text().find("Result: passed"), std::string::npos);
    ASSERT_TRUE(f.DetailsBtn.enabled());

    EXPECT_EQ(f.devpnl.caption(), "Update    Pass!!");
    EXPECT_EQ(f.devpnl.font().color, winform::clGreen);
    EXPECT_EQ(f.ProgressBar2.position(), 100);
    EXPECT_FALSE(f.updating());
    EXPECT_TRUE(f.ExitBtn.enabled());
    EXPECT_FALSE(f.YesBtn.enabled());
    EXPECT_FALSE(f.SetPrdSNchk.visible());
    EXPECT_EQ(rig.enclosure().resetCount(), 1);
    EXPECT_EQ(rig.reportedVersion(), (Bytes{31, 1, 1, 15}));
    EXPECT_TRUE(rig.ui.boxes.empty()) << "the one-button road shows no message";

    rig.app.runFor(3000);
    EXPECT_EQ(f.devpnl.caption(), "Firmware already updated.");
    EXPECT_EQ(f.FwVerLableEdit.text(), "31.01.01.15");
    EXPECT_EQ(f.ProgressBar2.position(), 0);
}

// A bridge that does not come back, or that cannot take the image, ends red; the panel keeps its
// words and the debug output says why.
TEST(WinAppUpdate, OneButtonUpdateFails) {
    const std::pair<const char*, const char*> cases[] = {
        {"qvr298,fw=31.01.01.10,noreturn=1", "did not come back within 32 s after its reset"},
        {"qvr298,fw=31.01.01.10,failop=3b,failevery=1", "status 2 (CHECK CONDITION), sense key 0B ABORTED COMMAND"},
    };
    for (const auto& [enclosure, why] : cases) {
        SCOPED_TRACE(enclosure);
        FormRig rig({enclosure});
        ASSERT_TRUE(rig.f().YesBtn.enabled());
        rig.f().YesBtn.click();
        EXPECT_EQ(rig.f().devpnl.caption(), "Update    Fail!!");
        EXPECT_EQ(rig.f().devpnl.font().color, winform::clRed);
        EXPECT_LT(rig.f().ProgressBar2.position(), 100);
        EXPECT_TRUE(rig.f().ExitBtn.enabled());
        EXPECT_NE(rig.ui.debugText.find(why), std::string::npos) << rig.ui.debugText;
        rig.f().DetailsBtn.click();   // the user sees the cause too
        ASSERT_EQ(rig.ui.boxes.size(), 1u);
        EXPECT_NE(rig.ui.boxes[0].text.find(std::string("Cause: ") ), std::string::npos);
        EXPECT_NE(rig.ui.boxes[0].text.find(why), std::string::npos) << rig.ui.boxes[0].text;
    }
}

// The bridge written is the one the offer was made for: one that has changed its firmware since
// (or gone) is not written, and the details say why.
TEST(WinAppUpdate, OneButtonChecksTheSelectedBridgeBeforeWriting) {
    FormRig rig({"qvr298,fw=31.01.01.10", "qvr298,fw=31.01.01.15"});
    ASSERT_TRUE(rig.f().YesBtn.enabled());
    rig.enclosure(0).flash() = rig.enclosure(1).flash();
    rig.enclosure(0).reboot();
    rig.log.sent.clear();
    rig.f().YesBtn.click();
    EXPECT_EQ(rig.f().devpnl.caption(), "Update    Fail!!");
    EXPECT_EQ(rig.log.count(0x3B), 0u) << "nothing written";
    EXPECT_NE(rig.f().lastDetails().cause.find("no longer the chip and firmware"), std::string::npos);
}

// Only the updated bridge's return counts: while it is off the bus, another bridge still attached
// is no sign that it came back.
TEST(WinAppUpdate, OneButtonWaitsForItsOwnBridge) {
    struct Case { const char* updated; const char* other; const char* result; winform::Color color; };
    for (const Case& c : std::initializer_list<Case>{
             {"qvr298,fw=31.01.01.10,noreturn=1", "qvd528", "Update    Fail!!", winform::clRed},
             {"qvr298,fw=31.01.01.10,noreturn=1", "qvr298,fw=31.01.01.10", "Update    Fail!!", winform::clRed},
             {"qvr298,fw=31.01.01.10", "qvd528", "Update    Pass!!", winform::clGreen}}) {
        SCOPED_TRACE(std::string(c.updated) + " beside " + c.other);
        FormRig rig({c.updated, c.other});
        ASSERT_TRUE(rig.f().YesBtn.enabled());
        rig.f().YesBtn.click();
        EXPECT_EQ(rig.f().devpnl.caption(), c.result);
        EXPECT_EQ(rig.f().devpnl.font().color, c.color);
        EXPECT_EQ(rig.f().ProgressBar2.position() == 100, c.color == winform::clGreen);
    }
}

// A bridge unplugged and another put into the same port (a twin has the same path, chip and
// firmware): the offer waits for the rescan those events ask for, and nothing is written before.
TEST(WinAppUpdate, OfferMadeBeforeAReplugWritesNothing) {
    FormRig rig({"qvr298,fw=31.01.01.10"});
    auto& f = rig.f();
    ASSERT_TRUE(f.YesBtn.enabled());
    f.WMDeviceChange(winform::DeviceEvent::RemoveComplete);
    f.WMDeviceChange(winform::DeviceEvent::Arrival);
    EXPECT_FALSE(f.YesBtn.enabled());
    const Bytes before = rig.enclosure().flash();
    f.YesBtnClick();   // a click queued before the button went off
    EXPECT_EQ(f.devpnl.caption(), "Update    Fail!!");
    EXPECT_EQ(rig.enclosure().flash(), before);
    rig.app.runFor(5000);   // the rescan makes the offer again
    ASSERT_TRUE(f.YesBtn.enabled());
    f.YesBtn.click();
    EXPECT_EQ(f.devpnl.caption(), "Update    Pass!!");
}

// Pressed on another chip (the button is normally off then): red, and not one command sent.
TEST(WinAppUpdate, OneButtonOnAnotherChipSendsNothing) {
    FormRig rig({"qvr256"});
    const Bytes before = rig.enclosure().flash();
    rig.f().YesBtnClick();
    EXPECT_EQ(rig.f().devpnl.caption(), "Chip not support!!");
    EXPECT_EQ(rig.f().devpnl.font().color, winform::clRed);
    EXPECT_TRUE(rig.log.sent.empty());
    EXPECT_EQ(rig.enclosure().flash(), before);
    EXPECT_TRUE(rig.f().ExitBtn.enabled());
}

// The bridge leaves and comes back during the update: the rescan those events ask for waits
// until the update is over, and runs once.
TEST(WinAppUpdate, RescanDuringAnUpdateWaitsUntilItEnds) {
    FormRig rig({"qvr298,fw=31.01.01.10"});
    auto& f = rig.f();
    const unsigned before = f.scanCount();
    size_t chipInfoReadsDuringUpdate = 0;
    bool heldBackWhenBack = false;
    rig.sim.bus().subscribe([&](const sim::BusEvent& e) {
        // From the reset on, nothing but the update's own scans may reach the bridge.
        chipInfoReadsDuringUpdate = rig.log.count(0xE0);
        // The removal's 200 ms came and went while the update waited for the bridge.
        if (e.kind == sim::BusEvent::Kind::Arrival) heldBackWhenBack = f.rescanPending();
    });
    f.YesBtn.click();
    EXPECT_TRUE(heldBackWhenBack);
    EXPECT_EQ(f.scanCount(), before) << "no scan between the update's writes";
    EXPECT_EQ(rig.log.count(0xE0), chipInfoReadsDuringUpdate + 1) << "after the bridge came back, only its version read";
    EXPECT_TRUE(rig.app.timerActive(winapp::kRescanTimerId));
    rig.app.runFor(5000);
    EXPECT_EQ(f.scanCount(), before + 1);
    EXPECT_EQ(f.devpnl.caption(), "Firmware already updated.");
}

// While the flash is written the window does not close; afterwards it does.
TEST(WinAppUpdate, CloseIsRefusedDuringAnUpdate) {
    FormRig rig({"qvr298,fw=31.01.01.10"});
    auto& f = rig.f();
    bool triedDuring = false;
    rig.sim.bus().subscribe([&](const sim::BusEvent& e) {
        if (e.kind != sim::BusEvent::Kind::Removal || triedDuring) return;
        triedDuring = true;
        rig.app.closeRequested();   // the system menu's close, mid-update
        f.ExitBtnClick();
    });
    f.YesBtn.click();
    ASSERT_TRUE(triedDuring);
    EXPECT_FALSE(f.closed());
    EXPECT_EQ(rig.boxes(), (std::vector<std::string>(2, std::string("Warning: ") + winapp::kTextStillUpdating)));
    EXPECT_EQ(f.devpnl.caption(), "Update    Pass!!");
    EXPECT_TRUE(f.close());
    EXPECT_TRUE(f.closed());
}

// The settings reach the bridge: a QVR298 that runs only its ROM loader takes the file through
// its RAM, and gets the product record first when "Setting ProductSN(In-Code)" is ticked.
TEST(WinAppUpdate, ProductRecordFromTheSettings) {
    firmware::Settings s;
    s.vid = 0x1234;
    s.pid = 0xABCD;
    s.serialNum = "SN42";
    for (const bool ticked : {true, false}) {
        SCOPED_TRACE(ticked);
        FormRig rig({"qvr298,fw=31.01.01.10"}, s);
        std::fill(rig.enclosure().flash().begin(), rig.enclosure().flash().end(), 0xFF);
        rig.enclosure().reboot();
        rig.f().RefreshBtnClick();
        ASSERT_TRUE(rig.f().ReadWriteBufferChk.checked());
        rig.f().SetPrdSNchk.setChecked(ticked);
        rig.load(wintest::sampleFile("qvr298_31.01.01.20"));
        ASSERT_TRUE(rig.f().UpdateBtn.enabled()) << rig.f().StatusEdit.text();
        rig.log.sent.clear();
        rig.f().UpdateBtn.click();
        // Once after each chip erase: the run that downloads the manufacturing code and the run
        // after it; the record is in the flash when the update is done.
        ASSERT_EQ(rig.log.count(0xC3), ticked ? 2u : 0u) << rig.f().StatusEdit.text();
        if (!ticked) continue;
        EXPECT_EQ(rig.enclosure().flash()[0x44000], 0x42);
        const auto record = std::find_if(rig.log.sent.begin(), rig.log.sent.end(), [](auto& x) { return x.cdb[0] == 0xC3; });
        EXPECT_EQ(Bytes(record->cdb.begin() + 4, record->cdb.begin() + 8), (Bytes{0x12, 0x34, 0xAB, 0xCD}));
        Bytes expected(72, 0);
        expected[0] = 0x42;
        std::memcpy(expected.data() + 52, "SN42                ", 20);
        EXPECT_EQ(record->data, expected);
    }
}

// The one-button update takes the embedded image straight into the flash and sends no product
// record, whatever the box says.
TEST(WinAppUpdate, OneButtonSendsNoProductRecord) {
    FormRig rig({"qvr298,fw=31.01.01.10"});
    ASSERT_TRUE(rig.f().SetPrdSNchk.checked());
    rig.f().YesBtn.click();
    EXPECT_EQ(rig.f().devpnl.caption(), "Update    Pass!!");
    EXPECT_EQ(rig.log.count(0xC3), 0u);
}

// "Run" with a file, for the direct-update families and the others: the family's procedure
// writes the file, the button comes back, the progress bar goes back to 0.
TEST(WinAppUpdate, RunWritesTheFile) {
    struct Case { const char* enclosure; const char* sample; Bytes version; };
    for (const Case& c : std::initializer_list<Case>{
             {"qvr256", "qvr256_1.02.03", {1, 2, 3}},
             {"qvr298,fw=31.01.01.10", "qvr298_31.01.01.20", {31, 1, 1, 20}},
             {"qvd529", "qvd529_code_only", {}},
             {"qvd528", "qvd528_code_only", {}},
             {"qv84556", "qv84556_with_nvram", {}}}) {
        SCOPED_TRACE(c.enclosure);
        firmware::Settings restart;
        restart.chipReset = 1;
        FormRig rig({c.enclosure}, restart);
        const Bytes before = rig.enclosure().flash();
        rig.load(wintest::sampleFile(c.sample));
        ASSERT_TRUE(rig.f().UpdateBtn.enabled()) << rig.f().StatusEdit.text();
        rig.f().UpdateBtn.click();
        EXPECT_TRUE(rig.f().UpdateBtn.enabled());
        EXPECT_EQ(rig.f().ProgressBar1.position(), 0);
        EXPECT_NE(rig.enclosure().flash(), before) << rig.f().StatusEdit.text();
        EXPECT_NE(rig.ui.debugText.find("Update Btn Press\n"), std::string::npos);
        if (!c.version.empty()) {
            rig.app.runFor(5000);
            const Bytes got = rig.reportedVersion();
            EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<long>(c.version.size())), c.version);
        }
    }
}

// "Run" writes the bytes it checked when it was pressed: a file changed on disk while the update
// runs changes nothing, and a file the window called a mismatch is not run at all.
TEST(WinAppUpdate, RunWritesTheBytesItChecked) {
    const std::string file = wintest::sampleFile("qvd529_code_only");
    Bytes alone;   // the same update, the file left alone
    {
        FormRig same({"qvd529"});
        same.load(file);
        same.f().UpdateBtn.click();
        alone = same.enclosure().flash();
    }
    {
        FormRig rig({"qvd529"});
        rig.load(file);
        bool spoilt = false;
        rig.ui.userInput = [&] {
            if (!std::exchange(spoilt, true)) std::ofstream(file, std::ios::binary | std::ios::trunc) << "not firmware";
        };
        rig.f().UpdateBtn.click();
        EXPECT_TRUE(spoilt);
        EXPECT_TRUE(rig.enclosure().flash() == alone);
    }
    FormRig rig({"qvd529"});
    const Bytes before = rig.enclosure().flash();
    rig.load(wintest::sampleFile("qvd528_code_only"));
    EXPECT_EQ(rig.boxes(), std::vector<std::string>{"Message: The firmware file seems not match this chip!"});
    rig.f().UpdateBtn.click();
    EXPECT_EQ(rig.log.dataOut(), 0u);
    EXPECT_TRUE(rig.enclosure().flash() == before);
    EXPECT_FALSE(rig.f().UpdateBtn.enabled());
}

// ChipReset=1 restarts the chip and says so; otherwise the user is asked to power-cycle, and a
// bridge that takes its firmware through its buffer gets no restart command.
TEST(WinAppUpdate, ChipResetSetting) {
    struct Case { const char* enclosure; const char* sample; int chipReset; int resets; const std::string& box; };
    for (const Case& c : std::initializer_list<Case>{{"qvr298,fw=31.01.01.10", "qvr298_31.01.01.20", 1, 1, kAutoResetBox},
                                                     {"qvr298,fw=31.01.01.10", "qvr298_31.01.01.20", 0, 0, kPowerCycleBox},
                                                     {"qvr256", "qvr256_1.02.03", 1, 1, kAutoResetBox},
                                                     {"qvr256", "qvr256_1.02.03", 0, 1, kPowerCycleBox}}) {
        SCOPED_TRACE(std::string(c.enclosure) + " ChipReset=" + std::to_string(c.chipReset));
        firmware::Settings s;
        s.chipReset = c.chipReset;
        FormRig rig({c.enclosure}, s);
        rig.load(wintest::sampleFile(c.sample));
        rig.f().UpdateBtn.click();
        EXPECT_EQ(rig.boxes(), std::vector<std::string>{c.box});
        EXPECT_EQ(rig.enclosure().resetCount(), c.resets);
    }
}

// A "Run" update holds back the rescans as the one-button update does, and the window stays open.
TEST(WinAppUpdate, RunHoldsBackRescansAndClose) {
    FormRig rig({"qvr256"});
    rig.load(wintest::sampleFile("qvr256_1.02.03"));
    auto& f = rig.f();
    const unsigned before = f.scanCount();
    unsigned mostScansDuring = before;
    bool plugged = false, closedDuring = false;
    rig.log.onCommand = [&](const wintest::CommandLog::Sent& c) {
        mostScansDuring = std::max(mostScansDuring, f.scanCount());
        if (c.data.empty() || plugged) return;
        // Another enclosure arrives with the first write, and the user tries to close.
        plugged = true;
        rig.add("qvd529");
        closedDuring = f.close();
    };
    f.UpdateBtn.click();
    rig.log.onCommand = nullptr;
    ASSERT_TRUE(plugged);
    EXPECT_FALSE(closedDuring);
    EXPECT_EQ(mostScansDuring, before);
    EXPECT_EQ(f.scanCount(), before);
    rig.app.runFor(300);
    EXPECT_EQ(f.scanCount(), before + 1);
    rig.app.runFor(5000);   // the QVR256 back from its reset
    EXPECT_EQ(f.DeviceList.items().size(), 2u);
}
