// What the window shows for an identified chip: its label, whether flash and version are shown
// (support classes), the firmware version text and whether the chip runs firmware from its flash
// or only its internal code. Windows only: the macOS program shows none of it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "identify/chip_table.h"
#include "identify/flash_types.h"

namespace IDEAccess {

using Path = std::string_view;

inline constexpr std::string_view kChipNotSupportedText = "The chip not support Firmware Update!";
inline constexpr std::string_view kNotCorvaneChipText = "Not Corvane Chip!!";
inline constexpr std::string_view kInternalCodeText = "Internal code";

// The chip field: the display name, refined for the QVR290/293/296/299 family by its status
// record and its alternative chip information.
std::string ChipLabel(Path path, vendor::ChipType type);

struct ChipPresentation {
    bool decided = true;        // false: the chip status could not be read; leave the fields as they are
    bool showFlash = false;
    bool showVersion = false;
    bool offersNvram = false;   // the "Include 4K NVRAM" option
    std::string statusText;     // the status field; kChipNotSupportedText for unsupported chips
    uint8_t configByte = 0;     // QV84586 / QVD246: the byte the decision was made on
};

// The support class of a chip type; types 6 and 29 ask the chip's status record (20 bytes).
ChipPresentation ChipSupportOf(Path path, vendor::ChipType type);

struct FirmwareVersionText {
    bool shown = false;         // text goes into the firmware version field
    std::string text;
    std::string statusText;     // kNotCorvaneChipText when the chip information has no signature
};

FirmwareVersionText FormatFirmwareVersion(Path path, vendor::ChipType type, vendor::FlashType flashType);

// True when register 0x506A keeps bit 0 set after 0 was written to it. The register's value is
// restored afterwards, with bit 0 flipped when the probe holds; a register that cannot be read is
// left alone.
bool ProbeRegister506A(Path path);

// False when the chip runs only its internal code ("Internal code" is shown instead of the
// version); `versionText` is the text FormatFirmwareVersion formed.
bool RunsExternalCode(Path path, vendor::ChipType type, std::string_view versionText, vendor::FlashType flashType);

}  // namespace IDEAccess
