// Bridge chip models as the virtual enclosure plays them: one row per model, saying how the chip
// introduces itself (INQUIRY, chip information record, GPIO word, ODD string), where its firmware
// lives in flash, what it reports in its registers and status record, and which command sets it
// answers. A new model, or a deeper one, is a new or longer row.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/format/image_builder.h"

namespace sim {

// The image layouts and builder belong to the firmware layer: the emulator fills a new flash with
// what it builds. What the chip boots it decides by its own rules (boot_rules.h).
using firmware::buildImage;
using firmware::ImageLayout;
using firmware::ImageParams;
using firmware::imageSize;
using firmware::kHeaderChipCodeOffset;
using firmware::kHeaderVersionOffset;
using firmware::kNvramSize;


// Command sets a chip answers. A command of a set the chip lacks ends in CHECK CONDITION,
// ILLEGAL REQUEST / invalid command operation code, as on the part.
enum CommandSet : uint32_t {
    kSerialFlashCmds = 1u << 0,   // FF 04 0F..25: the bridge's own flash commands and raw SPI cycles
    kDirectFlashCmds = 1u << 1,   // DF ... FA / FB: direct flash read and write with erase modes
    kRegisterCmds = 1u << 2,      // DF ... FF / FD / FE / FC: GPIO and registers
    kBufferCmds = 1u << 3,        // READ/WRITE BUFFER with descriptor, code states, RAM download
    kFlash294Cmds = 1u << 4,      // B2..B6: chip buffer and flash of the QVR294
    kProductInfoCmd = 1u << 5,    // C3 30: product information record
    kAtaCmds = 1u << 6,           // ATA pass-through, READ CAPACITY(16), READ/WRITE(16)
    kChipStatusCmd = 1u << 7,     // FF 04 A0
    kChipInfoAltCmd = 1u << 8,    // FE F4 E7
    kResetCmd = 1u << 9,          // FF 04 26 'Q' 'V'
};

// The flag a running firmware raises in a register (the "external code" flag).
struct RegisterFlag {
    uint16_t addr;     // 0: none
    uint8_t byte;
    uint8_t mask;
};

struct ChipPersona {
    const char* model;            // the --sim name
    const char* productName;      // for descriptions only
    const char* inquiryProduct;   // INQUIRY bytes 16-31 (vendor text at 8-15 is "Corvane ")
    const char* inquiryCode;      // INQUIRY bytes 36-39, or nullptr
    const char* chipCode;         // three digits in the chip information record; nullptr: no record
    char revision;                // fourth chip-code character
    uint16_t vid, pid;
    uint16_t gpio;                // GetGPIO word
    const char* oddString;        // up to 8 bytes of the ODD inquiry reply, or nullptr
    uint32_t commands;            // CommandSet bits
    ImageLayout layout;
    uint32_t codeEnd;             // single-bank layout
    const char* defaultFlash;     // flash part key (flash_parts)
    std::array<uint8_t, 5> defaultVersion;
    uint8_t versionCount;
    std::array<uint8_t, 5> versionPos;   // chip information byte of each version number
    uint8_t romVariant;           // chip information byte 7 of the buffer-command chips
    uint8_t sectorEraseOp;        // opcode FF 04 14 uses until FF 04 0F sets another
    uint8_t status8, status18;    // chip status record bytes 8 and 18
    RegisterFlag externalFlag;
    uint8_t fdb0Byte1;            // register 0xFDB0 byte 1 (0xB4 and up: the B4 revision)
    // The unit a direct write with mode 1 erases in front of itself on chips that know only the
    // erase flag of the write's second form (the QVD525 on 1394 clears 32 KiB); 0: the erase
    // modes of the direct-command families, by the flash type's units.
    uint32_t directFlagEraseUnit = 0;
    // Chips whose code signature block names them by four characters of their own instead of the
    // chip code and revision digit: the characters for chip revision 1 and 2 (nullptr: none). The
    // boot code takes these as well as the chip code.
    std::array<const char*, 2> ownSignature{};
};

const ChipPersona* chipPersonas(size_t* count);
const ChipPersona* findChipPersona(std::string_view model);
std::string chipPersonaNames();   // space-separated, for usage messages

inline bool answers(const ChipPersona& p, CommandSet set) { return (p.commands & set) != 0; }

}  // namespace sim
