// The identity of one attached controller, and the small text helpers the windows use to show one.
#pragma once
#include <cstdint>
#include <string>

namespace raid {

struct controller_t {
    uint64_t order_key = 0;      // sort key of the controller list: the FireWire GUID
    bool is_firewire = false;
    uint32_t vendor_id = 0;      // USB idVendor
    uint32_t product_id = 0;     // USB idProduct
    std::string serial_text;
    uint64_t usb_key = 0;        // extra identity value of a USB controller
    uint64_t guid = 0;           // FireWire GUID

    controller_t() = default;
    controller_t(const controller_t&) = default;
    controller_t& operator=(const controller_t& other);

    // FireWire controllers are told apart by their GUID; USB ones by vendor, product and usb_key.
    bool operator==(const controller_t& other) const;
    bool operator!=(const controller_t& other) const { return !(*this == other); }

    // Forgets the controller. vendor_id and usb_key are not touched: a cleared identity is told
    // from a real one by the transport flag and the keys that are reset here.
    void clear();
};

// Upper-case hexadecimal digits of `value` without prefix, padded on the left with "0" up to
// `width` characters. Values of 0 and below give no digits.
std::string inttohexstring(int64_t value, int width);

}  // namespace raid
