// Discovery over the emulator's registry: identities from the registry, the readiness decision
// for a QVR298, departures, warm boot, and the update starters.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "image/image_catalog.h"
#include "update/update_window.h"
#include "mac_app/model/discovery.h"
#include "mac_app/model/qvtool.h"
#include "mac_app/registry/sim_services.h"
#include "mac_app/model/window.h"
#include "sim/session.h"
#include "sys/resources.h"
#include "support/gated_backend.h"
#include "transport/backend.h"
#include "bridge/qvaccess.h"

namespace {

// Records every call with the virtual time it came at.
class RecordingWindow final : public raid::controller_window {
public:
    struct Call {
        std::string what;
        uint64_t atMs;
    };
    void stopprogressbar() override { add("stopprogressbar"); }
    void cleargui() override {
        add("cleargui");
        if (onCleargui) std::exchange(onCleargui, nullptr)();
    }
    std::function<void()> onCleargui;   // runs once, at the start of a departure's pause
    void clear_controller_list() override { add("clear_controller_list"); }
    void update_controller_list() override {
        add("update_controller_list");
        std::lock_guard<std::mutex> lock(mutex_);
        rows = raid::controller_rows();
    }
    void select_first_controller() override { add("select_first_controller"); }
    void continueButtonEnabled(bool on) override {
        add(on ? "continue:YES" : "continue:NO");
        continueEnabled = on;
    }
    void deviceLabelSetStringVal(const std::string& text) override {
        add("label:" + text);
        std::lock_guard<std::mutex> lock(mutex_);
        label = text;
    }
    void stopworking() override { add("stopworking"); }
    void showSuccessfulWindow() override {
        add("success");
        ++results;
    }
    void showFailureWindow() override {
        add("failure");
        ++results;
    }
    void show_error_and_exit(const std::string& text) override { add("error_and_exit:" + text); }
    void showDetails(const std::string& text) override {
        add("details");
        std::lock_guard<std::mutex> lock(mutex_);
        details = text;
    }
    void holdSystemAwake(bool on) override { add(on ? "awake:on" : "awake:off"); }
    std::string details;
    std::string localized(const std::string& key) override { return key; }

    std::vector<Call> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    bool called(const std::string& what) {
        for (const Call& c : calls())
            if (c.what == what) return true;
        return false;
    }
    uint64_t timeOf(const std::string& what) {
        for (const Call& c : calls())
            if (c.what == what) return c.atMs;
        return 0;
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }

    std::atomic<bool> continueEnabled{false};
    std::atomic<int> results{0};
    std::string label;
    std::vector<std::string> rows;

private:
    void add(std::string what) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back({std::move(what), sys::nowMs()});
    }
    std::mutex mutex_;
    std::vector<Call> calls_;
};

class RaidDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        raid::set_window(&window);
        previousSink = firmware::setMacOutputSink([this](std::string_view line) {
            std::lock_guard<std::mutex> lock(outMutex);
            out.emplace_back(line);
        });
        previousLoader = sys::setResourceLoader(firmware::catalogResources());
        resetList();
    }
    void TearDown() override {
        resetList();
        iokit::setServices(nullptr);
        raid::set_window(nullptr);
        firmware::setMacOutputSink(previousSink);
        sys::setResourceLoader(previousLoader);
        if (raid::gNotifyPort && services) services->notificationPortDestroy(raid::gNotifyPort);
        raid::gNotifyPort = nullptr;
        raid::gAddedIter = 0;
    }
    static void resetList() {
        raid::j.flush_chips();
        raid::j.current.clear();
        raid::j.current.vendor_id = 0;
        raid::j.current.usb_key = 0;
        raid::j.warm_boot_pending = false;
    }

    void attach(const std::string& text) {
        std::string error;
        ASSERT_TRUE(session.bus().addEnclosure(text, error)) << error;
    }
    // Registers for arrivals as the discovery thread does and handles what is attached.
    void startDiscovery() {
        services = std::make_unique<iokit::SimServices>(session.bus());
        iokit::setServices(services.get());
        auto matching = services->serviceMatching(raid::kServiceClass);
        ASSERT_TRUE(matching);
        raid::gNotifyPort = services->notificationPortCreate();
        ASSERT_EQ(services->addMatchingNotification(raid::gNotifyPort, iokit::kIOFirstMatchNotification, *matching,
                                                     &raid::DeviceAdded, nullptr, &raid::gAddedIter),
                  iokit::KERN_SUCCESS);
        raid::DeviceAdded(nullptr, raid::gAddedIter);
    }
    int pump() { return services->runLoopRunFor(services->runLoopGetCurrent(), 0); }
    // Takes the enclosure off the bus, as pulling its cable does.
    void unplug(size_t enclosure) {
        sim::Enclosure& e = session.bus().enclosure(enclosure);
        e.faults().dropAt(e.commandCount() + 1);
        uint8_t buf[36];
        const uint32_t device = session.bus().deviceOf(enclosure).makerObject;
        qvaccess::QV_Inquiry(device, buf, sizeof buf);
    }
    bool printed(const std::string& line) {
        std::lock_guard<std::mutex> lock(outMutex);
        for (const auto& l : out)
            if (l == line) return true;
        return false;
    }
    // The update and discovery threads run on their own; the bound only ends a hang, so it is
    // generous enough for a loaded machine and a sanitizer build.
    template <typename Done>
    static bool waitUntil(Done done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return done();
    }
    bool waitForResults(int n) {
        return waitUntil([&] { return window.results.load() >= n; });
    }

    sim::Session session;
    std::unique_ptr<iokit::SimServices> services;
    RecordingWindow window;
    std::mutex outMutex;
    std::vector<std::string> out;
    firmware::MacOutputSink previousSink;
    sys::ResourceLoader previousLoader;
};

}  // namespace

