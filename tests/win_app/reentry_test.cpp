// Nothing runs inside an update. The one-button update, a "Run" of every family the window
// dispatches and the bank recovery a scan starts are stopped at every step at which they let the window process its messages, and
// there the user tries every control, handler, device event and close. Judged on what the
// enclosure received (nothing while the user acted, and the same commands as the update alone),
// on the window's state at every step and at the end, and on the flash the update leaves.
#include <utility>

#include "update/run_dispatch.h"
#include "win_app/fixture.h"

using wintest::Bytes;
using wintest::FormRig;

namespace {

using firmware::RunProcedure;

struct Scenario {
    const char* enclosure;
    const char* sample;        // the file "Run" writes; none for the one-button update
    RunProcedure procedure;    // what the window's dispatch must choose for it
    bool recovery = false;     // no file: a scan finds a damaged bank and rewrites it
};

const Scenario kScenarios[] = {
    {"qvr298,fw=31.01.01.10", nullptr, RunProcedure::None},
    {"qvr298,fw=31.01.01.10", "qvr298_31.01.01.20", RunProcedure::DirectUpdate},
    {"qvr256", "qvr256_1.02.03", RunProcedure::DirectUpdate},
    {"qvd529", "qvd529_with_nvram", RunProcedure::DirectUpdate},
    {"qvd528", "qvd528_with_nvram", RunProcedure::Series528},
    {"qvd523,flash=bf48", "qvd523_with_nvram", RunProcedure::Sst},
    {"qv84556", "qv84556_with_nvram", RunProcedure::Legacy},
    {"qvd525,bus=1394", "qvd525_with_nvram", RunProcedure::Qvd525Over1394},
    {"qvr294", "qvr294_31.05.00.01", RunProcedure::Qvr294},
    {"qv84556e,flash=none,disk=256005", "qv84556_with_nvram", RunProcedure::DiskResident},
    {"qvr256", nullptr, RunProcedure::None, true},
};

bool gSessionLetGo = false;   // a session end or sleep was let happen

// What the user can do to the window: every control, every handler called as a message queued
// before its control went off would call it, the device events, dropped files, and closing. The
// open-file dialog answers with the scenario's file.
struct Action {
    const char* name;
    std::function<void(FormRig&)> run;
};

const std::vector<Action>& actions() {
    using winform::DeviceEvent;
    static const std::vector<Action> all = {
        {"click every control", [](FormRig& r) { for (winform::Control* c : r.f().controls()) c->click(); }},
        {"YesBtnClick", [](FormRig& r) { r.f().YesBtnClick(); }},
        {"UpdateBtnClick", [](FormRig& r) { r.f().UpdateBtnClick(); }},
        {"LoadBtnClick", [](FormRig& r) { r.f().LoadBtnClick(); }},
        {"RefreshBtnClick", [](FormRig& r) { r.f().RefreshBtnClick(); }},
        {"DeviceList selection", [](FormRig& r) { r.f().UpdateBtnCheck(); }},
        {"RdCheckBoxClick", [](FormRig& r) { r.f().RdCheckBoxClick(); }},
        {"session end", [](FormRig& r) { gSessionLetGo |= r.app.sessionEndQueried(); }},
        {"sleep", [](FormRig& r) { gSessionLetGo |= r.app.sleepQueried(); }},
        {"device arrival", [](FormRig& r) { r.f().WMDeviceChange(DeviceEvent::Arrival); }},
        {"device removal", [](FormRig& r) { r.f().WMDeviceChange(DeviceEvent::RemoveComplete); }},
        {"timer 101", [](FormRig& r) { r.f().WMTimer(winapp::kRescanTimerId); }},
        {"ExitBtnClick", [](FormRig& r) { r.f().ExitBtnClick(); }},
        {"system menu close", [](FormRig& r) { r.app.closeRequested(); }},
    };
    return all;
}

// What the enclosure keeps: its flash, and the disk blocks ever written (the disk-resident
// firmware lives there).
Bytes stored(sim::Enclosure& e) {
    Bytes all = e.flash();
    for (const auto& [lba, block] : e.disk().blocks()) {
        for (int i = 0; i < 8; ++i) all.push_back(static_cast<uint8_t>(lba >> (8 * i)));
        all.insert(all.end(), block.begin(), block.end());
    }
    return all;
}

// What one update did, from the press of its button to the end of its handler.
struct Outcome {
    std::vector<Bytes> commands;   // CDB and data of every command, in order
    Bytes before, after;           // what the enclosure kept
    std::string panel, status;
    winform::Color panelColor = 0;
    int progress = 0;
    std::vector<std::string> boxes;   // but the refusals to close
    size_t steps = 0;                 // times the update let messages be processed
    size_t closeRefusals = 0;
    std::vector<std::string> faults;  // what the user's actions were let do
};

const std::string kRefusal = std::string("Warning: ") + winapp::kTextStillUpdating;

Outcome runUpdate(const Scenario& sc, bool interfere) {
    Outcome o;
    firmware::Settings restart;
    restart.chipReset = 1;
    FormRig rig({sc.enclosure}, restart);
    winapp::TQ55xFwTool& f = rig.f();
    const std::string file = sc.sample ? wintest::sampleFile(sc.sample) : wintest::sampleFile("qvr298_31.01.01.20");
    const bool oneButton = sc.sample == nullptr && !sc.recovery;
    if (sc.recovery) {
        rig.enclosure().flash()[0x10100] ^= 0xFF;   // the second bank fails its check
    } else if (oneButton) {
        EXPECT_TRUE(f.YesBtn.enabled());
    } else {
        rig.load(file);
        EXPECT_TRUE(f.UpdateBtn.enabled()) << f.StatusEdit.text();
        firmware::SelectedDevice dev = f.selectedDevice();
        EXPECT_EQ(firmware::chooseRunProcedure(dev, file), sc.procedure);
    }
    rig.log.sent.clear();
    rig.ui.boxes.clear();
    o.before = stored(rig.enclosure());

    const char* acting = nullptr;
    rig.log.onCommand = [&](const wintest::CommandLog::Sent& c) {
        if (acting && o.faults.size() < 5)
            o.faults.push_back(std::string(acting) + " sent a command (opcode " + std::to_string(c.cdb[0]) + ") at step " +
                               std::to_string(o.steps));
    };
    rig.ui.userInput = [&] {
        if (acting) return;   // the user's own actions process messages too
        ++o.steps;
        if (!interfere || !o.faults.empty()) return;
        for (const Action& a : actions()) {
            rig.ui.dialogAnswers.assign(2, file);
            acting = a.name;
            a.run(rig);
            acting = nullptr;
            rig.ui.dialogAnswers.clear();
            const auto fault = [&](const std::string& what) {
                o.faults.push_back(std::string(a.name) + " at step " + std::to_string(o.steps) + ": " + what);
            };
            if (f.closed() || rig.app.quitting()) fault("the window closed");
            if (!f.updateInProgress() || f.updating() != oneButton) fault("the update is no longer marked as running");
            if (std::exchange(gSessionLetGo, false)) fault("the session was let end or sleep");
            if (!rig.ui.sessionHeld) fault("the session is not held");
            for (const winform::Control* c : {static_cast<winform::Control*>(&f.YesBtn), static_cast<winform::Control*>(&f.UpdateBtn),
                                              static_cast<winform::Control*>(&f.LoadBtn), static_cast<winform::Control*>(&f.RefreshBtn),
                                              static_cast<winform::Control*>(&f.DeviceList)})
                if (c->enabled()) fault(c->name() + " is enabled");
            if (oneButton && f.ExitBtn.enabled()) fault("ExitBtn is enabled");
            if (!o.faults.empty()) return;
        }
    };
    if (sc.recovery) f.RefreshBtnClick();
    else if (oneButton) f.YesBtn.click();
    else f.UpdateBtn.click();
    rig.ui.userInput = nullptr;
    rig.log.onCommand = nullptr;

    for (const auto& c : rig.log.sent) {
        Bytes b = c.cdb;
        b.insert(b.end(), c.data.begin(), c.data.end());
        o.commands.push_back(std::move(b));
    }
    o.after = stored(rig.enclosure());
    o.panel = f.devpnl.caption();
    o.panelColor = f.devpnl.font().color;
    o.status = f.StatusEdit.text();
    o.progress = f.ProgressBar2.position();
    for (const std::string& b : rig.boxes()) {
        if (b == kRefusal) ++o.closeRefusals;
        else o.boxes.push_back(b);
    }
    EXPECT_FALSE(f.closed());
    EXPECT_FALSE(f.updateInProgress());
    EXPECT_FALSE(rig.ui.sessionHeld);
    if (oneButton) {
        EXPECT_EQ(o.panel, "Update    Pass!!");
        EXPECT_EQ(rig.reportedVersion(), (Bytes{31, 1, 1, 15}));
    }
    return o;
}

}  // namespace

