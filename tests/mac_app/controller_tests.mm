// Drives the `controller` of FwUpdateMac under an X server: both windows built, discovery run
// by hand on the emulator, alerts answered by the test, the run loop spun for the results of
// the update and progress threads.
#import "mac_app/controller.h"
#import "mac_app/treeview.h"
#import "mac_app/window_bridge.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "update/update_window.h"
#include "mac_app/model/discovery.h"
#include "mac_app/model/qvtool.h"
#include "mac_app/registry/sim_services.h"
#include "sim/session.h"
#include "sys/resources.h"
#include "support/gated_backend.h"
#include "transport/backend.h"
#include "bridge/qvaccess.h"

static int failures = 0;
#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

static std::mutex gOutMutex;
static std::vector<std::string> gOut;

static size_t timesPrinted(const std::string& line)
{
    std::lock_guard<std::mutex> lock(gOutMutex);
    size_t n = 0;
    for (size_t i = 0; i < gOut.size(); ++i)
        n += gOut[i] == line;
    return n;
}

static bool printed(const std::string& line)
{
    return timesPrinted(line) > 0;
}

@interface TestController : controller
{
@public
    std::vector<std::string>* alerts;
    std::vector<NSInteger>* answers;   // answers to the next alerts; default button when empty
    int exitStatus;
    NSString* savePath;                // where "Save..." writes; nil: the user cancels
}
@end

@implementation TestController
- (NSInteger)runAlertWithTitle:(NSString*)title
                       message:(NSString*)message
                 defaultButton:(NSString*)defaultButton
               alternateButton:(NSString*)alternateButton
{
    alerts->push_back(std::string([title UTF8String]) + "|" + [message UTF8String] + "|" +
                      [defaultButton UTF8String] + "|" + (alternateButton ? [alternateButton UTF8String] : ""));
    if (answers->empty())
        return NSAlertDefaultReturn;
    NSInteger a = answers->front();
    answers->erase(answers->begin());
    return a;
}
- (void)exitWithStatus:(int)status
{
    exitStatus = status;
}
- (NSString*)detailsSavePath
{
    return savePath;
}
@end

static id outlet(controller* c, const char* name)
{
    return [c valueForKey:[NSString stringWithUTF8String:name]];
}

static bool equals(NSString* s, const char* expected)
{
    return s != nil && [s isEqualToString:[NSString stringWithUTF8String:expected]];
}

template <class Pred>
static bool spinUntil(Pred done, double seconds = 10.0)
{
    NSDate* limit = [NSDate dateWithTimeIntervalSinceNow:seconds];
    while (!done() && [limit timeIntervalSinceNow] > 0) {
        NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
        [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode beforeDate:[NSDate dateWithTimeIntervalSinceNow:0.01]];
        [pool release];
    }
    return done();
}

// One scenario: emulated enclosures, their registry, a fresh controller over them.
struct Scenario {
    std::unique_ptr<sim::Session> session;
    std::unique_ptr<iokit::SimServices> services;
    TestController* c = nil;
    std::vector<std::string> alerts;
    std::vector<NSInteger> answers;

    Scenario(NSBundle* bundle, const std::vector<std::string>& enclosures)
    {
        // An earlier scenario's update thread may still be on its way out.
        spinUntil([] { return !raid::update_thread_running(); });
        raid::j.flush_chips();
        raid::j.current.clear();
        raid::j.warm_boot_pending = false;
        session = std::make_unique<sim::Session>();
        for (size_t i = 0; i < enclosures.size(); ++i) {
            std::string error;
            if (!session->bus().addEnclosure(enclosures[i], error))
                std::fprintf(stderr, "enclosure %s: %s\n", enclosures[i].c_str(), error.c_str());
        }
        services = std::make_unique<iokit::SimServices>(session->bus());
        iokit::setServices(services.get());
        c = [[TestController alloc] initWithBundle:bundle];
        c->alerts = &alerts;
        c->answers = &answers;
        c->exitStatus = -1;
        ctrller = c;
        [c buildInterface];
        [c prepareWindows];
    }
    ~Scenario()
    {
        spinUntil([] { return false; }, 0.05);   // let queued calls arrive while all is alive
        iokit::setServices(nullptr);
        raid::j.flush_chips();
        raid::j.current.clear();
        [outlet(c, "welcomeWindow") orderOut:nil];
        [outlet(c, "configWindow") orderOut:nil];
    }
    void discover() { raid::DeviceAdded(nullptr, 0); }
    bool finished()
    {
        TestController* t = c;
        return spinUntil([t] { return [t progressEnded] && ![t isWorking]; });
    }
};

