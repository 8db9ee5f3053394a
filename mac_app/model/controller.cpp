#include "mac_app/model/controller.h"

namespace raid {

controller_t& controller_t::operator=(const controller_t& other) {
    if (this == &other) return *this;
    order_key = other.order_key;
    is_firewire = other.is_firewire;
    vendor_id = other.vendor_id;
    product_id = other.product_id;
    serial_text = other.serial_text;
    usb_key = other.usb_key;
    guid = other.guid;
    return *this;
}

bool controller_t::operator==(const controller_t& other) const {
    if (is_firewire != other.is_firewire) return false;
    if (is_firewire) return guid == other.guid;
    return vendor_id == other.vendor_id && product_id == other.product_id && usb_key == other.usb_key;
}

void controller_t::clear() {
    is_firewire = false;
    product_id = 0;
    serial_text.clear();
    guid = 0;
    order_key = 0;
}

std::string inttohexstring(int64_t value, int width) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string digits;
    while (value > 0) {
        digits.insert(digits.begin(), kDigits[value & 0xF]);
        value >>= 4;
    }
    if (width > 0 && digits.size() < static_cast<size_t>(width))
        digits.insert(digits.begin(), static_cast<size_t>(width) - digits.size(), '0');
    return digits;
}

}  // namespace raid
