// Chip identification: which bridge model a device is (type and revision), for both programs.
// One procedure does the work (vendor::detectChip); the Windows and macOS entry points hand it
// their command port and their binding row, which holds everything the two programs do
// differently: their type table, the type numbers the other routes produce, the ODD-string
// column, whether the QVD525 revision failure is shown and whether the QVR294 probe is sent.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

#include "vendor/chip_port.h"
#include "vendor/chip_types.h"

namespace vendor {

struct ChipId {
    uint8_t type = 0;
    uint8_t revision = 0;

    // The window's "current chip type": type in the low byte, revision in the high byte.
    uint16_t packed() const { return static_cast<uint16_t>(type | (revision << 8)); }
    static ChipId fromPacked(uint16_t v) {
        return {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)};
    }
    // The macOS form: type in the low 32 bits, revision in the high 32 bits.
    uint64_t wide() const { return type | (static_cast<uint64_t>(revision) << 32); }
    bool operator==(const ChipId&) const = default;
};

enum class Program : uint8_t { Windows = 0, Mac = 1 };

struct ChipBinding {
    Program program;                         // selects the type column of the ODD-string table
    uint8_t (*typeOfCode)(std::string_view); // first row of this program's table with the code
    uint8_t qvd529Type;         // "q522" in the inquiry and "355" in the chip information
    uint8_t usbIdType;          // chip information with the maker's USB identifiers 728D/5E2A
    uint8_t gpioBase;           // chips without chip information: base + GPIO bits 5-6
    std::array<uint8_t, 7> oddTypes;   // types that ask for the ODD chip string
    uint8_t revisionCheckType;  // QVD525: the revision comes from a 12-byte chip information
    bool revisionFailureShown;  // ... and a failure of it is told in a message box
    uint8_t b4Type;             // QVR227/256: revision 5 when the B4 register test holds
    bool probeQvr294;           // ... unless the QVR294 buffer upload answers first
    uint8_t qvr294Type;
};

extern const ChipBinding kWindowsChipBinding;
extern const ChipBinding kMacChipBinding;

ChipId detectChip(BridgePort& port, const ChipBinding& binding);

// The chip runs its manufacturing code: chip information (16 bytes) with byte 6 = 2, byte 7 = 0.
bool is298RunMfgCode(BridgePort& port);
// The QVR256 B4 silicon: register 0xFDB0 (4 bytes) byte 1 at least 0xB4.
bool check256B4Version(BridgePort& port);

}  // namespace vendor

namespace IDEAccess {

using Path = std::string_view;

// Device discovery's inquiry test (IsBridgeByInquiry) lives with discovery, vendor/discovery.h.
vendor::ChipId DetectChipType(Path path);
bool Is298RunMfgCode(Path path);
bool QV_Check256B4Version(Path path);
// Register 0x505E (4 bytes) reads with byte 1 = 0 and byte 2 = 1.
bool IsRegister505EReady(Path path);

}  // namespace IDEAccess

namespace qvaccess {

using Device = uint32_t;

// Type in the low 32 bits, revision in the high 32 bits.
uint64_t QV_GetChipID_Version(Device dev);
bool Is298RunMfgCode(Device dev);
bool QV_Check256B4Version(Device dev);

}  // namespace qvaccess