TEST(WinAppReentry, NothingRunsInsideAnUpdate) {
    for (const Scenario& sc : kScenarios) {
        SCOPED_TRACE(std::string(sc.enclosure) + (sc.sample ? std::string(" Run ") + sc.sample
                                                  : sc.recovery ? " bank recovery" : " one-button"));
        const Outcome alone = runUpdate(sc, false);
        const Outcome tried = runUpdate(sc, true);
        ASSERT_GT(alone.steps, 2u);
        EXPECT_EQ(tried.faults, std::vector<std::string>{});
        EXPECT_TRUE(tried.commands == alone.commands) << tried.commands.size() << " commands against " << alone.commands.size();
        EXPECT_TRUE(alone.after != alone.before) << "the update wrote nothing";
        EXPECT_TRUE(tried.after == alone.after);
        EXPECT_EQ(tried.panel, alone.panel);   // an arrival's guidance never paints over an update
        EXPECT_EQ(tried.panelColor, alone.panelColor);
        EXPECT_EQ(tried.status, alone.status);
        EXPECT_EQ(tried.progress, alone.progress);
        EXPECT_EQ(tried.boxes, alone.boxes);
        // Every step saw two closes (the handler and the system menu), the "Run" also Exit's click.
        EXPECT_EQ(tried.closeRefusals, tried.steps * (sc.sample || sc.recovery ? 3 : 2));
        EXPECT_EQ(alone.closeRefusals, 0u);
    }
}