static void testInitialState(NSBundle* bundle)
{
    Scenario s(bundle, {});
    controller* c = s.c;
    CHECK(equals([c wizardState], "Welcome"));
    CHECK(![outlet(c, "continueButton") isEnabled]);
    CHECK(![outlet(c, "continueButton") isHidden]);
    CHECK(![outlet(c, "exitButton") isHidden]);
    CHECK([outlet(c, "welcomeWindow") isVisible]);
    CHECK(![outlet(c, "configWindow") isVisible]);
    // Labels from the string tables.
    CHECK(equals([outlet(c, "confirmbutton") title], "Create RAID"));
    CHECK(equals([outlet(c, "clearconfigbutton") title], "Delete RAID"));
    CHECK(equals([outlet(c, "rebuild0to1button") title], "Rebuild->"));
    CHECK(equals([outlet(c, "rebuild1to0button") title], "<-Rebuild"));
    CHECK(equals([outlet(c, "configuretab") label], "Configuration"));
    CHECK(equals([outlet(c, "rebuildtab") label], "Rebuild"));
    CHECK(equals([outlet(c, "disk2_SN_static_label") stringValue], "S/N:"));
    CHECK(equals([outlet(c, "refresh_button") title], "Refresh"));
    CHECK(equals([outlet(c, "raid_status_box") title], "RAID Status"));
    CHECK(equals([c localized:@"no_such_key"], "no_such_key"));
    CHECK([[outlet(c, "configuretab") identifier] intValue] == 0);
    CHECK([[outlet(c, "rebuildtab") identifier] intValue] == 1);
    // The buttons cleargui disables stay disabled; the wipe buttons are hidden as well.
    const char* disabled[] = {"confirmbutton", "clearconfigbutton", "rebuild0to1button", "rebuild1to0button",
                              "cleardisk0button", "cleardisk1button"};
    for (const char* name : disabled)
        CHECK(![outlet(c, name) isEnabled]);
    CHECK([outlet(c, "cleardisk0button") isHidden]);
    CHECK([outlet(c, "tree") isHidden]);
    CHECK([outlet(c, "levelindicator") isHidden]);
    // Page images: the RAID page is shown.
    CHECK([outlet(c, "mainguibutton") image] != nil);
    CHECK([outlet(c, "showdiskguibutton") image] != nil);
    [c switchguishowdisk:nil];
    CHECK([outlet(c, "guitab") indexOfTabViewItem:[outlet(c, "guitab") selectedTabViewItem]] == 1);
    [c switchguimain:nil];
    CHECK([outlet(c, "guitab") indexOfTabViewItem:[outlet(c, "guitab") selectedTabViewItem]] == 0);
    // The outline stays empty.
    CHECK([outlet(c, "tree") numberOfRows] == 0);
    treeview* t = [[treeview alloc] init];
    CHECK([t outlineView:nil numberOfChildrenOfItem:nil] == 0);
    NSArray* node = [NSArray arrayWithObjects:@"Node", @"leaf", nil];
    CHECK([t outlineView:nil numberOfChildrenOfItem:node] == 1);
    CHECK(equals([t outlineView:nil child:0 ofItem:node], "leaf"));
    CHECK(equals([t outlineView:nil objectValueForTableColumn:nil byItem:node], "Node"));
    CHECK(equals([t outlineView:nil objectValueForTableColumn:nil byItem:nil], "Root"));
    CHECK(![t outlineView:nil isItemExpandable:@"leaf"]);
    [t release];
}

static void testNoControllerAndTheRebuildTab(NSBundle* bundle)
{
    Scenario s(bundle, {});
    controller* c = s.c;
    s.discover();
    CHECK([outlet(c, "controllerselectbox") numberOfItems] == 0);
    CHECK(equals([outlet(c, "controllerselectbox") stringValue], ""));
    CHECK(equals([outlet(c, "deviceLabel") stringValue], "No available device."));
    CHECK(![outlet(c, "continueButton") isEnabled]);

    NSTabView* tabs = outlet(c, "tabview");
    [tabs selectTabViewItemAtIndex:1];
    CHECK([tabs indexOfTabViewItem:[tabs selectedTabViewItem]] == 0);
    CHECK(s.alerts.size() == 1 && s.alerts[0] == "Attention|A rebuild needs two disks in a RAID 1 set.|OK|");

    // Continue with no controller ends in Failure rather than waiting for ever.
    [c continueButtonClick:nil];
    CHECK(s.finished());
    CHECK(equals([c wizardState], "Failure"));
    CHECK(![outlet(c, "exitButton") isHidden]);
    CHECK([outlet(c, "updateProgressIndicator") isHidden]);
    CHECK(printed("No update started: no controller is attached."));
}

