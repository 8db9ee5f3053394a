// The text that describes one virtual enclosure, as the three programs take it after --sim:
//
//   ENCLOSURE = MODEL[,key=value]...
//
// and its parsed form. Parsing never throws: it returns false with a one-line reason that lists
// the valid models or keys.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class BusKind : uint8_t { Usb, Uas, Ieee1394 };
const char* busName(BusKind b);

struct EnclosureConfig {
    std::string model;                    // a chip persona name, lower case
    std::optional<std::vector<uint8_t>> firmware;   // fw=: version numbers of the firmware in flash
    std::string flash;                    // flash=: part key (0x9F reply in hex); empty: the model's own
    bool noFlash = false;                 // flash=none
    std::optional<int> revision;          // rev=
    BusKind bus = BusKind::Usb;
    std::string stateFile;                // state=
    bool persistEach = false;             // persist=each: the state file is written after every change
    uint32_t resetDelayMs = 3000;         // resetms=: time off the bus after a reset
    uint64_t diskSectors = 1953525168;    // disk=: sectors of the disk behind the bridge (1 TB)
    uint32_t diskSectorSize = 512;        // sector=: logical sector size
    uint32_t chipInfoLength = 0;          // infolen=: bytes of the chip information record (0: 16)
    std::string diskMountedOn;            // inuse=: the host has a partition of the disk mounted there
    // Faults (see faults.h).
    uint64_t failAt = 0, failEvery = 0, shortAt = 0, flipEvery = 0, powerCutAt = 0, dropAt = 0;
    int failOpcode = -1;
    uint32_t notReady = 0;
    bool stuckBusy = false, noReturn = false, twins = false;
    uint64_t seed = 1;
    // clock=real: the emulator's clock follows real time (for every enclosure of the session).
    bool realClock = false;
};

bool parseEnclosureConfig(std::string_view text, EnclosureConfig& out, std::string& error);

// The help text of `q55x sim --help`.
std::string simHelpText();

}  // namespace sim
