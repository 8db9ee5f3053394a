// Queries about the disk behind a bridge, for the firmware that lives on the disk itself: its
// size from ATA IDENTIFY, the 2 TB test, its last LBA from READ CAPACITY(16) and its logical
// sector size.
#pragma once
#include <cstdint>
#include <string_view>

#include "bridge/port.h"

namespace vendor {

// Sector count from IDENTIFY words 60-61, or words 100-103 when the 28-bit count is saturated.
bool diskCapacitySectors(BridgePort& port, uint64_t* sectors);
// True when IDENTIFY fails, the 28-bit count is not saturated, or byte 204 (low byte of word 102)
// is 0.
bool isLessThan2THDD(BridgePort& port);
// Bytes per logical sector: 2 x words 117-118 when word 106 is 0x5000 or 0x6000, else 512.
uint32_t logicalSectorSize(BridgePort& port);

}  // namespace vendor

namespace IDEAccess {

using Path = std::string_view;

bool GetDiskCapacity(Path path, uint64_t* sectors);
bool IsLessThan2THDD(Path path);
// READ CAPACITY(16) bytes 0-7, big-endian.
bool GetLastLba(Path path, uint64_t* lastLba);
uint32_t GetLogicalSectorSize(Path path);

}  // namespace IDEAccess

namespace qvaccess {

using Device = uint32_t;

bool IsLessThan2THDD(Device dev);

}  // namespace qvaccess
