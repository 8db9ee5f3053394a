#include "discovery/device_table.h"

#include "bridge/IDEAccess.h"
#include "discovery/discovery.h"

namespace vendor {

DeviceListing listBridges(const std::vector<Candidate>& candidates,
                          const std::function<std::string(const std::string&)>& volumesOf) {
    DeviceListing listing;
    listing.candidates = candidates.size();
    // The product text is taken from each successful inquiry and otherwise kept from the
    // previous device, as the list always showed it.
    std::string product;
    for (const Candidate& c : candidates) {
        if (listing.devices.size() >= kDeviceTableSize) {
            listing.tableFull = true;
            break;
        }
        // Cut short, the path could name another device: such a candidate is not spoken to.
        if (c.path.size() > kDevicePathCapacity) {
            ++listing.pathTooLong;
            continue;
        }
        ListedDevice d;
        // The Windows program keeps its interface paths in lower case; a Linux node or by-id name
        // is kept as it is written (the file system tells case apart).
        d.record.path = isWindowsDevicePath(c.path) ? toLowerAscii(c.path) : c.path;
        uint8_t inq[40] = {};
        if (IDEAccess::QV_Inquiry(d.record.path, inq, sizeof inq))
            product.assign(reinterpret_cast<const char*>(inq + 8), 24);
        d.chip = IDEAccess::DetectChipType(d.record.path);
        if (d.chip.type == 0) continue;
        d.product = product;
        if (volumesOf) d.record.driveLetters = volumesOf(c.path);
        const std::optional<Bus> bus = c.bus ? c.bus : busOfPath(d.record.path);
        d.bus = bus.value_or(Bus::Usb);
        d.busKnown = bus.has_value();
        const BusLabel label = busLabel(d.bus);
        d.busLabel = label.label;
        d.rowText = label.rowPrefix + product;
        listing.devices.push_back(std::move(d));
    }
    return listing;
}

}  // namespace vendor
