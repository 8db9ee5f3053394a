// The list of attached controllers: the selected one (`current`), the chips in discovery order,
// their display order (`controller_map`), the device lock held around the warm boot, and the
// outline data of the RAID window. One instance, `j`, lives for the whole program.
//
// Besides the device lock, a list lock keeps the discovery thread's rebuilds apart from the GUI
// thread's reads; take it (`list_lock()`) around any walk of `chips` or `controller_map`.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mac_app/model/controller.h"
#include "mac_app/model/qvchip.h"
#include "mac_app/model/tree.h"

namespace raid {

class qvtool {
public:
    controller_t current;
    std::vector<qvchip> chips;
    tree_model tree;
    std::vector<std::pair<uint64_t, int>> controller_map;
    std::mutex device_lock;
    bool warm_boot_pending = false;

    std::recursive_mutex& list_lock() { return list_mutex_; }

    // Index of the first chip with an equal controller, or -1.
    int get_controller_num(const controller_t& c);
    bool curr_chip_exists();
    bool controller_exists(const controller_t& c);
    void add_controller(const controller_t& c, uint32_t device);
    // (order_key, index) of every chip, ascending by key and then by index.
    void setup_controller_map();
    // Stops the progress of the selected chip, closes every open connection, empties the list.
    void flush_chips();
    // Rebuilds the list from the maker library; false when its device list cannot be read.
    bool scandevices();
    // The devices the maker library lists now, whatever the list holds; -1 when it cannot tell.
    int attached_devices();
    // Warm boot of the controller the window means: the selected one (`current`) when it is in
    // the list, otherwise the first of `chips`. False when there is none or the library refuses.
    bool warm_boot();
    // The chip the window has selected, or null.
    qvchip* selected_chip();

private:
    std::recursive_mutex list_mutex_;
};

extern qvtool j;

// The controller list's rows in display order: the RAID name, " ", and "\n (GUID: HEX)" for a
// FireWire controller or "\n (S/N: serial)" for a USB one.
std::vector<std::string> controller_rows();
// The row for one chip.
std::string controller_row(const qvchip& chip);

}  // namespace raid
