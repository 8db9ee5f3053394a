// The control layer and the message loop under the window: what a property change tells the
// backend, which changes run handlers, user clicks on unreachable controls, window timers on the
// virtual clock, and the JSON state the unattended run reports.
#include <gtest/gtest.h>

#include <map>

#include "sys/clock.h"
#include "win_app/application.h"
#include "win_app/controls.h"
#include "win_app/headless_backend.h"
#include "win_app/report.h"

using namespace winform;

namespace {

struct Counting final : ControlPeer {
    std::map<std::pair<std::string, Prop>, int> seen;
    void changed(Control& c, Prop p) override { ++seen[{c.name(), p}]; }
    int count(const std::string& name, Prop p) { return seen[{name, p}]; }
};

struct Sample : Form {
    Sample() : Form("Sample", Bounds{0, 0, 200, 100}) {}
    Panel& panel = make<Panel>("panel", nullptr, Bounds{0, 0, 100, 50}, "", true);
    Button& inside = make<Button>("inside", &panel, Bounds{1, 1, 10, 10}, "In");
    Button& button = make<Button>("button", nullptr, Bounds{1, 60, 10, 10}, "B");
    CheckBox& box = make<CheckBox>("box", nullptr, Bounds{1, 80, 10, 10}, "Box", false);
    LabeledEdit& edit = make<LabeledEdit>("edit", nullptr, Bounds{50, 60, 40, 20}, "Name ", true);
    ComboBox& combo = make<ComboBox>("combo", nullptr, Bounds{50, 80, 40, 20});
    ProgressBar& bar = make<ProgressBar>("bar", nullptr, Bounds{0, 95, 200, 5}, 30);
};

}  // namespace

TEST(WinAppControls, ChangesReachThePeerOnlyWhenTheyChangeSomething) {
    Sample f;
    Counting peer;
    for (Control* c : f.controls()) c->attachPeer(&peer);
    f.button.setCaption("B");
    f.button.setEnabled(true);
    EXPECT_TRUE(peer.seen.empty());
    f.button.setCaption("C");
    f.button.setEnabled(false);
    f.button.setVisible(false);
    f.edit.setFontColor(clRed);
    f.bar.setPosition(40);
    f.combo.addItem("one");
    EXPECT_EQ(peer.count("button", Prop::Caption), 1);
    EXPECT_EQ(peer.count("button", Prop::Enabled), 1);
    EXPECT_EQ(peer.count("button", Prop::Visible), 1);
    EXPECT_EQ(peer.count("edit", Prop::Font), 1);
    EXPECT_EQ(peer.count("bar", Prop::Progress), 1);
    EXPECT_EQ(peer.count("combo", Prop::Items), 1);
    EXPECT_EQ(f.edit.font().name, "MS Sans Serif") << "a control takes its parent's font";
}

TEST(WinAppControls, HandlersRunAsTheFormDesignerRanThem) {
    Sample f;
    int clicks = 0, boxClicks = 0, editChanges = 0, comboChanges = 0;
    f.button.onClick = [&] { ++clicks; };
    f.inside.onClick = [&] { ++clicks; };
    f.box.onClick = [&] { ++boxClicks; };
    f.edit.onChange = [&] { ++editChanges; };
    f.combo.onChange = [&] { ++comboChanges; };

    f.button.click();
    f.button.setEnabled(false);
    f.button.click();
    f.panel.setVisible(false);
    f.inside.click();   // inside a hidden panel: out of reach
    EXPECT_EQ(clicks, 1);

    f.box.click();
    EXPECT_TRUE(f.box.checked());
    EXPECT_EQ(boxClicks, 1);
    f.box.setChecked(false);   // by program: no handler
    EXPECT_EQ(boxClicks, 1);

    f.edit.setText("a");
    f.edit.setText("a");
    f.edit.setText("b");
    EXPECT_EQ(editChanges, 2) << "an edit reports every change of its text, and only changes";

    f.combo.addItem("one");
    f.combo.addItem("two");
    f.combo.setItemIndex(1);
    EXPECT_EQ(comboChanges, 0) << "selecting by program runs no handler";
    EXPECT_EQ(f.combo.text(), "two");
    f.combo.selectByUser(0);
    EXPECT_EQ(comboChanges, 1);
    EXPECT_EQ(f.combo.text(), "one");
    f.combo.setItemIndex(5);
    EXPECT_EQ(f.combo.itemIndex(), -1);
    f.combo.clearItems();
    EXPECT_TRUE(f.combo.items().empty());
    EXPECT_EQ(f.combo.text(), "");

    for (int i = 0; i < 5; ++i) f.bar.stepIt();
    EXPECT_EQ(f.bar.position(), 100);
    f.bar.setPosition(-3);
    EXPECT_EQ(f.bar.position(), 0);
}

// Timers on the virtual clock: restart replaces, stop stops, a handler that processes messages
// does not see its own timer again, watches run beside them.
TEST(WinAppControls, TimersRunOnTheClockSeam) {
    sys::VirtualClock clock(5000);
    sys::ScopedClock scoped(clock);
    HeadlessBackend ui;
    Application app(ui, true);
    std::vector<std::pair<unsigned, uint64_t>> fired;
    app.setHandlers({[&](unsigned id) {
                         fired.emplace_back(id, sys::nowMs());
                         app.processMessages();
                         if (id == 7) app.stopTimer(7);
                     },
                     {}, {}});
    int watched = 0;
    app.addWatch(100, [&] { ++watched; });

    app.startTimer(7, 1200);
    app.runFor(600);
    app.startTimer(7, 1200);   // started anew
    app.startTimer(8, 500);
    app.runFor(1500);
    app.stopTimer(8);
    app.runFor(3000);
    EXPECT_EQ(fired, (std::vector<std::pair<unsigned, uint64_t>>{{8, 6100}, {8, 6600}, {7, 6800}, {8, 7100}}));
    EXPECT_FALSE(app.timerActive(7));
    EXPECT_EQ(clock.nowMs(), 10100u);
    EXPECT_EQ(watched, 51);

    // The seams below the window reach the backend while the Application lives.
    sys::messageBox("text", "Title", sys::MsgIcon::Warning);
    sys::debugOut("line\n");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].title, "Title");
    EXPECT_EQ(ui.debugText, "line\n");

    app.postDeviceChange(DeviceEvent::Arrival);
    std::vector<DeviceEvent> events;
    app.setHandlers({{}, [&](DeviceEvent e) { events.push_back(e); }, {}});
    app.processMessages();
    EXPECT_EQ(events, std::vector<DeviceEvent>{DeviceEvent::Arrival});
}

TEST(WinAppControls, ReportHoldsEveryControl) {
    Sample f;
    f.edit.setText("quote \" back\\slash \x01");
    f.combo.addItem("row");
    f.combo.setItemIndex(0);
    f.box.setChecked(true);
    f.bar.setPosition(60);
    const std::string j = controlsJson(f);
    for (const char* want : {R"("name":"Sample","kind":"form","parent":null)", R"("name":"inside","kind":"button","parent":"panel")",
                             R"("text":"quote \" back\\slash \u0001")", R"("items":["row"],"itemIndex":0)",
                             R"("checked":true)", R"("progress":60,"step":30)", R"("color":"clBtnFace")",
                             R"("position":{"left":50,"top":60,"width":40,"height":20})"})
        EXPECT_NE(j.find(want), std::string::npos) << want << "\n" << j;
    EXPECT_EQ(colorName(0x123456), "0x00123456");
    EXPECT_EQ(colorName(clGreen), "clGreen");
}
