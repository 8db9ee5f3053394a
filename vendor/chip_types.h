// The bridge chip models both programs know, as data: the Windows ChipType table (code, display
// name and what the window does with each model) and the macOS QVChipType code table. A code
// lookup takes the first row with an equal code, so rows that share a code with an earlier row
// are reached only by the other routes of identification (ODD strings, GPIO, USB identifiers).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vendor {

using ChipType = uint8_t;     // Windows, 0 to 35
using QVChipType = uint8_t;   // macOS, 0 to 27

constexpr int kChipTypeCount = 36;
constexpr int kQVChipTypeCount = 28;

// The models identification and the window treat specially, by their Windows value.
constexpr ChipType kChipUnknown = 0;
constexpr ChipType kChipQVD525 = 8;
constexpr ChipType kChipQVD529 = 9;
constexpr ChipType kChipQVR227 = 12;
constexpr ChipType kChipQVR296 = 14;
constexpr ChipType kChipQVR298 = 16;
constexpr ChipType kChipQVR294 = 26;
constexpr ChipType kChipQV84559Usb = 35;

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

// How the firmware version text is laid out (FormatFirmwareVersion).
enum class VersionForm : uint8_t {
    Default,            // "%d.%.2d" of C6 C7, or "%d.%.2d.%.2d" of C12-C14 for a full reply
    MajorMinorAndThree, // "%d.%.2d.%.2d.%.2d.%.2d" of C6 C7 C12 C13 C14
    Register506A,       // as above, C14 bit 0 flipped when the 506A probe holds
    FiveDigits,         // "%.2d.%.2d.%.2d.%.2d.%.2d" of C10-C14
    FourCharsIfAlt,     // C12-C15 as characters when the alternative information answers
    FourCharsIfC6Is2,   // C12-C15 as characters when C6 is 2
};

struct ChipRow {
    std::string_view code;   // three digits, empty for row 0
    std::string_view name;   // display name
    ChipSupport support;
    bool offersNvram;        // the "Include 4K NVRAM" option
    FlashRoute flash;
    bool flashParameter16Bit;   // QV_SerialFlashSetPara256 in its 16-bit form
    VersionForm version;
};

// One row per ChipType value, indexed by it.
std::span<const ChipRow, kChipTypeCount> chipTable();
const ChipRow& chipRow(ChipType type);   // row 0 for a value outside the table
std::string_view chipDisplayName(ChipType type);

// macOS: `tbl_QVChipString`, one code per QVChipType value (entry 0 empty).
extern const char tbl_QVChipString[kQVChipTypeCount][10];

// The first value (from 1 up) whose code equals the first three characters of `code`, or 0.
ChipType chipTypeOfCode(std::string_view code);
QVChipType qvChipTypeOfCode(std::string_view code);

}  // namespace vendor
