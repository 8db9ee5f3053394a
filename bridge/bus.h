// The bus a bridge sits on, and what depends on it: the 1394 rules of flash identification and
// of the update dispatch, and the label the device list shows. The Windows program reads the bus
// from the device path's text ("sbp2", "scsi", "usbstor"); on Linux the kernel tells it (the
// driver under the node: usb-storage, uas, firewire_sbp2), and the emulator knows it. Whoever
// finds a device carries its bus with it, so no rule looks at a path that does not say.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace vendor {

enum class Bus : uint8_t { Usb, Uas, Ieee1394 };

// How our bridges introduce themselves on each bus before any command: the USB vendor id, and
// the vendor (company id) of the 1394 unit.
constexpr uint16_t kMakerUsbVendorId = 0x728D;
constexpr uint32_t kMakerFireWireVendorId = 0x0030E0;

// A Windows device interface path ("\\?\usbstor#disk&..."): the only kind whose text names its bus.
inline bool isWindowsDevicePath(std::string_view path) { return path.substr(0, 2) == "\\\\"; }

// The bus a Windows device interface path names ("sbp2": 1394, "scsi": UAS, else USB); any other
// path (a Linux node, by-id name, emulated node) does not say, and the answer is empty.
inline std::optional<Bus> busOfPath(std::string_view path) {
    if (!isWindowsDevicePath(path)) return std::nullopt;
    if (path.find("sbp2") != std::string_view::npos) return Bus::Ieee1394;
    if (path.find("scsi") != std::string_view::npos) return Bus::Uas;
    return Bus::Usb;
}

}  // namespace vendor