// Twins (equal identifiers and serial) are told apart by the port they sit on; a restart keeps it.
TEST_F(RaidDiscovery, TwoUsbEnclosuresWithEqualIdentifiersAreTwoControllers) {
    attach("qvr298");
    attach("qvr298");
    startDiscovery();
    ASSERT_EQ(raid::j.chips.size(), 2u);
    EXPECT_EQ(raid::j.chips[0].controller.vendor_id, raid::j.chips[1].controller.vendor_id);
    EXPECT_NE(raid::j.chips[0].controller, raid::j.chips[1].controller);
    EXPECT_TRUE(raid::j.chips[1].connection_open);
    EXPECT_EQ(window.rows.size(), 2u);
    EXPECT_EQ(raid::j.attached_devices(), 2);
    const raid::controller_t first = raid::j.chips[0].controller;
    ASSERT_TRUE(raid::j.warm_boot());
    session.clock().advanceMs(session.bus().enclosure(0).config().resetDelayMs);
    session.bus().devices();
    pump();
    EXPECT_TRUE(raid::j.controller_exists(first)) << "the same bridge, back on its port";
}

TEST_F(RaidDiscovery, UasIsIdentifiedOneRegistryLevelHigher) {
    attach("qvr298,bus=uas");
    startDiscovery();
    ASSERT_EQ(raid::j.chips.size(), 1u);
    const raid::controller_t& c = raid::j.chips[0].controller;
    EXPECT_EQ(c.vendor_id, 0x728Du) << "the USB device above the UAS transport";
    EXPECT_NE(c.product_id, 0u);
    // The same bridge over plain USB is the same controller.
    raid::controller_t plain;
    plain.vendor_id = c.vendor_id;
    plain.product_id = c.product_id;
    plain.usb_key = c.usb_key;   // the same port
    EXPECT_EQ(c, plain);
}

TEST_F(RaidDiscovery, FireWireControllersSortByGuidAndShowIt) {
    attach("qvd525,bus=1394");
    attach("qvr298");
    attach("qvd525,bus=1394");
    startDiscovery();
    ASSERT_EQ(raid::j.chips.size(), 3u);
    const auto& fw = raid::j.chips[0].controller;
    EXPECT_TRUE(fw.is_firewire);
    EXPECT_EQ(fw.guid, sim::kFireWireGuidBase + 1);
    EXPECT_EQ(fw.order_key, fw.guid);
    // Display order: the USB controller (key 0) first, then the GUIDs ascending.
    ASSERT_EQ(raid::j.controller_map.size(), 3u);
    EXPECT_EQ(raid::j.controller_map[0].second, 1);
    EXPECT_EQ(raid::j.controller_map[1].second, 0);
    EXPECT_EQ(raid::j.controller_map[2].second, 2);
    ASSERT_EQ(window.rows.size(), 3u);
    const std::string name = raid::j.chips[0].get_raid_name();
    EXPECT_NE(name.find("Media"), std::string::npos) << name;
    EXPECT_EQ(window.rows[1], name + " \n (GUID: " + raid::inttohexstring(static_cast<int64_t>(fw.guid), 0) + ")");
    EXPECT_EQ(window.rows[0], raid::j.chips[1].get_raid_name() + " \n (S/N: )");
}

