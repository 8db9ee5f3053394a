// The direct-command update of the QVR29x bridges, their single-bank relatives (QVR256, QVR296,
// QVR253), the QVD529 and the QVR227: one command writes a stretch of flash and may erase the
// unit in front of it, another reads a stretch back. Also the bank recovery of the single-bank
// families and the macOS QVD529 update thread.
//
// The write and read routines exist once; the Windows and macOS forms differ only in what they
// are handed: the Windows form reports on the window's status line, shares its erase counters
// across the writes of one update and splits the erase of the QVR29x bridges into its own
// command; the macOS form is silent, keeps its counters per call and takes the flash type for
// the MXIC rule as an argument.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "update/update_window.h"

namespace firmware {

// Working values shared by the direct writes of one update.
struct DirectUpdateState {
    uint32_t flashSize = 65536;   // bytes
    uint32_t chunkSize = 8192;
    uint32_t blockSize = 32768;
    uint32_t sectorSize = 4096;
    uint32_t blockCounter = 0;    // erase-as-you-go: blocks already erased from flash address 0
    uint32_t sectorCounter = 0;
    uint8_t defaultEraseMode = 2;
};

// The working values for the selected device: its flash size and erase units, counters at 0.
DirectUpdateState directUpdateStateFor(const SelectedDevice& dev);

bool RunDirectUpdate(UpdateWindow& w, SelectedDevice& dev);
bool UpdateFlashDirect(UpdateWindow& w, SelectedDevice& dev, DirectUpdateState& s);
bool fn_SerialFlashWrite529(UpdateWindow& w, const SelectedDevice& dev, DirectUpdateState& s, uint32_t start,
                            const uint8_t* data, size_t length, uint8_t eraseMode);
bool fn_SerialFlashRead529(UpdateWindow& w, const SelectedDevice& dev, const DirectUpdateState& s, uint32_t start,
                           uint8_t* buffer, size_t length);
bool RecoverFirmwareBank(UpdateWindow& w, SelectedDevice& dev);

// The flash's size in bytes for a macOS thread, measured as the Windows routes measure it, and only
// when `needed` is past what the flash type alone says; a flash whose size is not known counts as
// 64 KiB. An image larger than this would wrap round onto the flash's start.
uint64_t macFlashBytes(uint32_t device, uint32_t flashType, uint64_t needed);

// macOS: 0 on success, -1 on failure; `showResult` as for qvr298_update_func.
int qvd529_update_func(uint32_t device, const std::function<void(bool)>& showResult);
bool QV_UpdateFlash529(uint32_t device, const uint8_t* image, size_t size, uint32_t flashType);
// The macOS forms of the write and read routines (counters per call, no status line).
bool fn_SerialFlashWrite529(uint32_t device, uint32_t start, const uint8_t* data, size_t length, uint8_t eraseMode,
                            uint32_t flashType);
bool fn_SerialFlashRead529(uint32_t device, uint32_t start, uint8_t* buffer, size_t length);

// The least size of the macOS QVD529 bundle image: the kept 256 bytes at 0xC000 must lie inside it.
constexpr size_t kQvd529MacKeptOffset = 0xC000;
constexpr size_t kQvd529MacKeptSize = 256;

}  // namespace firmware
