#include "mac_app/model/discovery.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "update/update_window.h"
#include "mac_app/model/qvtool.h"
#include "mac_app/model/window.h"
#include "sys/clock.h"
#include "transport/maclib/qvlib.h"
#include "identify/chip_detect.h"
#include "bridge/qvaccess.h"

namespace raid {

iokit::NotificationPort* gNotifyPort = nullptr;
iokit::io_iterator_t gAddedIter = 0;
iokit::RunLoop* gRunLoop = nullptr;

namespace {

constexpr const char* kAttachedScsi = "IOUSBAttachedSCSI";
constexpr int kParentSteps = 4;

void errorLine(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

// The identity of a listed device from the registry entry above it: four steps up the service
// plane, one more when a UAS transport stands among the four.
controller_t identityOf(iokit::Services& s, uint32_t device) {
    controller_t c;
    iokit::io_registry_entry_t entry = device;
    bool attachedScsi = false;
    const auto up = [&](iokit::io_registry_entry_t from, iokit::io_registry_entry_t& to) {
        return s.registryEntryGetParentEntry(from, iokit::kIOServicePlane, &to) == iokit::KERN_SUCCESS;
    };
    for (int step = 0; step < kParentSteps; ++step) {
        iokit::io_registry_entry_t parent = iokit::IO_OBJECT_NULL;
        if (!up(entry, parent)) return c;
        entry = parent;
        std::string name;
        if (s.registryEntryGetName(entry, name) == iokit::KERN_SUCCESS && name == kAttachedScsi) attachedScsi = true;
    }
    if (attachedScsi) {
        iokit::io_registry_entry_t parent = iokit::IO_OBJECT_NULL;
        if (!up(entry, parent)) return c;
        entry = parent;
    }
    std::string name;
    s.registryEntryGetName(entry, name);
    if (name.find("FireWire") != std::string::npos) {
        c.is_firewire = true;
        uint64_t guid = 0;
        s.numberProperty64(entry, "GUID", guid);
        c.guid = guid;
        c.order_key = guid;
    } else {
        uint32_t vid = 0, pid = 0;
        s.numberProperty32(entry, "idVendor", vid);
        s.numberProperty32(entry, "idProduct", pid);
        c.vendor_id = vid;
        c.product_id = pid;
        // Two enclosures of one model carry the same identifiers (and often the same serial):
        // where they sit tells them apart. The port's location number, or else the registry
        // entry of the USB device itself.
        uint32_t location = 0;
        c.usb_key = s.numberProperty32(entry, "locationID", location) && location != 0 ? location : entry;
    }
    return c;
}

std::string versionText(const uint8_t* v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2d.%.2d.%.2d.%.2d", v[0], v[1], v[2], v[3]);
    return text;
}

std::atomic<int> gRebuildsPending{0};

// Rebuilds the list unless an update runs. The check is made again under the list's lock, which
// an update's start also holds: an update that started since the handler's first look keeps its
// connection, and one asked for meanwhile starts on the new list.
bool rebuildUnlessUpdating(bool departure) {
    std::lock_guard<std::recursive_mutex> lock(j.list_lock());
    if (hold_rescan_while_updating(departure)) return false;
    j.scandevices();
    return true;
}

// Identifies every open chip and tells the wizard which QVR298 may be updated.
void offerUpdates() {
    // The chips are looked at outside the list lock: the pause below must not hold up the GUI.
    std::vector<uint32_t> open;
    {
        std::lock_guard<std::recursive_mutex> lock(j.list_lock());
        for (const qvchip& chip : j.chips)
            if (chip.connection_open) open.push_back(chip.device);
    }
    for (uint32_t device : open) {
        const uint64_t chipId = qvaccess::QV_GetChipID_Version(device);
        {
            std::lock_guard<std::recursive_mutex> lock(j.list_lock());
            for (qvchip& chip : j.chips)
                if (chip.device == device) chip.chip_id = chipId;
        }
        if (!vendor::chipRowOfMac(static_cast<uint32_t>(chipId & 0xFFFFFFFFu)).oneButton) {
            firmware::macPrint("We don't find supported device.");
            continue;
        }
        firmware::macPrint("We found a QVR298 Series device.");
        switch (readiness_of(device, chipId)) {
            case Readiness::AlreadyUpdated: window().deviceLabelSetStringVal(kTextAlreadyUpdated); break;
            case Readiness::Offered: window().continueButtonEnabled(true); break;
            case Readiness::FirmwareIdMismatch:
                sys::sleepMs(kMismatchPauseMs);
                window().deviceLabelSetStringVal(kTextFirmwareIdMismatch);
                break;
            case Readiness::NotSupported:
            case Readiness::Unreadable: break;
        }
    }
}

}  // namespace

bool rebuild_pending() { return gRebuildsPending.load() > 0; }

Readiness readiness_of(uint32_t device, uint64_t chipId) {
    if (!vendor::chipRowOfMac(static_cast<uint32_t>(chipId & 0xFFFFFFFFu)).oneButton) return Readiness::NotSupported;
    uint8_t info[16] = {};
    if (!qvaccess::QV_GetChipInfo(device, info, sizeof info) || info[0] != 0xF4 || info[1] != 0xE7)
        return Readiness::Unreadable;
    if (versionText(info + 12) == "31.01.01.15") return Readiness::AlreadyUpdated;
    if (info[12] == 31 && info[13] == 1) return Readiness::Offered;
    return Readiness::FirmwareIdMismatch;
}

bool qvtool::scandevices() {
    std::lock_guard<std::recursive_mutex> lock(list_mutex_);
    flush_chips();
    std::vector<uint64_t> slots(maclib::kDeviceListSlots, 0);
    int count = 0;
    if (getDeviceList(slots.data(), &count) != 0) return false;
    if (count < 0) count = 0;
    if (count > maclib::kDeviceListSlots) count = maclib::kDeviceListSlots;

    if (iokit::Services* s = iokit::services()) {
        for (int i = 0; i < count; ++i) {
            const uint32_t device = static_cast<uint32_t>(slots[static_cast<size_t>(i)] & 0xFFFFFFFFu);
            const controller_t c = identityOf(*s, device);
            if (!controller_exists(c)) add_controller(c, device);
        }
    }
    setup_controller_map();

    for (qvchip& chip : chips) {
        const int result = openConnection(chip.device);
        chip.connection_open = true;
        if (result != 0) window().show_error_and_exit(window().localized("error_open_device"));
    }
    return true;
}

int qvtool::attached_devices() {
    std::vector<uint64_t> slots(maclib::kDeviceListSlots, 0);
    int count = 0;
    if (getDeviceList(slots.data(), &count) != 0 || count < 0) return -1;
    return count;
}

void DeviceAdded(void* /*refCon*/, iokit::io_iterator_t iterator) {
    // While an update runs, the rebuild would close the connection its thread uses and send
    // identification commands between its writes: it runs once the update has ended. The
    // notification is armed all the same.
    const bool held = hold_rescan_while_updating(false);
    if (!held) window().clear_controller_list();
    iokit::Services* s = iokit::services();
    if (iterator != 0 && s) {
        for (iokit::io_object_t service = s->iteratorNext(iterator); service != iokit::IO_OBJECT_NULL;
             service = s->iteratorNext(iterator)) {
            iokit::io_object_t notification = 0;
            const iokit::kern_return_t kr = s->addInterestNotification(
                gNotifyPort, service, iokit::kIOGeneralInterest, &DeviceRemoved, nullptr, &notification);
            if (kr != iokit::KERN_SUCCESS) {
                char line[80];
                std::snprintf(line, sizeof line, "IOServiceAddInterestNotification returned 0x%08x.\n",
                              static_cast<unsigned>(kr));
                std::fputs(line, stdout);
                std::fflush(stdout);
            }
            s->objectRelease(service);
        }
    }
    if (held || !rebuildUnlessUpdating(false)) return;
    window().update_controller_list();

    offerUpdates();

    if (!j.curr_chip_exists()) window().select_first_controller();
    j.warm_boot_pending = false;
}

void DeviceRemoved(void* /*refCon*/, iokit::io_service_t /*service*/, iokit::natural_t messageType,
                   void* /*messageArgument*/) {
    if (messageType != iokit::kIOMessageServiceIsTerminated || j.warm_boot_pending) return;
    if (hold_rescan_while_updating(true)) return;   // as in DeviceAdded
    // Until the list is rebuilt it may name a controller that has gone: nothing may start on it.
    ++gRebuildsPending;
    window().continueButtonEnabled(false);
    window().cleargui();
    sys::sleepMs(kRemovalSettleMs);
    const bool rebuilt = rebuildUnlessUpdating(true);
    --gRebuildsPending;
    if (!rebuilt) return;
    window().update_controller_list();
    if (j.curr_chip_exists()) {
        offerUpdates();   // another controller left: the offer stands again
    } else {
        {
            std::lock_guard<std::recursive_mutex> lock(j.list_lock());
            j.current.clear();
        }
        window().continueButtonEnabled(false);
        window().select_first_controller();
    }
    window().stopworking();
}

void start_device_notification() {
    iokit::Services* s = iokit::services();
    if (!s) {
        errorLine("IOServiceMatching returned NULL.\n");
        return;
    }
    std::unique_ptr<iokit::MatchingDictionary> matching = s->serviceMatching(kServiceClass);
    if (!matching) {
        errorLine("IOServiceMatching returned NULL.\n");
        return;
    }
    gNotifyPort = s->notificationPortCreate();
    gRunLoop = s->runLoopGetCurrent();
    s->addPortToRunLoop(gNotifyPort, gRunLoop, iokit::kDefaultRunLoopMode);
    s->addMatchingNotification(gNotifyPort, iokit::kIOFirstMatchNotification, *matching, &DeviceAdded, nullptr,
                               &gAddedIter);
    DeviceAdded(nullptr, gAddedIter);
    errorLine("Starting run loop.\n\n");
    s->runLoopRun(gRunLoop);
    std::fputs("\n---Unexpectedly back from CFRunLoopRun()!", stdout);
    std::fflush(stdout);
}

void stop_device_notification() {
    if (iokit::Services* s = iokit::services(); s && gRunLoop) s->runLoopStop(gRunLoop);
}

}  // namespace raid
