#include "mac_app/model/qvchip.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

#include "update/buffer_update.h"
#include "update/direct_update.h"
#include "update/failure_cause.h"
#include "update/update_details.h"
#include "bridge/qvaccess.h"
#include "update/run_dispatch.h"
#include "update/update_window.h"
#include "mac_app/model/discovery.h"
#include "mac_app/registry/iokit.h"
#include "mac_app/model/qvtool.h"
#include "mac_app/model/window.h"
#include "sys/debug.h"
#include "transport/maclib/qvlib.h"

namespace raid {

namespace {

using UpdateFunc = int (*)(uint32_t, const std::function<void(bool)>&);

// Whether an update thread runs, and whether discovery held a rescan back meanwhile.
std::mutex gUpdateMutex;
bool gUpdateRunning = false;
bool gArrivalHeld = false;
bool gDepartureHeld = false;

// The end of an update thread: the rescan discovery held back runs now, on this thread.
void endUpdate() {
    window().holdSystemAwake(false);
    bool arrival, departure;
    {
        std::lock_guard<std::mutex> lock(gUpdateMutex);
        gUpdateRunning = false;
        arrival = std::exchange(gArrivalHeld, false);
        departure = std::exchange(gDepartureHeld, false);
    }
    if (departure) DeviceRemoved(nullptr, 0, iokit::kIOMessageServiceIsTerminated, nullptr);
    if (arrival) DeviceAdded(nullptr, 0);
}

// Runs the family's update on a thread of its own. The window hears the result exactly once:
// an update function that ends without telling it (its image missing, say) counts as failed.
// A second update never starts while one runs: two threads would write the same flash.
// The firmware version the chip reports, for the details; empty when it cannot be read.
std::string versionOf(uint32_t device) {
    uint8_t info[16] = {};
    return qvaccess::QV_GetChipInfo(device, info, sizeof info) ? firmware::versionOfChipInfo(info, sizeof info)
                                                               : std::string();
}

int startUpdateThread(std::thread& handle, UpdateFunc func, uint32_t device, const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(gUpdateMutex);
        if (gUpdateRunning) return -1;
        gUpdateRunning = true;
    }
    window().holdSystemAwake(true);
    firmware::UpdateDetails details;
    details.device = name;
    details.device.erase(std::remove(details.device.begin(), details.device.end(), '\n'), details.device.end());
    details.firmwareBefore = versionOf(device);
    if (handle.joinable()) handle.detach();
    try {
        handle = std::thread([func, device, details]() mutable {
            auto told = std::make_shared<std::atomic<bool>>(false);
            firmware::FailureWatch watch;
            const std::function<void(bool)> showResult = [told, &watch, &details, device](bool ok) {
                if (told->exchange(true)) return;
                details.take(watch, ok);
                details.firmwareAfter = versionOf(device);   // a bridge that restarts cannot tell yet
                window().showDetails(details.text());
                if (ok) {
                    window().showSuccessfulWindow();
                } else {
                    // The wizard keeps its words; standard error says why.
                    sys::debugOut("update_func: update failed: " + watch.cause().line() + "\n");
                    window().showFailureWindow();
                }
            };
            func(device, showResult);
            if (!told->load()) showResult(false);
            endUpdate();
        });
    } catch (const std::system_error&) {
        window().holdSystemAwake(false);
        std::lock_guard<std::mutex> lock(gUpdateMutex);
        gUpdateRunning = false;
        return -1;
    }
    return 0;
}

}  // namespace

bool update_thread_running() {
    std::lock_guard<std::mutex> lock(gUpdateMutex);
    return gUpdateRunning;
}

bool hold_rescan_while_updating(bool departure) {
    std::lock_guard<std::mutex> lock(gUpdateMutex);
    if (gUpdateRunning) (departure ? gDepartureHeld : gArrivalHeld) = true;
    return gUpdateRunning;
}

qvchip::~qvchip() {
    // The update thread reports to the window by itself; a rescan does not wait for it.
    if (update_thread.joinable()) update_thread.detach();
}

bool qvchip::stop_polling() {
    window().stopprogressbar();
    return true;
}

bool qvchip::warm_boot() {
    window().stopprogressbar();
    j.warm_boot_pending = true;
    connection_open = false;   // the library drops the connection with the restart
    int result;
    {
        std::lock_guard<std::mutex> lock(j.device_lock);
        result = qvWarmBoot(device);
    }
    return result == 0;
}

std::string qvchip::get_raid_name() const {
    iokit::Services* s = iokit::services();
    if (!s) return {};
    iokit::io_registry_entry_t entry = device;
    for (int step = 0; step < 3; ++step) {
        iokit::io_registry_entry_t child = iokit::IO_OBJECT_NULL;
        if (s->registryEntryGetChildEntry(entry, iokit::kIOServicePlane, &child) != iokit::KERN_SUCCESS)
            return {};
        entry = child;
    }
    std::string name;
    if (s->registryEntryGetName(entry, name) != iokit::KERN_SUCCESS) return {};
    return name;
}

int qvchip::QVR298FirmwareUpdate() {
    firmware::macPrint("Create qvr29x updating thread.");
    return startUpdateThread(update_thread, &firmware::qvr298_update_func, device, controller_row(*this));
}

int qvchip::QVD528FirmwareUpdate() {
    firmware::macPrint("Create updating thread.");
    return startUpdateThread(update_thread, &firmware::qvd528_update_func, device, controller_row(*this));
}

int qvchip::QVD529FirmwareUpdate() {
    firmware::macPrint("Create qvd529 updating thread.");
    return startUpdateThread(update_thread, &firmware::qvd529_update_func, device, controller_row(*this));
}

}  // namespace raid
