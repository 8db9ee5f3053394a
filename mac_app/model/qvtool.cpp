#include "mac_app/model/qvtool.h"

#include <algorithm>

#include "transport/maclib/qvlib.h"

namespace raid {

qvtool j;

int qvtool::get_controller_num(const controller_t& c) {
    std::lock_guard<std::recursive_mutex> lock(list_mutex_);
    for (size_t i = 0; i < chips.size(); ++i)
        if (chips[i].controller == c) return static_cast<int>(i);
    return -1;
}

bool qvtool::curr_chip_exists() { return controller_exists(current); }

bool qvtool::controller_exists(const controller_t& c) { return get_controller_num(c) >= 0; }

void qvtool::add_controller(const controller_t& c, uint32_t device) {
    std::lock_guard<std::recursive_mutex> lock(list_mutex_);
    chips.emplace_back(device, c);
}

void qvtool::setup_controller_map() {
    std::lock_guard<std::recursive_mutex> lock(list_mutex_);
    controller_map.clear();
    for (size_t i = 0; i < chips.size(); ++i) controller_map.emplace_back(chips[i].controller.order_key, static_cast<int>(i));
    std::sort(controller_map.begin(), controller_map.end());
}

void qvtool::flush_chips() {
    std::lock_guard<std::recursive_mutex> lock(list_mutex_);
    for (qvchip& chip : chips) {
        if (qvchip* selected = selected_chip()) selected->stop_polling();
        if (chip.connection_open) closeConnection(chip.device);
    }
    chips.clear();
    controller_map.clear();
}

qvchip* qvtool::selected_chip() {
    std::lock_guard<std::recursive_mutex> lock(list_mutex_);
    const int n = get_controller_num(current);
    return n >= 0 ? &chips[static_cast<size_t>(n)] : nullptr;
}

bool qvtool::warm_boot() {
    std::lock_guard<std::recursive_mutex> lock(list_mutex_);
    qvchip* chip = selected_chip();
    if (!chip && !chips.empty()) chip = &chips.front();
    if (!chip) return false;
    return chip->warm_boot();
}

std::string controller_row(const qvchip& chip) {
    std::string row = chip.get_raid_name() + " ";
    if (chip.controller.is_firewire)
        row += "\n (GUID: " + inttohexstring(static_cast<int64_t>(chip.controller.guid), 0) + ")";
    else
        row += "\n (S/N: " + chip.controller.serial_text + ")";
    return row;
}

std::vector<std::string> controller_rows() {
    std::lock_guard<std::recursive_mutex> lock(j.list_lock());
    std::vector<std::string> rows;
    for (const auto& [key, index] : j.controller_map)
        if (index >= 0 && static_cast<size_t>(index) < j.chips.size())
            rows.push_back(controller_row(j.chips[static_cast<size_t>(index)]));
    return rows;
}

}  // namespace raid