TEST_F(RaidDiscovery, ReadinessOfAQvr298FollowsItsVersion) {
    struct Case {
        const char* fw;
        bool enables;
        const char* label;
    };
    const Case cases[] = {
        {"31.01.01.15", false, "The device already updated!"},
        {"31.01.01.10", true, ""},
        {"31.01.02.99", true, ""},
        {"31.02.01.10", false, "The device firmware ID not match!"},
        {"30.01.01.15", false, "The device firmware ID not match!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fw);
        sim::Session s;
        std::string error;
        ASSERT_TRUE(s.bus().addEnclosure(std::string("qvr298,fw=") + c.fw, error)) << error;
        iokit::SimServices services(s.bus());
        iokit::setServices(&services);
        window.reset();
        window.continueEnabled = false;
        window.label.clear();
        const uint64_t start = sys::nowMs();
        raid::DeviceAdded(nullptr, 0);
        EXPECT_TRUE(printed("We found a QVR298 Series device."));
        EXPECT_EQ(window.continueEnabled.load(), c.enables);
        EXPECT_EQ(window.label, c.label);
        if (std::string(c.label) == "The device firmware ID not match!") {
            EXPECT_GE(window.timeOf(std::string("label:") + c.label) - start, raid::kMismatchPauseMs);
        }
        iokit::setServices(nullptr);
        resetList();
    }
}

TEST_F(RaidDiscovery, OtherChipsAreNotSupported) {
    attach("qvd529");
    startDiscovery();
    EXPECT_TRUE(printed("We don't find supported device."));
    EXPECT_FALSE(window.continueEnabled.load());
    ASSERT_EQ(raid::j.chips.size(), 1u);
    EXPECT_NE(raid::j.chips[0].chip_type(), 21u) << "the QVR298 is macOS chip type 21";
}

TEST_F(RaidDiscovery, ArrivalHandlingSendsItsMessagesInOrder) {
    attach("qvr298");
    startDiscovery();
    std::vector<std::string> seq;
    for (const auto& c : window.calls()) seq.push_back(c.what);
    const std::vector<std::string> want = {"clear_controller_list", "update_controller_list", "continue:YES",
                                           "select_first_controller"};
    EXPECT_EQ(seq, want);
    EXPECT_EQ(services->interestCount(), 1u) << "a departure notification per service";
}

TEST_F(RaidDiscovery, UnpluggingTakesContinueBackAndRescans) {
    attach("qvr298");
    startDiscovery();
    ASSERT_TRUE(window.continueEnabled.load());
    window.reset();
    const uint64_t before = sys::nowMs();
    unplug(0);
    EXPECT_GE(pump(), 1);
    EXPECT_FALSE(window.continueEnabled.load());
    EXPECT_TRUE(raid::j.chips.empty());
    std::vector<std::string> seq;
    for (const auto& c : window.calls()) seq.push_back(c.what);
    const std::vector<std::string> want = {"continue:NO", "cleargui", "update_controller_list", "continue:NO",
                                           "select_first_controller", "stopworking"};
    EXPECT_EQ(seq, want);
    EXPECT_GE(window.timeOf("update_controller_list") - before, raid::kRemovalSettleMs);
}

TEST_F(RaidDiscovery, AnArrivalIsHandledOnTheRunLoop) {
    startDiscovery();
    EXPECT_TRUE(raid::j.chips.empty());
    EXPECT_EQ(pump(), 0);
    attach("qvr298");
    EXPECT_GE(pump(), 1);
    EXPECT_EQ(raid::j.chips.size(), 1u);
    EXPECT_TRUE(window.continueEnabled.load());
}

TEST_F(RaidDiscovery, WarmBootRestartsTheSelectedControllerAndTheFirstWhenNoneIs) {
    attach("qvr298");
    attach("qvr298,bus=1394");
    startDiscovery();
    ASSERT_EQ(raid::j.chips.size(), 2u);
    sim::Enclosure& first = session.bus().enclosure(0);
    sim::Enclosure& second = session.bus().enclosure(1);

    raid::j.current = raid::j.chips[1].controller;
    window.reset();
    EXPECT_TRUE(raid::j.warm_boot());
    EXPECT_EQ(second.resetCount(), 1);
    EXPECT_EQ(first.resetCount(), 0);
    EXPECT_TRUE(raid::j.warm_boot_pending);
    EXPECT_TRUE(window.called("stopprogressbar"));
    // The departure of a warm-booting controller leaves the list alone ...
    pump();
    EXPECT_FALSE(window.called("cleargui"));
    EXPECT_EQ(raid::j.chips.size(), 2u);
    // ... and its return rebuilds it.
    session.clock().advanceMs(session.bus().enclosure(1).config().resetDelayMs);
    session.bus().devices();
    EXPECT_GE(pump(), 1);
    EXPECT_FALSE(raid::j.warm_boot_pending);
    EXPECT_EQ(raid::j.chips.size(), 2u);
    EXPECT_TRUE(raid::j.curr_chip_exists());

    raid::j.current.clear();
    EXPECT_TRUE(raid::j.warm_boot());
    EXPECT_EQ(first.resetCount(), 1) << "none selected: the first of the list";
    EXPECT_EQ(second.resetCount(), 1);
}

TEST_F(RaidDiscovery, WarmBootWithNoControllerFails) {
    startDiscovery();
    EXPECT_FALSE(raid::j.warm_boot());
    EXPECT_FALSE(raid::j.warm_boot_pending);
}

TEST_F(RaidDiscovery, UpdateStartersPrintTheirLinesAndReportOnce) {
    attach("qvr298,fw=31.01.01.10");
    startDiscovery();
    ASSERT_EQ(raid::j.chips.size(), 1u);
    EXPECT_EQ(raid::j.chips[0].QVR298FirmwareUpdate(), 0);
    ASSERT_TRUE(waitForResults(1));
    if (raid::j.chips[0].update_thread.joinable()) raid::j.chips[0].update_thread.join();
    EXPECT_TRUE(printed("Create qvr29x updating thread."));
    EXPECT_TRUE(window.called("success"));
    EXPECT_EQ(window.results.load(), 1);
    uint8_t info[16] = {};
    session.bus().enclosure(0).reboot();
    ASSERT_TRUE(qvaccess::QV_GetChipInfo(raid::j.chips[0].device, info, sizeof info));
    EXPECT_EQ(info[15], 15);
}

TEST_F(RaidDiscovery, AnUpdateWithoutItsImageReportsFailure) {
    attach("qvr298,fw=31.01.01.10");
    startDiscovery();
    sys::setResourceLoader([](std::string_view, std::string_view, std::vector<uint8_t>&) { return false; });
    EXPECT_EQ(raid::j.chips[0].QVR298FirmwareUpdate(), 0);
    ASSERT_TRUE(waitForResults(1));
    if (raid::j.chips[0].update_thread.joinable()) raid::j.chips[0].update_thread.join();
    EXPECT_TRUE(window.called("failure"));
    EXPECT_EQ(window.results.load(), 1);
}

TEST_F(RaidDiscovery, QvdStartersPrintTheirLines) {
    attach("qvd529");
    startDiscovery();
    EXPECT_EQ(raid::j.chips[0].QVD529FirmwareUpdate(), 0);
    ASSERT_TRUE(waitForResults(1));
    if (raid::j.chips[0].update_thread.joinable()) raid::j.chips[0].update_thread.join();
    EXPECT_TRUE(printed("Create qvd529 updating thread."));
    EXPECT_EQ(raid::j.chips[0].QVD528FirmwareUpdate(), 0);
    ASSERT_TRUE(waitForResults(2));
    if (raid::j.chips[0].update_thread.joinable()) raid::j.chips[0].update_thread.join();
    EXPECT_TRUE(printed("Create updating thread."));
}

TEST_F(RaidDiscovery, AFailingUpdateReportsFailure) {
    attach("qvr298,fw=31.01.01.10,failop=3b,fail=2");
    startDiscovery();
    EXPECT_EQ(raid::j.chips[0].QVR298FirmwareUpdate(), 0);
    ASSERT_TRUE(waitForResults(1));
    if (raid::j.chips[0].update_thread.joinable()) raid::j.chips[0].update_thread.join();
    EXPECT_TRUE(window.called("failure"));
    EXPECT_TRUE(printed("update_func: update fails."));
    // The user reads what happened; the system was kept awake for exactly the update.
    EXPECT_NE(window.details.find("Firmware before: 31.01.01.10"), std::string::npos) << window.details;
    EXPECT_NE(window.details.find("Cause: programming the flash"), std::string::npos) << window.details;
    std::vector<std::string> order;
    for (const auto& c : window.calls())
        if (c.what == "awake:on" || c.what == "awake:off" || c.what == "details" || c.what == "failure") order.push_back(c.what);
    EXPECT_EQ(order, (std::vector<std::string>{"awake:on", "details", "failure", "awake:off"}));
}

// While an update thread runs, an arrival or a departure neither closes the connection it uses nor
// sends anything: the rebuild runs once, on that thread, after the update has reported.
TEST_F(RaidDiscovery, ArrivalsAndDeparturesWaitForARunningUpdate) {
    attach("qvr298,fw=31.01.01.10");
    startDiscovery();
    testsupport::GatedBackend gate(transport::backend());
    transport::ScopedBackend scoped(gate);
    window.reset();
    ASSERT_EQ(raid::j.chips[0].QVR298FirmwareUpdate(), 0);
    ASSERT_TRUE(gate.waitForHeld(10000));
    EXPECT_EQ(raid::j.chips[0].QVR298FirmwareUpdate(), -1) << "a second update thread";
    gate.acting = "discovery";
    attach("qvd528");
    raid::DeviceAdded(nullptr, 0);
    raid::DeviceRemoved(nullptr, 0, iokit::kIOMessageServiceIsTerminated, nullptr);
    gate.acting.clear();
    EXPECT_EQ(gate.strays, std::vector<std::string>{});
    ASSERT_EQ(raid::j.chips.size(), 1u);
    EXPECT_TRUE(raid::j.chips[0].connection_open);
    for (const auto& c : window.calls()) EXPECT_EQ(c.what, "awake:on") << "discovery told the window nothing";

    gate.open();
    if (raid::j.chips[0].update_thread.joinable()) raid::j.chips[0].update_thread.join();
    EXPECT_FALSE(raid::update_thread_running());
    // The departure's handling, then the arrival's, after the result.
    std::vector<std::string> seen;
    for (const auto& c : window.calls())
        if (c.what == "success" || c.what == "cleargui" || c.what == "clear_controller_list") seen.push_back(c.what);
    EXPECT_EQ(seen, (std::vector<std::string>{"success", "cleargui", "clear_controller_list"}));
    EXPECT_EQ(window.rows.size(), 2u);
}

// An update that starts in a departure's pause keeps its list and its connection.
TEST_F(RaidDiscovery, AnUpdateStartedDuringTheRemovalPauseKeepsItsConnection) {
    attach("qvr298,fw=31.01.01.10");
    attach("qvd528");
    startDiscovery();
    testsupport::GatedBackend gate(transport::backend());
    transport::ScopedBackend scoped(gate);
    window.onCleargui = [&] {
        EXPECT_TRUE(raid::rebuild_pending());
        ASSERT_EQ(raid::j.chips[0].QVR298FirmwareUpdate(), 0);
        ASSERT_TRUE(gate.waitForHeld(10000));
        gate.acting = "discovery";
    };
    unplug(1);
    raid::DeviceRemoved(nullptr, 0, iokit::kIOMessageServiceIsTerminated, nullptr);
    gate.acting.clear();
    EXPECT_FALSE(raid::rebuild_pending());
    EXPECT_EQ(gate.strays, std::vector<std::string>{});
    EXPECT_EQ(raid::j.chips.size(), 2u) << "the list stands until the update has ended";
    EXPECT_TRUE(raid::j.chips[0].connection_open);
    gate.open();
    if (raid::j.chips[0].update_thread.joinable()) raid::j.chips[0].update_thread.join();
    EXPECT_EQ(window.results.load(), 1);
    EXPECT_EQ(raid::j.chips.size(), 1u) << "the held departure ran after the result";
}

TEST_F(RaidDiscovery, TheDiscoveryThreadRunsUntilStopped) {
    attach("qvr298");
    services = std::make_unique<iokit::SimServices>(session.bus());
    iokit::setServices(services.get());
    std::thread t(raid::start_device_notification);
    EXPECT_TRUE(waitUntil([&] { return window.continueEnabled.load(); }));
    // The stop may come before the thread reaches its run loop; it must end the loop all the same.
    raid::stop_device_notification();
    t.join();
}

TEST_F(RaidDiscovery, AStopBeforeTheRunLoopRunsIsKept) {
    // Before, the loop forgot a stop that came before it ran, and ran on for ever.
    services = std::make_unique<iokit::SimServices>(session.bus());
    iokit::RunLoop* loop = services->runLoopGetCurrent();
    services->runLoopStop(loop);
    services->runLoopRun(loop);   // returns at once
}
