#include "sim/bus_timing.h"

#include <iterator>

namespace sim {

namespace {

// clang-format off
constexpr BusTiming kBusTimings[] = {
//   bus                protocol                          cmd_us  MB/s
    // Bulk-Only on USB 2.0 high speed: the command block, the data and the status each take
    // their own bulk transfer, and the command and status each wait for a 125 us microframe.
    {BusKind::Usb,      "USB 2.0 high speed, Bulk-Only",  250,    35},
    // UAS on USB 3 SuperSpeed: command and status go as information units on their own pipes,
    // streamed, with no per-transfer handshake of the Bulk-Only kind.
    {BusKind::Uas,      "USB 3 SuperSpeed, UAS",          60,     380},
    // SBP-2 on 1394a at S400: the target fetches the command block from host memory and writes
    // its status block back.
    {BusKind::Ieee1394, "1394a S400, SBP-2",              150,    38},
};
// clang-format on

}  // namespace

const BusTiming* busTimings(size_t* count) {
    if (count) *count = std::size(kBusTimings);
    return kBusTimings;
}

const BusTiming& busTiming(BusKind bus) {
    for (const BusTiming& t : kBusTimings)
        if (t.bus == bus) return t;
    return kBusTimings[0];
}

uint64_t commandTransferUs(BusKind bus, uint64_t bytes) {
    const BusTiming& t = busTiming(bus);
    return t.commandUs + (bytes + t.payloadBytesPerUs - 1) / t.payloadBytesPerUs;
}

}  // namespace sim
