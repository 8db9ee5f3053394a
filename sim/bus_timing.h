// How long a command takes on the wire, by the bus the enclosure hangs on: a fixed cost per
// command (the command, status and their scheduling) plus its data at the bus's payload rate.
// One row per bus; the emulator advances the clock by this much for every command it answers.
#pragma once
#include <cstdint>

#include "sim/enclosure_config.h"

namespace sim {

struct BusTiming {
    BusKind bus;
    const char* protocol;
    uint32_t commandUs;          // per command, without data
    uint32_t payloadBytesPerUs;  // sustained payload rate (bytes per microsecond = MB/s)
};

const BusTiming& busTiming(BusKind bus);
const BusTiming* busTimings(size_t* count);

// The time one command with `bytes` of data takes on `bus`.
uint64_t commandTransferUs(BusKind bus, uint64_t bytes);

}  // namespace sim