static void testAlreadyUpdatedAndMismatch(NSBundle* bundle)
{
    {
        Scenario s(bundle, {"qvr298,fw=31.01.01.15"});
        s.discover();
        CHECK(equals([outlet(s.c, "deviceLabel") stringValue], "The device already updated!"));
        CHECK(![outlet(s.c, "continueButton") isEnabled]);
        [s.c configWarning1:nil];   // re-configure takes the same checks: no update, and why
        CHECK(s.alerts.size() == 1 && s.alerts[0] == "Attention|The device already updated!|OK|");
        CHECK(equals([s.c wizardState], "Welcome"));
    }
    {
        Scenario s(bundle, {"qvr298,fw=29.01.01.10"});
        const uint64_t start = sys::nowMs();
        s.discover();
        CHECK(equals([outlet(s.c, "deviceLabel") stringValue], "The device firmware ID not match!"));
        CHECK(sys::nowMs() - start >= 1000);
        CHECK(![outlet(s.c, "continueButton") isEnabled]);
    }
}

static void testSuccessfulUpdate(NSBundle* bundle)
{
    Scenario s(bundle, {"qvr298,fw=31.01.01.10"});
    controller* c = s.c;
    s.discover();
    NSComboBox* box = outlet(c, "controllerselectbox");
    CHECK([box numberOfItems] == 1);
    CHECK([box indexOfSelectedItem] == 0);
    CHECK(raid::j.curr_chip_exists());
    const std::string row = [[box itemObjectValueAtIndex:0] UTF8String];
    CHECK(row.find("  (S/N: )") != std::string::npos);   // shown on one line
    const std::vector<std::string> rows = raid::controller_rows();
    CHECK(rows.size() == 1 && rows[0].find(" \n (S/N: )") != std::string::npos);
    CHECK(equals([outlet(c, "deviceLabel") stringValue], ("Found drive: " + rows[0]).c_str()));
    CHECK([outlet(c, "continueButton") isEnabled]);

    [outlet(c, "continueButton") performClick:nil];
    CHECK(equals([c wizardState], "Updating"));
    CHECK([outlet(c, "continueButton") isHidden]);
    CHECK([outlet(c, "exitButton") isHidden]);
    CHECK([outlet(c, "deviceLabel") isHidden]);
    CHECK(s.finished());
    CHECK(equals([c wizardState], "Success"));
    CHECK(![outlet(c, "exitButton") isHidden]);
    CHECK([outlet(c, "updateProgressIndicator") isHidden]);
    CHECK(printed("Create qvr29x updating thread."));
    CHECK(printed("Update Successfully!"));
    const std::string report = [[c reportJSON] UTF8String];
    CHECK(report.find("\"state\": \"Success\"") != std::string::npos);
    CHECK(report.find("\"exitButton\": {\"title\": \"Exit\", \"enabled\": true, \"hidden\": false}") != std::string::npos);
    s.session->bus().enclosure(0).reboot();
    CHECK(s.session->bus().enclosure(0).chipInfo()[15] == 15);
}

