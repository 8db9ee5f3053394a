#include "sim/enclosure.h"

#include <algorithm>

#include "sys/clock.h"

// Power lost at an instant of the clock: between commands, inside one, or while the flash is busy
// with the program or erase a command left it.
namespace sim {

bool Enclosure::cutPowerIfDue() {
    const uint64_t at = faults_.powerCutAtUs();
    if (poweredOff_ || at == 0 || sys::nowUs() < at) return false;
    losePower(at);
    return true;
}

void Enclosure::losePower(uint64_t us) {
    poweredOff_ = true;
    if (flash_) {
        flash_->clearWriteLimit();
        flash_->cutPowerAt(us);
    }
    std::fill(ram_.begin(), ram_.end(), 0);
    std::fill(chipBuffer_.begin(), chipBuffer_.end(), 0);
    pendingSpi_.reset();
    disk_.loseCache();
}

}  // namespace sim
