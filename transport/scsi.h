// The four transport operations. Each opens the device path, issues one command, closes the
// device and frees its areas; no handle outlives a command. They return true (1) on success.
//
//   ScsiDataIn        data from the device or none; shared open; 10 s
//   ScsiDataOut       data to the device or none; exclusive open; 100 s for the flash chip erase
//                     (CDB byte 2 = 0x13) and the NVRAM write in mode 3 (byte 11 = 0xFB, byte 1 = 3),
//                     50 s otherwise
//   ScsiDataInSense   data from the device into the caller's buffer; exclusive; 10 s; sense copied
//   ScsiDataOutSense  data to the device from the caller's buffer; exclusive; 10 s; sense copied
//
// A one-byte data phase always travels as two bytes: the caller receives the first byte, or
// sends its byte followed by 0. `reported` receives the transfer length the platform reports
// (untouched when the device cannot be opened; for ScsiDataOutSense only on success).
#pragma once
#include <cstdint>
#include <string_view>

#include "transport/backend.h"
#include "transport/cdb.h"

namespace transport {

constexpr uint32_t kTimeoutInSec = 10;
constexpr uint32_t kTimeoutOutSec = 50;
constexpr uint32_t kTimeoutLongOutSec = 100;
constexpr uint32_t kTimeoutSenseSec = 10;
// Our own bound on one data phase; the largest transfer of any procedure is 64 KiB.
constexpr int kMaxTransfer = 16 * 1024 * 1024;

bool ScsiDataIn(std::string_view path, const Cdb& cdb, uint8_t* buf, int len, int* reported);
bool ScsiDataOut(std::string_view path, const Cdb& cdb, const uint8_t* buf, int len, int* reported);
// sense may be null; senseCount bytes (at most 32) are copied out whether the command succeeded
// or not.
bool ScsiDataInSense(std::string_view path, const Cdb& cdb, uint8_t* buf, int len, int* reported,
                     uint8_t* sense, int senseCount);
bool ScsiDataOutSense(std::string_view path, const Cdb& cdb, const uint8_t* buf, int len,
                      int* reported, uint8_t* sense, int senseCount);

// What the backend answered to this thread's last command (status, sense), for diagnostics.
const Result& lastResult();

// The time-out ScsiDataOut gives a CDB.
uint32_t dataOutTimeout(const Cdb& cdb);

}  // namespace transport
