// The flash operations the update procedures are written in: wait for the flash status, enable
// writing with the status unprotect, and (Windows) program or erase the flash by raw SPI cycles
// for the parts the bridge's own program command does not serve.
//
// Each wait is written once; the two programs differ only by their row of FlashWaits (interval,
// number of re-reads, whether a re-read comes before or after its pause) and by the wrapper set
// that reads the status (one byte on Windows, four on macOS). Every pause goes through
// sys::sleepMs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bridge/port.h"
#include "identify/flash_types.h"

namespace vendor {

// Flash status register bits the waits look at.
constexpr uint8_t kFlashStatusBusy = 0x01;
constexpr uint8_t kFlashStatusWriteLatch = 0x02;
// Write latch and the lowest protection bit: both read clear once a status write has finished.
constexpr uint8_t kFlashStatusAfterStatusWrite = 0x06;

enum class PollOrder : uint8_t {
    WaitThenRead,   // pause, then re-read
    ReadThenWait,   // re-read at once, pause after a re-read that did not satisfy
};

// One wait: the status is read once; when that does not satisfy, it is re-read up to `rereads`
// times, `intervalMs` apart. The wait is satisfied when the first read or one of the re-reads
// satisfies it.
struct PollRule {
    unsigned intervalMs;
    unsigned rereads;
    PollOrder order;
};

struct FlashWaits {
    PollRule ready;         // busy bit clear
    PollRule writeLatch;    // any bit of the caller's mask set
    PollRule statusClear;   // bits 1 and 2 clear after a status write
};

constexpr FlashWaits kWindowsFlashWaits{
    {10, 500, PollOrder::WaitThenRead},
    {10, 300, PollOrder::WaitThenRead},
    {10, 300, PollOrder::WaitThenRead},
};
constexpr FlashWaits kMacFlashWaits{
    {10, 500, PollOrder::ReadThenWait},
    {1, 300, PollOrder::WaitThenRead},
    {10, 300, PollOrder::WaitThenRead},
};

// Raw SPI programming (Windows).
constexpr size_t kSpiChunkSize = 8192;          // bytes handed to one chunk, busy wait before it
constexpr unsigned kSpiPaceMs = 10;             // the pause that paces the bridge between cycles
constexpr uint32_t kSstWordAddressEvery = 16384;   // SST25 word programming restates its address here
constexpr uint32_t kSpiAddressSpace = 0x1000000;   // 24-bit flash addresses

enum class SpiProgramStyle : uint8_t {
    Page,      // write enable, 02 with address, the page as one data phase
    SstWord,   // SST25 auto-increment by words (AD)
    SstByte,   // older SST auto-increment by bytes (AF)
};

struct SpiProgramMethod {
    SpiProgramStyle style;
    size_t pageSize;
};

// MXIC parts take 32-byte pages, SST parts are fed 512 bytes per unlock, all others 256.
SpiProgramMethod spiProgramMethod(FlashType flashType, bool sst25);

// The waits and the write enable over a device's port, by its program's row of FlashWaits. A
// status command that fails satisfies no wait: it neither ends one nor counts as ready, so only
// a status the flash gave, or the limit, ends a wait.
bool waitFlashReady(BridgePort& port);
bool waitFlashWriteLatch(BridgePort& port, uint8_t mask = kFlashStatusWriteLatch);
bool waitFlashStatusClear(BridgePort& port);
// Write enable, wait for the latch, status write of 00 (clears the protection bits), wait for
// bits 1 and 2 to clear. All four steps always run, in this order; true only when all four
// succeeded.
bool writeEnableAndUnprotect(BridgePort& port);
// Raw SPI programming and the SST chip erase (the Windows program's; see ProgramFlashBySpi).
bool programFlashBySpi(BridgePort& port, uint32_t address, const uint8_t* data, size_t length, FlashType flashType,
                       bool sst25);
bool sstChipErase(BridgePort& port);
// The SST unlock: 50, status write of 00 00, write enable, with the SPI pace between.
void sstUnlock(BridgePort& port);

}  // namespace vendor

namespace IDEAccess {

using Path = std::string_view;

// The Windows waits (kWindowsFlashWaits). A status command that fails satisfies no wait.
bool WaitFlashReady(Path path);
bool WaitFlashWriteEnabled(Path path, uint8_t mask = vendor::kFlashStatusWriteLatch);
bool WaitFlashStatusClear(Path path);

// Write enable, wait for the latch, status write of 00 (clears the protection bits), wait for
// bits 1 and 2 to clear. All four steps always run, in this order; true only when all four
// succeeded.
bool QV_SFWriteEnable(Path path);

// Programs `length` bytes at `address` by raw SPI cycles, in chunks of at most 8192 bytes, the
// method chosen by spiProgramMethod. Only whole pages are written: a trailing part of the last
// chunk shorter than a page stays unwritten. False for length 0, a range beyond the 24-bit
// address space, or the first chunk that fails (the SST25 part still gets its write disable).
bool ProgramFlashBySpi(Path path, uint32_t address, const uint8_t* data, size_t length,
                       vendor::FlashType flashType, bool sst25);

// SST chip erase by raw SPI cycles: unlock, C7, write disable. True when the erase cycle was
// taken; the caller waits for ready afterwards.
bool SstChipErase(Path path);

}  // namespace IDEAccess

namespace qvaccess {

using Device = uint32_t;

// The macOS waits (kMacFlashWaits), with the same rules as the Windows ones.
bool fn_WAIT_DEVICE_READY(Device dev);
bool fn_WAIT_DEVICE_READY_ATM(Device dev, uint8_t mask);
bool fn_CHECK_DEVICE_ZERO_AMC(Device dev);

// As IDEAccess::QV_SFWriteEnable.
bool QV_SFWriteEnable(Device dev);

}  // namespace qvaccess
