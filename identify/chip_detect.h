// Chip identification: which bridge model a device is (type and revision), for both programs.
// One procedure does the work (vendor::detectChip) over the chip table's rows; the Windows and
// macOS entry points hand it their command port and their binding row: which program's numbers
// it answers in, whether the QVD525 revision failure is shown and whether the QVR294 probe is
// sent.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

#include "bridge/port.h"
#include "identify/chip_table.h"

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

// What the two programs' identification does differently beyond their numbering (which the chip
// table gives side by side).
struct ChipBinding {
    Program program;            // selects the number each row gives
    bool revisionFailureShown;  // QVD525: a failed revision read is told in a message box
    bool probeQvr294;           // QVR227/256: the QVR294 buffer upload is tried first
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

// Device discovery's inquiry test (IsBridgeByInquiry) lives with discovery, discovery/discovery.h.
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