static void testFailingUpdate(NSBundle* bundle)
{
    Scenario s(bundle, {"qvr298,fw=31.01.01.10,failop=3b,fail=2"});
    controller* c = s.c;
    s.discover();
    CHECK([outlet(c, "continueButton") isEnabled]);
    [c continueButtonClick:nil];
    CHECK(s.finished());
    CHECK(equals([c wizardState], "Failure"));
    CHECK(equals([outlet(c, "mainDescriptionText") stringValue],
                 "Update Fails!\n\nYour device has not be updated.\nPlease try again.\n"));
    CHECK(![outlet(c, "exitButton") isHidden]);
    CHECK([outlet(c, "continueButton") isHidden]);
    CHECK(![c isWorking]);
    // Stopped at the first 50 ms poll after the report (counted in polls: other threads move the
    // shared clock as well).
    CHECK([c stoppedAtMs] >= [c finishedAtMs]);
    CHECK(int([c stoppedAtPoll]) - int([c finishedAtPoll]) <= 1);
    CHECK(printed("Update Fails!"));
    CHECK(![c holdingAwake]);

    // What happened, under Details, and saved where the user says.
    NSButton* details = outlet(c, "detailsButton");
    CHECK(![details isHidden] && [details isEnabled]);
    [details performClick:nil];
    CHECK(![outlet(c, "detailsScroll") isHidden] && [outlet(c, "mainDescriptionText") isHidden]);
    const std::string shown = [[outlet(c, "detailsView") string] UTF8String];
    CHECK(shown.find("Firmware before: 31.01.01.10") != std::string::npos);
    CHECK(shown.find("Cause: programming the flash at 0x001000") != std::string::npos);
    NSString* saved = [NSTemporaryDirectory() stringByAppendingPathComponent:@"q55x_details.txt"];
    ((TestController*)c)->savePath = saved;
    [outlet(c, "saveDetailsButton") performClick:nil];
    CHECK([[NSString stringWithContentsOfFile:saved] UTF8String] == shown);

    // A second update (the RAID window's re-configure) animates again until it reports.
    [c showUpdatingConfigWindow];
    CHECK(s.finished());
    CHECK([outlet(c, "mainDescriptionText") isHidden] == NO);
    CHECK([c stoppedAtPoll] >= [c finishedAtPoll]);
}

// Continue counts what is attached now, not only the list: a bridge plugged in since is a second.
static void testContinueCountsTheAttachedDevices(NSBundle* bundle)
{
    Scenario s(bundle, {"qvr298,fw=31.01.01.10"});
    s.discover();
    CHECK([outlet(s.c, "continueButton") isEnabled]);
    std::string error;
    CHECK(s.session->bus().addEnclosure("qvr298,fw=31.01.01.10", error));
    const std::vector<uint8_t> before = s.session->bus().enclosure(0).flash();
    [s.c continueButtonClick:nil];
    CHECK(s.finished());
    CHECK(equals([s.c wizardState], "Failure"));
    CHECK(printed("No update started: 2 devices are attached; only one may be while updating."));
    CHECK(s.session->bus().enclosure(0).flash() == before);
}

static void testUnplugInWelcome(NSBundle* bundle)
{
    Scenario s(bundle, {"qvr298"});
    controller* c = s.c;
    raid::gNotifyPort = s.services->notificationPortCreate();
    auto matching = s.services->serviceMatching(raid::kServiceClass);
    s.services->addMatchingNotification(raid::gNotifyPort, iokit::kIOFirstMatchNotification, *matching,
                                        &raid::DeviceAdded, nullptr, &raid::gAddedIter);
    raid::DeviceAdded(nullptr, raid::gAddedIter);
    CHECK([outlet(c, "continueButton") isEnabled]);
    sim::Enclosure& e = s.session->bus().enclosure(0);
    e.faults().dropAt(e.commandCount() + 1);
    uint8_t buf[36];
    qvaccess::QV_Inquiry(s.session->bus().deviceOf(0).makerObject, buf, sizeof buf);
    CHECK(s.services->runLoopRunFor(s.services->runLoopGetCurrent(), 0) >= 1);
    CHECK(![outlet(c, "continueButton") isEnabled]);
    CHECK(equals([outlet(c, "deviceLabel") stringValue], "No available device."));
    CHECK([outlet(c, "controllerselectbox") numberOfItems] == 0);
    s.services->notificationPortDestroy(raid::gNotifyPort);
    raid::gNotifyPort = nullptr;
    raid::gAddedIter = 0;
}

// A clock that notes whether the list's 2 s pause ran on the main thread, where it would freeze
// the window.
struct PauseWatch final : sys::Clock {
    sys::Clock& next;
    std::atomic<int> pauses{0};
    std::atomic<bool> onMain{false};
    explicit PauseWatch(sys::Clock& n) : next(n) {}
    void sleepMs(unsigned ms) override
    {
        if (ms == 2000) {
            onMain = onMain || [NSThread isMainThread];
            ++pauses;
        }
        next.sleepMs(ms);
    }
    uint64_t nowMs() const override { return next.nowMs(); }
    uint64_t nowUs() const override { return next.nowUs(); }
    void sleepUs(uint64_t us) override { next.sleepUs(us); }
};

