// The chip table: everything we know about each bridge chip model, one row per model, with the
// Windows number (ChipType, the row's index) and the macOS number (QVChipType) side by side.
// Identification, the window's fields, the firmware file checks, the choice of update procedure,
// the flash read path and the reset after an update all read their answer from the row; no code
// outside this table asks for a chip type by its number. Adding a chip type is adding a row
// (docs/adding-a-chip.md).
//
// The emulator's personas (sim/chip_personas.cpp) are a table of their own: they model the
// hardware, this table models our knowledge of it. A test holds the two against each other.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "bridge/program.h"

namespace vendor {

using ChipType = uint8_t;     // Windows, 0 to 35
using QVChipType = uint8_t;   // macOS, 0 to 27

constexpr int kChipTypeCount = 36;
constexpr int kQVChipTypeCount = 28;
constexpr QVChipType kNoMacType = 0xFF;   // a model the macOS program has no number for

// What the window shows for a model (flash and version fields, status text).
enum class ChipSupport : uint8_t {
    Unsupported,       // "The chip not support Firmware Update!", both fields hidden
    FlashAndVersion,   // flash type and firmware version shown
    VersionOnly,       // firmware version only
    ByChipStatus,      // decided by the chip's status record (ChipStatusSupport)
};

// How the flash behind a model is identified (DetectFlash).
enum class FlashRoute : uint8_t {
    None,                        // no flash shown
    ModelChecks,                 // AMIC check, ATMEL check, the chip's report, then ChkID probing
    ChipReport,                  // the chip's own report only
    ChipReportOnSbp2,            // the chip's report on a 1394 path, model checks otherwise
    ChipReportThenChkIdFromRev5, // the chip's report; probing over ChkID from revision 5 on
    ChipReportThenChkId,         // the chip's report; probing and capacity over ChkID
    ChipReportThenReadId,        // the chip's report; probing and capacity over ReadID
};
// The routes that measure the flash's capacity; on the others it stays at its default.
constexpr bool measuresCapacity(FlashRoute r) {
    return r == FlashRoute::ChipReportThenChkId || r == FlashRoute::ChipReportThenReadId;
}

// How the firmware version text is laid out (FormatFirmwareVersion).
enum class VersionForm : uint8_t {
    Default,            // "%d.%.2d" of C6 C7, or "%d.%.2d.%.2d" of C12-C14 for a full reply
    MajorMinorAndThree, // "%d.%.2d.%.2d.%.2d.%.2d" of C6 C7 C12 C13 C14
    Register506A,       // as above, C14 bit 0 flipped when the 506A probe holds
    FiveDigits,         // "%.2d.%.2d.%.2d.%.2d.%.2d" of C10-C14
    FourCharsIfAlt,     // C12-C15 as characters when the alternative information answers
    FourCharsIfC6Is2,   // C12-C15 as characters when C6 is 2
};

// The chip field's text: the display name, or for the QVR290/293/296/299 family the name its
// status record and its alternative chip information give.
enum class ChipLabelRule : uint8_t { DisplayName, ByStatusAndAltInfo };

// --- identification --------------------------------------------------------------------------

// How an ODD chip string sets the revision from its byte 5 (byte arithmetic, as the chips
// count: '0' gives 1).
enum class OddRevision : uint8_t { FromDigit, Kept, NextByte, FromDigitOrOne };

struct OddString {
    std::string_view text;        // compared over its own length; empty: none
    OddRevision revision = OddRevision::Kept;
    uint8_t revisionUnanswered = 0;   // the revision when the ODD inquiry is refused (0: kept)
};

// A check after the code is known.
enum class Refine : uint8_t {
    None,
    Qvd525Revision,   // the revision from a 12-byte chip information record
    Qvr227,           // Windows: a chip that answers the QVR294 upload is the QVR294; else the
                      // B4 register test gives revision 5
};

struct Identity {
    std::string_view inquiryAlias;   // a second code in the vendor inquiry ("522")
    std::string_view infoAlias;      // a second code in the chip information record ("355")
    bool byUsbIds = false;           // the maker's USB identifiers 728D/5E2A in the record
    int8_t gpio = -1;                // no chip information: GPIO bits 5-6 equal this (0-3)
    OddString odd;
    Refine refine = Refine::None;
};

// --- the internal-code test (RunsExternalCode) ------------------------------------------------

enum class CodeTest : uint8_t {
    Assumed,          // the chip runs its flash code
    GateAndSignature, // a register bit, the internal code's versions, then a signature block
    Qvr296,           // status byte 19, the alternative information, then the version text
    ChipStatus19,     // status byte 19 set
};

enum class SignatureIn : uint8_t { Register, Nvram, Flash };

struct CodeGate {
    uint16_t gateRegister;   // 4 bytes read; the chip runs flash code only with this bit set
    uint8_t gateByte;
    uint8_t gateMask;
    std::array<std::string_view, 5> internalVersions;   // versions of the internal code itself
    SignatureIn where;
    uint32_t address;
    uint16_t readLen;
    uint16_t offset;         // of the signature inside what is read
    const uint8_t* mark;
    std::array<std::string_view, 2> codes;
    bool statusFirst;        // flash type and chip status may decide before the signature
};

// --- firmware files ----------------------------------------------------------------------------

// Where a chip's firmware file keeps its signature block.
struct SignatureLocation {
    uint32_t offset = 0;
    bool twoBytesRequired = false;   // only 55 AA must be there (and is required)
};

// What the signature block found in a file must say for the chip (FileMatchesChip).
enum class FileRule : uint8_t {
    Never,                 // no file matches
    Any,                   // every file with a block matches
    Code,                  // the chip code
    CodeAndRevisionDigit,  // the chip code, its fourth character the revision - 1
    Qv84552,               // revision 1: the marks 5A A5 0F F0; else as CodeAndRevisionDigit
    NotSameFirstTwo,       // the first two characters differ from the code's
    RevisionByte,          // the block's revision byte is the revision - 1
    RevisionByteOrRev0,    // as RevisionByte, or revision 0
    Qvd525Marks,           // "q525" (revision 1) or "5257" (revision 2) behind the signature
    CodeAndE,              // the chip code and 'E'
};

struct FileMatch {
    SignatureLocation signature;
    FileRule rule = FileRule::Never;
    bool nvramFirst = false;   // the code at 0, or behind the file's own 4 KiB NVRAM, names the chip
    bool blockAt128 = false;   // the QVD523's block (E9 AC 67 32 and the code) at file offset 128
};

// How a program looks at a firmware file before it runs the update.
enum class FileCheck : uint8_t {
    None,        // nothing to check by (no signature the check could read)
    Signature,   // FileMatchesChip
    ChipCode,    // the header's chip code against the chip information (CodeFileMatchesChip)
};

// --- updates -------------------------------------------------------------------------------------

// The procedures of the "Run" button.
enum class RunProcedure : uint8_t {
    None,                  // a chip type the button does nothing for
    DirectUpdate,          // RunDirectUpdate
    Series528,             // UpdateFlash_528Series
    Sst,                   // UpdateFlashSst
    Legacy,                // UpdateFlashLegacy
    Qvd525Over1394,        // UpdateFlash525Over1394
    Qvr294,                // UpdateFlash294
    DiskResident,          // UpdateDiskResident
    FileTooBig,            // QVD523: "The firmware file size is bigger than the flash size!"
};

// What the "Run" dispatch looks at before it settles on the row's usual procedure.
enum class RunProbe : uint8_t {
    FlashUnknown,        // no flash was identified
    Ieee1394,            // the bridge sits on 1394
    Sst25,               // the flash takes the flash-type-aware write (SST25 part)
    SstFlash,            // an SST flash
    FileTooBig,          // the file is larger than the flash identified
    Old227,              // register 0x505E not ready and revision 4 or lower
};

struct RunStep {
    RunProbe probe;
    RunProcedure then;
};

// The "Run" dispatch of one chip type: the probes in order, the first that holds decides; when
// none holds, `usual`.
struct RunRoute {
    RunProcedure usual = RunProcedure::None;
    std::array<RunStep, 2> steps{};
    uint8_t stepCount = 0;
};

// The whole flash read through the family's own read path (backups and verification).
enum class ReadRoute : uint8_t { None, BufferOrDirect, Direct, SerialFlash, Qvr294 };

// How the chip's firmware is laid out in its flash.
enum class FlashLayout : uint8_t {
    None,
    NvramFirst,   // 4 KiB NVRAM at 0, the code from 4 KiB on
    SingleBank,   // a code region of `codeEnd` bytes, the 4 KiB NVRAM behind it
    TwoBank,      // two 128 KiB banks, the code signature at 0xBFF0 of each
};

struct Nvram {
    uint32_t at = 0;        // where the 4 KiB NVRAM stands
    uint8_t copies = 1;     // 2: the 64 KiB bank, NVRAM included, kept again at 0x10000 on
                            // flash of 128 KiB and more (bank recovery)
};

// The macOS update thread a model is served by.
enum class MacUpdate : uint8_t { None, Qvr298, Qvd528, Qvd529 };

// What the 528-series route does differently for the QVD523: it takes NVRAM bytes 128-207 from
// the image, leaves the protection of its ST and MXIC parts alone and, written through SPI
// cycles, has an SST part chip-erased first.
enum class Series528Rules : uint8_t { Plain, Qvd523 };

struct ChipRow {
    ChipType win = 0;                 // the row's index
    QVChipType mac = kNoMacType;
    std::string_view code;            // three digits, empty for row 0
    std::string_view name;            // display name
    std::string_view family;          // the family the procedures and documents name
    // identification
    Identity identity{};
    // the window's fields
    ChipSupport support = ChipSupport::Unsupported;
    bool offersNvram = false;         // the "Include 4K NVRAM" option
    ChipLabelRule label = ChipLabelRule::DisplayName;
    VersionForm version = VersionForm::Default;
    CodeTest codeTest = CodeTest::Assumed;
    const CodeGate* gate = nullptr;   // for CodeTest::GateAndSignature
    // flash identification
    FlashRoute flash = FlashRoute::None;
    bool flashParameter16Bit = false; // QV_SerialFlashSetPara256 in its 16-bit form
    // the image in flash and in a file
    FlashLayout layout = FlashLayout::None;
    uint32_t codeEnd = 0;             // single-bank and two-bank layouts: end of the code region
    Nvram nvram{};
    FileMatch file{};
    FileCheck fileCheck = FileCheck::Signature;
    bool fileCarriesNvram = false;    // 528 series: the file is taken to carry its NVRAM
    // the update
    RunRoute run{};
    bool ramBuffer = false;           // QVR29x: firmware through the RAM buffer or the direct
                                      // write of both banks, the erase in a command of its own
    bool flashPrepare = false;        // QV_FlashPrepare before the flash is read or written
    Series528Rules series528 = Series528Rules::Plain;
    bool resetsAfterUpdate = false;   // restarts on command; otherwise the power-cycle box
    ReadRoute read = ReadRoute::None;
    bool oneButton = false;           // the embedded image's chip: one-button update, wizard
    MacUpdate macUpdate = MacUpdate::None;
};

// One row per ChipType value, indexed by it.
std::span<const ChipRow, kChipTypeCount> chipTable();
const ChipRow& chipRow(ChipType type);   // row 0 for a value outside the table
std::string_view chipDisplayName(ChipType type);
// The row of a macOS number; row 0 for a value no row carries.
const ChipRow& chipRowOfMac(uint32_t type);
// The program's number of a row, kNoMacType for a model the macOS program has no number for.
uint8_t numberOf(const ChipRow& row, Program program);
const ChipRow& rowOf(uint8_t number, Program program);

// macOS: `tbl_QVChipString`, one code per QVChipType value (entry 0 empty).
extern const char tbl_QVChipString[kQVChipTypeCount][10];

// The first value (from 1 up) whose code equals the first three characters of `code`, or 0.
ChipType chipTypeOfCode(std::string_view code);
QVChipType qvChipTypeOfCode(std::string_view code);

// The flash holds the 64 KiB bank twice (recovery, two passes of the direct update).
inline bool keepsTwoBanks(const ChipRow& r) { return r.nvram.copies == 2; }
// The family's update always takes the direct write, which writes a file whole with its NVRAM.
inline bool alwaysDirect(const ChipRow& r) {
    return r.run.usual == RunProcedure::DirectUpdate && r.run.stepCount == 0;
}

}  // namespace vendor
