// Serial flash identification: the flash's maker (which sets the SPI opcodes and the erase
// units), its capacity, the AMIC and ATMEL model checks, and, on Windows, the choice among them
// by chip type. The probing procedure is written once over the command port; the variant row
// (FlashVariant) says how a probe is sent and which maker rules apply.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/bus.h"
#include "bridge/cdb.h"
#include "bridge/port.h"
#include "identify/chip_table.h"
#include "identify/flash_types.h"

namespace vendor {

// The maker of the flash from the identification probes; false when nothing matched (the record
// is then unchanged). A flash that does not answer the first 0x9F probe is "Unknown" (type 0) and
// that is success: the erase procedures then use the type-0 erase units.
bool detectFlashVendor(BridgePort& port, FlashVariant variant, _VenderCmdPara& record);

struct JedecReply {
    bool ok = false;                  // the 0x9F probe succeeded
    std::array<uint8_t, 4> id{};
};

// Fills record.capacityKiB (64 unless a rule knows better); runs detectFlashVendor first when the
// record's type is 0. Returns the 0x9F reply it read.
JedecReply detectFlashCapacity(BridgePort& port, FlashVariant variant, _VenderCmdPara& record);

// Whether a QVR29x bridge takes its firmware through the RAM buffer decides whether the window
// tells the bridge about the flash (MXIC parameters, the SST25 flag): a bridge that programs
// its flash itself needs neither. The window knows it from its "Read/Write Buffer" option, a
// command-line caller may know it already; otherwise DetectFlash asks the bridge for its buffer
// descriptor (READ BUFFER mode 3, 4 bytes) and takes an answer as yes.
enum class RamBufferPath : uint8_t { Probe, Yes, No };

struct FlashProbeOptions {
    RamBufferPath ramBuffer = RamBufferPath::Probe;
    // The bus as discovery found it; empty: judged from the path's text. A QVD525 on 1394 reports
    // its flash itself; on USB it is probed for AMIC and ATMEL parts.
    std::optional<Bus> bus;
};

// What the window keeps about the flash of the selected device.
struct FlashFacts {
    bool shown = false;          // the chip type has a flash field at all
    FlashType type = kFlashUnknown;
    std::string name;            // the flash field's text: the type's name, or "AMIC" / "ATMEL"
    uint32_t capacityKiB = kDefaultCapacityKiB;
    uint32_t blockSize = tbl_FlashBlockSize[kFlashUnknown];
    uint32_t sectorSize = tbl_FlashSectorSize[kFlashUnknown];
    int amicModel = -1;
    int atmelModel = -1;
    bool sst25 = false;          // SST25 part: programmed by UpdateFlashSst
    JedecReply jedec;            // the last 0x9F reply read, when one was
    _VenderCmdPara para;         // opcodes, type and capacity as the update procedures take them
    bool ramBuffer = false;      // QVR29x: firmware goes through the RAM buffer
    bool flashParameterSent = false;   // QV_SerialFlashSetPara256 was sent (and succeeded)
};

}  // namespace vendor

namespace IDEAccess {

using Path = std::string_view;
using vendor::_VenderCmdPara;

bool DetectFlashVendor(Path path, _VenderCmdPara& record,
                       vendor::FlashVariant variant = vendor::FlashVariant::WinChkId);
// Always true: a flash whose size is not known counts as 64 KiB.
bool DetectFlashCapacity(Path path, _VenderCmdPara& record,
                         vendor::FlashVariant variant = vendor::FlashVariant::WinChkId);
// AMIC model from the 0x9F reply 7F 37 20 xx: 1, 3, 4 or 5; -1 for any other reply or a failure.
int AmicModel(Path path);
// ATMEL model from the 0x9F reply 1F xx: 1 for 65, 2 for 66, 0 otherwise; -1 for another maker
// or a failure.
int QV_ATMEL_FlashChk(Path path);

vendor::FlashFacts DetectFlash(Path path, vendor::ChipType chipType, uint8_t revision,
                               const vendor::FlashProbeOptions& options = {});

}  // namespace IDEAccess

namespace qvaccess {

using Device = uint32_t;

// The macOS ChkID identification, run by the update procedures when the chip reports type 0.
bool fn_SerialFalshType(Device dev, vendor::_VenderCmdPara& record);
// The flash type the macOS update threads work with: the chip's own report, or where it reports
// none, what fn_SerialFalshType finds.
uint32_t FlashTypeForUpdate(Device dev);

}  // namespace qvaccess