static void testTwoControllers(NSBundle* bundle)
{
    Scenario s(bundle, {"qvr298", "qvr298,bus=1394"});
    controller* c = s.c;
    s.discover();
    NSComboBox* box = outlet(c, "controllerselectbox");
    CHECK([box numberOfItems] == 2);
    CHECK(raid::j.chips.size() == 2);
    // Row 1 is the FireWire controller (its GUID sorts after the USB key 0).
    const std::string row1 = [[box itemObjectValueAtIndex:1] UTF8String];
    CHECK(row1.find("  (GUID: 30E0F000000002)") != std::string::npos);

    // Selecting another controller stops the progress display and makes it current.
    NSLevelIndicator* level = outlet(c, "levelindicator");
    [level setHidden:NO];
    [box selectItemAtIndex:1];
    [[NSNotificationCenter defaultCenter] postNotificationName:NSComboBoxSelectionDidChangeNotification object:box];
    CHECK(raid::j.current == raid::j.chips[1].controller);
    CHECK([level isHidden]);
    // Selecting the current one again does nothing.
    [level setHidden:NO];
    [c comboBoxSelectionDidChange:nil];
    CHECK(![level isHidden]);
    CHECK(raid::j.current == raid::j.chips[1].controller);

    // Warm boot restarts the selected controller ...
    sim::Enclosure& usb = s.session->bus().enclosure(0);
    sim::Enclosure& fw = s.session->bus().enclosure(1);
    [c warmboot:nil];
    CHECK(fw.resetCount() == 1 && usb.resetCount() == 0);
    CHECK(s.alerts.empty());
    // ... and the first when none is selected.
    raid::j.current.clear();
    [c warmboot:nil];
    CHECK(usb.resetCount() == 1 && fw.resetCount() == 1);
    raid::j.warm_boot_pending = false;

    // Cancelling a confirmation changes nothing.
    s.answers = {NSAlertAlternateReturn};
    [c configWarning1:nil];
    CHECK(s.alerts.size() == 1);
    CHECK(s.alerts.back() == "Warning:|This will ERASE all the data on your Corvane device...|Yes|No");
    CHECK(equals([c wizardState], "Welcome"));
    s.answers = {NSAlertDefaultReturn, NSAlertAlternateReturn};
    [c configWarning1:nil];
    CHECK(s.alerts.size() == 3);
    CHECK(s.alerts.back().rfind("Warning:|Are you sure you wnat to ERASE all data and re-configure?\n\nRe-configuring writes new firmware", 0) == 0);
    CHECK(equals([c wizardState], "Welcome"));
    CHECK(![outlet(c, "continueButton") isHidden]);

    // Yes twice starts the update: with two controllers none can start, so it fails.
    s.answers = {NSAlertDefaultReturn, NSAlertDefaultReturn};
    [c configWarning1:nil];
    CHECK(s.finished());
    CHECK(equals([c wizardState], "Failure"));
    CHECK(printed("No update started: 2 controllers are attached; only one may be while updating."));

}

// Refresh lists the controllers again after its pause, which runs off the main thread.
static void testRefreshPausesOffTheMainThread(NSBundle* bundle)
{
    Scenario s(bundle, {"qvr298", "qvr298,bus=1394"});
    s.discover();
    NSComboBox* box = outlet(s.c, "controllerselectbox");
    PauseWatch watch(s.session->clock());
    const sys::ScopedClock watched(watch);
    [s.c refresh:nil];
    CHECK(spinUntil([&] { return watch.pauses > 0 && [box numberOfItems] == 2; }));
    CHECK(!watch.onMain);
    spinUntil([] { return false; }, 1.0);   // the refresh thread asks the chips after the list
}

static void testOpenFailureIsFatal(NSBundle* bundle)
{
    Scenario s(bundle, {});
    [s.c show_error_and_exit:@"boom"];
    CHECK(s.c->exitStatus == 3);
    CHECK(s.alerts.size() == 1 && s.alerts[0] == "Error|boom|OK|");
}

