// One attached controller: its maker-library device object, its identity, whether a connection
// was opened for it, its chip identification and the firmware update thread started for it.
#pragma once
#include <cstdint>
#include <string>
#include <thread>

#include "mac_app/model/controller.h"

namespace raid {

class qvchip {
public:
    qvchip(uint32_t dev, const controller_t& c) : device(dev), controller(c) {}
    ~qvchip();
    qvchip(const qvchip&) = delete;
    qvchip& operator=(const qvchip&) = delete;
    qvchip(qvchip&&) noexcept = default;
    qvchip& operator=(qvchip&&) noexcept = default;

    uint32_t device = 0;
    controller_t controller;
    bool connection_open = false;
    uint64_t chip_id = 0;     // chip type in the low 32 bits, revision in the high 32 bits
    std::thread update_thread;

    uint32_t chip_type() const { return static_cast<uint32_t>(chip_id & 0xFFFFFFFFu); }

    // Restarts the controller through the maker library; true when the library accepted it.
    bool warm_boot();
    // Stops the window's progress bar; always true.
    bool stop_polling();
    // The registry name three first children below the device object; empty when the walk fails.
    std::string get_raid_name() const;

    // Start the family's update thread; 0 when it was started. While one runs (for any chip),
    // none starts: -1.
    int QVR298FirmwareUpdate();
    int QVD528FirmwareUpdate();
    int QVD529FirmwareUpdate();
};

// An update thread runs: from its start until it has reported and ended.
bool update_thread_running();
// Called by discovery for an arrival or a departure: while an update thread runs, the rebuild of
// the list (which closes every connection and identifies every chip) is held back and true is
// returned; the held handling (a departure's, then an arrival's) runs once, on that thread, when
// the update has ended.
bool hold_rescan_while_updating(bool departure);

}  // namespace raid
