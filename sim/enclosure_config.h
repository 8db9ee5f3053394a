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
    bool sharedState = false;             // persist=shared: several processes reach the one enclosure
    uint32_t resetDelayMs = 3000;         // resetms=: time off the bus after a reset
    uint64_t diskSectors = 1953525168;    // disk=: sectors of the disk behind the bridge (1 TB)
    uint32_t diskSectorSize = 512;        // sector=: logical sector size
    uint32_t chipInfoLength = 0;          // infolen=: bytes of the chip information record (0: 16)
    uint8_t statusByte17 = 0;             // status17=: chip status record byte 17 (1: the disk area counts from R)
    std::string diskMountedOn;            // inuse=: the host has a partition of the disk mounted there
    // Faults (see faults.h).
    uint64_t failAt = 0, failEvery = 0, shortAt = 0, flipEvery = 0, powerCutAt = 0, dropAt = 0;
    int failOpcode = -1;
    uint32_t notReady = 0;
    bool stuckBusy = false, noReturn = false, twins = false;
    uint64_t powerCutMs = 0;              // powercutms=: power lost this long after power-on
    // The flash: gentle=1 as kind as the first emulator; times=worst its datasheet maximum times.
    bool gentle = false, worstTimes = false;
    bool responseByCount = false;         // reply8=1: FF 04 21 answers with the count in its byte 8
    uint64_t seed = 1;
    uint64_t loseStatusAt = 0, hangAt = 0, statusFailEvery = 0;   // lost=, hang=, statusfail=
    uint32_t notReadyMs = 0, resetJitterMs = 0;                   // notreadyms=, resetjitter=
    bool renode = false;                                          // renode=
    // Identities as they are in the field.
    std::optional<std::string> usbSerial;   // serial=: the USB serial number; "" for serial=none
    // romid=: what the ROM loader and manufacturing code answer in place of the persona's USB
    // identifiers; romIdNone: they answer without the chip information record.
    std::optional<std::pair<uint16_t, uint16_t>> romIds;
    bool romIdNone = false;
    // usbid=: the USB identifiers the host sees on the device, in place of the chip's own: another
    // maker's enclosure or disk, which discovery must leave alone.
    std::optional<std::pair<uint16_t, uint16_t>> hostUsbIds;
    // Host realities.
    bool outResidue = true;         // outresidue=: data-out bytes the command does not take are a residue
    uint32_t transferLimitKiB = 0;  // xferlimit=: the host's largest transfer (0: no limit of its own)
    bool diskInUse = false;         // inuse=: the host has the disk's file system mounted
    bool writeCache = false;        // writecache=: disk writes wait in a cache a flush empties
    // clock=real: the emulator's clock follows real time (for every enclosure of the session).
    bool realClock = false;
};

bool parseEnclosureConfig(std::string_view text, EnclosureConfig& out, std::string& error);

// The help text of `q55x sim --help`.
std::string simHelpText();

}  // namespace sim