// An unattended run ends: with no update offered it gives up after its bound (clock time), in
// the Failure state, with its report written and a non-zero status; so does every other way out.
static void testUnattendedRunEnds(NSBundle* bundle)
{
    const std::string report = std::string(std::getenv("HOME") ? std::getenv("HOME") : "/tmp") + "/q55x_mac_report.json";
    const auto written = [&report] {
        std::ifstream in(report);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    {
        Scenario s(bundle, {"qvd529"});
        std::remove(report.c_str());
        [s.c setAutoContinue:YES reportPath:[NSString stringWithUTF8String:report.c_str()] limitMs:30000];
        [s.c startAutoContinue];
        s.discover();
        CHECK(printed("We don't find supported device."));
        [s.c autoContinueTick];
        CHECK(s.c->exitStatus == -1);
        s.session->clock().advanceMs(30000);
        [s.c autoContinueTick];
        CHECK(s.c->exitStatus == 1);
        CHECK(equals([s.c wizardState], "Failure"));
        CHECK(written().find("\"state\": \"Failure\"") != std::string::npos);
        CHECK(printed("auto-continue: no update started within 30 s."));
    }
    {
        // The error exit and Quit write the report too; an unattended run ends 0 only on Success.
        Scenario s(bundle, {});
        std::remove(report.c_str());
        [s.c setAutoContinue:YES reportPath:[NSString stringWithUTF8String:report.c_str()] limitMs:30000];
        [s.c show_error_and_exit:@"boom"];
        CHECK(s.c->exitStatus == 3);
        CHECK(written().find("\"state\": \"Failure\"") != std::string::npos);
        std::remove(report.c_str());
        [s.c exitprogram:nil];
        CHECK(s.c->exitStatus == 1);
        CHECK(written().find("\"state\": \"Failure\"") != std::string::npos);
    }
    std::remove(report.c_str());
}

// MARK: one update at a time

// Main thread: runs the run loop until a command of the update waits at the gate (true) or `done`
// holds (false).
static bool waitForStep(testsupport::GatedBackend& gate, const std::function<bool()>& done)
{
    NSDate* limit = [NSDate dateWithTimeIntervalSinceNow:60];
    for (;;) {
        NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
        [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode beforeDate:[NSDate distantPast]];
        [pool release];
        if (gate.waitForHeld(1))
            return true;
        if (done() || [limit timeIntervalSinceNow] < 0)
            return false;
    }
}

static NSMenuItem* menuItemFor(SEL action)
{
    NSMenu* menu = [NSApp mainMenu];
    for (NSInteger i = 0; i < [menu numberOfItems]; ++i)
        if (sel_isEqual([[menu itemAtIndex:i] action], action))
            return [menu itemAtIndex:i];
    return nil;
}

static void allButtons(NSView* v, std::vector<NSButton*>& out)
{
    if ([v isKindOfClass:[NSButton class]])
        out.push_back((NSButton*)v);
    if ([v isKindOfClass:[NSTabView class]]) {
        NSArray* items = [(NSTabView*)v tabViewItems];
        for (NSUInteger i = 0; i < [items count]; ++i)
            allButtons([[items objectAtIndex:i] view], out);
    }
    NSArray* sub = [v subviews];
    for (NSUInteger i = 0; i < [sub count]; ++i)
        allButtons([sub objectAtIndex:i], out);
}

// What the user can do while the wizard updates: every button of both windows, the menu's items,
// the wizard's close box, quitting, and every action as a queued event would send it.
struct UserAction {
    const char* name;
    int refusals;   // alerts saying an update is running
    std::function<void(controller*)> run;
};

static const std::vector<UserAction>& userActions()
{
    static const std::vector<UserAction> all = {
        {"click every button", 1,
         [](controller* c) {
             std::vector<NSButton*> buttons;
             allButtons([outlet(c, "welcomeWindow") contentView], buttons);
             allButtons([outlet(c, "configWindow") contentView], buttons);
             // What a click sends (performClick: would also hold the highlight for a tenth of a
             // second); a button that is off takes no click. Hidden ones are clicked as well.
             for (size_t i = 0; i < buttons.size(); ++i)
                 if ([buttons[i] isEnabled] && [buttons[i] action] != nullptr)
                     [NSApp sendAction:[buttons[i] action] to:[buttons[i] target] from:buttons[i]];
         }},
        {"wizard close box", 1, [](controller* c) { [outlet(c, "welcomeWindow") performClose:nil]; }},
        {"Quit menu item", 1,
         [](controller*) {
             NSMenuItem* quit = menuItemFor(@selector(exitprogram:));
             [NSApp sendAction:[quit action] to:[quit target] from:quit];
         }},
        {"terminate", 1, [](controller*) { [NSApp terminate:nil]; }},
        {"RAID window menu item", 0,
         [](controller*) {
             NSMenuItem* raid = menuItemFor(@selector(showConfigWindow));
             if ([raid isEnabled])
                 [NSApp sendAction:[raid action] to:[raid target] from:raid];
         }},
        {"showConfigWindow", 0, [](controller* c) { [c showConfigWindow]; }},
        {"refresh:", 1, [](controller* c) { [c refresh:nil]; }},
        {"warmboot:", 1, [](controller* c) { [c warmboot:nil]; }},
        {"configWarning1:", 1, [](controller* c) { [c configWarning1:nil]; }},
        {"configWarning2:", 1, [](controller* c) { [c configWarning2:nil]; }},
        {"continueButtonClick:", 0, [](controller* c) { [c continueButtonClick:nil]; }},
        {"showUpdatingConfigWindow", 0, [](controller* c) { [c showUpdatingConfigWindow]; }},
        {"updateFirmware", 0, [](controller* c) { [c updateFirmware]; }},
        {"exitprogram:", 1, [](controller* c) { [c exitprogram:nil]; }},
        {"device arrival", 0, [](controller*) { raid::DeviceAdded(nullptr, 0); }},
        {"device departure", 0,
         [](controller*) { raid::DeviceRemoved(nullptr, 0, iokit::kIOMessageServiceIsTerminated, nullptr); }},
        {"error alert that ends the program", 0,
         [](controller* c) {
             std::vector<std::string>& alerts = *((TestController*)c)->alerts;
             [c show_error_and_exit:@"boom"];
             if (!alerts.empty() && alerts.back() == "Error|boom|OK|")
                 alerts.pop_back();   // the user read it; the program must still be there
         }},

    };
    return all;
}

struct WizardUpdate {
    std::string state;
    std::vector<std::vector<uint8_t>> writes;
    std::vector<uint8_t> flash;
    size_t steps = 0;
    size_t refusals = 0;
    std::vector<std::string> faults;
};

static WizardUpdate wizardUpdate(NSBundle* bundle, const std::string& enclosure, bool interfere)
{
    WizardUpdate u;
    Scenario s(bundle, {enclosure});
    TestController* c = s.c;
    [NSApp setDelegate:c];
    s.discover();
    sim::Enclosure& e = s.session->bus().enclosure(0);
    testsupport::GatedBackend stepper(transport::backend());
    transport::ScopedBackend scoped(stepper);
    const int resets = e.resetCount();
    const size_t threadsBefore = timesPrinted("Create qvr29x updating thread.") + timesPrinted("Create updating thread.") +
                                 timesPrinted("Create qvd529 updating thread.");

    [c continueButtonClick:nil];
    const auto done = [c] { return [c progressEnded] && ![c isWorking] && !raid::update_thread_running(); };
    while (waitForStep(stepper, done)) {
        ++u.steps;
        // Commands after the result are the rescans discovery held back: the update is over. So
        // is it once its thread has ended, even before the window shows the result.
        const bool updatingNow = equals([c wizardState], "Updating") && raid::update_thread_running();
        for (size_t a = 0; interfere && updatingNow && u.faults.empty() && a < userActions().size(); ++a) {
            const UserAction& action = userActions()[a];
            const size_t alertsBefore = s.alerts.size();
            stepper.acting = action.name;
            action.run(c);
            stepper.acting.clear();
            const std::string at = std::string(action.name) + " at step " + std::to_string(u.steps) + ": ";
            for (size_t i = alertsBefore; i < s.alerts.size(); ++i)
                if (s.alerts[i] == "Warning|The firmware update is still running. Please wait until it has finished.|OK|")
                    ++u.refusals;
                else
                    u.faults.push_back(at + "alert " + s.alerts[i]);
            if (s.alerts.size() - alertsBefore != size_t(action.refusals))
                u.faults.push_back(at + std::to_string(s.alerts.size() - alertsBefore) + " alerts");
            for (size_t i = 0; i < stepper.strays.size(); ++i)
                u.faults.push_back(at + stepper.strays[i]);
            stepper.strays.clear();
            if (c->exitStatus != -1)
                u.faults.push_back(at + "the program ended");
            if (![outlet(c, "welcomeWindow") isVisible] || [outlet(c, "configWindow") isVisible])
                u.faults.push_back(at + "the windows changed");
            if (!equals([c wizardState], "Updating"))
                u.faults.push_back(at + "the wizard left Updating");
            if ([menuItemFor(@selector(showConfigWindow)) isEnabled])
                u.faults.push_back(at + "the RAID window's menu item is enabled");
            if (e.resetCount() != resets)
                u.faults.push_back(at + "the controller was restarted");
            if (![c holdingAwake])
                u.faults.push_back(at + "the system may sleep");
        }
        stepper.releaseHeld();
    }
    CHECK(done());
    u.state = [[c wizardState] UTF8String];
    u.writes = stepper.writes;
    u.flash = e.flash();
    const size_t threads = timesPrinted("Create qvr29x updating thread.") + timesPrinted("Create updating thread.") +
                           timesPrinted("Create qvd529 updating thread.");
    if (threads != threadsBefore + 1)
        u.faults.push_back(std::to_string(threads - threadsBefore) + " update threads");
    [NSApp setDelegate:nil];
    return u;
}

static void testOneUpdateAtATime(NSBundle* bundle)
{
    const char* enclosures[] = {"qvr298,fw=31.01.01.10", "qvd528", "qvr256", "qvr296"};
    for (const char* enclosure : enclosures) {
        const WizardUpdate alone = wizardUpdate(bundle, enclosure, false);
        const WizardUpdate tried = wizardUpdate(bundle, enclosure, true);
        CHECK(alone.state == (std::string(enclosure) == "qvr256" ? "Failure" : "Success"));   // not its image
        CHECK(alone.steps > 10 || alone.state == "Failure");
        CHECK(tried.faults.empty());
        for (size_t i = 0; i < tried.faults.size() && i < 5; ++i)
            std::fprintf(stderr, "%s: %s\n", enclosure, tried.faults[i].c_str());
        CHECK(tried.state == alone.state);
        CHECK(tried.writes == alone.writes);
        CHECK(tried.flash == alone.flash);
        CHECK(tried.steps > 10 || tried.state == "Failure");
    }
}

int main(int argc, const char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH_TO_APP_BUNDLE\n", argv[0]);
        return 2;
    }
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    [NSApplication sharedApplication];
    NSBundle* bundle = [NSBundle bundleWithPath:[NSString stringWithUTF8String:argv[1]]];
    CHECK(bundle != nil);
    CHECK([bundle pathForResource:@"qvr298_v031.001.001.015" ofType:@"bin"] != nil);
    CHECK([bundle pathForResource:@"RaidST_click" ofType:@"png"] != nil);
    sys::setResourceLoader(sys::folderResources([[bundle resourcePath] fileSystemRepresentation]));
    firmware::setMacOutputSink([](std::string_view line) {
        std::lock_guard<std::mutex> lock(gOutMutex);
        gOut.emplace_back(line);
    });
    macapp::WindowBridge bridge;
    raid::set_window(&bridge);

    // Each test's name goes out first: a run that hangs shows where.
    struct Test { const char* name; void (*run)(NSBundle*); };
    const Test tests[] = {
        {"testInitialState", testInitialState},
        {"testNoControllerAndTheRebuildTab", testNoControllerAndTheRebuildTab},
        {"testAlreadyUpdatedAndMismatch", testAlreadyUpdatedAndMismatch},
        {"testSuccessfulUpdate", testSuccessfulUpdate},
        {"testFailingUpdate", testFailingUpdate},
        {"testUnplugInWelcome", testUnplugInWelcome},
        {"testTwoControllers", testTwoControllers},
        {"testRefreshPausesOffTheMainThread", testRefreshPausesOffTheMainThread},
        {"testContinueCountsTheAttachedDevices", testContinueCountsTheAttachedDevices},
        {"testOpenFailureIsFatal", testOpenFailureIsFatal},
        {"testUnattendedRunEnds", testUnattendedRunEnds},
        {"testOneUpdateAtATime", testOneUpdateAtATime},
    };
    for (const Test& t : tests) {
        std::fprintf(stderr, "controller_tests: %s\n", t.name);
        t.run(bundle);
    }

    raid::set_window(nullptr);
    [pool release];
    if (failures == 0)
        std::puts("controller_tests: all passed");
    return failures == 0 ? 0 : 1;
}
