// SPI NOR flash parts the virtual enclosure can carry, as data: one row per part. A row says how
// the part answers the identification opcodes, how it is organised, which opcodes erase what, and
// how long its program and erase cycles take (typical and worst-case datasheet values), and which
// protection bits it sets itself at power-on.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

// How the part takes data: page program (02), or the auto-increment programming of the older SST
// parts (byte-wise AF, or word-wise AD on the SST25 line).
enum class ProgramStyle : uint8_t { Page, SstByte, SstWord };

struct FlashPart {
    const char* name;
    std::array<uint8_t, 6> rdid;     // 0x9F reply as the bridge clocks it in (FF: not supported)
    std::array<uint8_t, 2> rems;     // 0x90 reply after its three address bytes: maker, device
    std::array<uint8_t, 2> res;      // 0xAB reply after its three dummy bytes
    std::array<uint8_t, 2> id15;     // 0x15 reply (older ATMEL parts), FF FF when not answered
    uint32_t size;
    uint32_t sectorErase;            // unit of 0x20 / 0xD7, 0 when the part has no such opcode
    uint32_t halfBlockErase;         // unit of 0x52, 0 when none
    uint32_t blockErase;             // unit of 0xD8, 0 when none
    uint16_t page;                   // page program wraps inside a page of this size
    ProgramStyle style;
    uint16_t programUs;              // one page (or one SST byte/word)
    uint16_t sectorMs;               // erase of one sector (0x20 / 0xD7 unit)
    uint16_t halfBlockMs;            // erase of one 0x52 unit, 0 when none
    uint16_t blockMs;                // erase of one 0xD8 unit
    uint32_t chipMs;
    // The same times at their datasheet maximum.
    uint16_t programMaxUs;
    uint16_t sectorMaxMs;
    uint16_t halfBlockMaxMs;
    uint16_t blockMaxMs;
    uint32_t chipMaxMs;
    uint8_t flashType;               // the bridge's FlashType value for this maker
    bool bridgeKnows;                // the bridge's own probe (FF 04 23) recognises the part
    // Block-protection bits the part sets at every power-on (its protection is volatile and comes
    // up locked); 0: the bits are non-volatile and stay as last written.
    uint8_t powerUpProtect;
};

// Which of a part's datasheet times the emulated flash takes.
enum class FlashTimes : uint8_t { Typical, Worst };
uint32_t programUsOf(const FlashPart& part, FlashTimes t);
uint32_t chipEraseMsOf(const FlashPart& part, FlashTimes t);

// The whole table, and a lookup by the 0x9F reply written as hex ("ef3013"). Parts that answer
// no 0x9F are found by their 0x90 reply ("bf48") or their row name.
const FlashPart* flashParts(size_t* count);
const FlashPart* findFlashPart(std::string_view idHexOrName);
std::string flashPartKeys();   // the valid flash= values, for usage messages

// The erase unit sizes the bridges apply for each FlashType (sector, block).
struct EraseUnits {
    uint32_t sector;
    uint32_t block;
};
EraseUnits eraseUnitsOfType(uint8_t flashType);

// How long the part takes to erase a unit of `unit` bytes: the time of the opcode whose unit that
// is, or for a unit the part has no opcode for (the bridges' erase-by-mode units), the time of its
// next larger unit.
uint32_t eraseMsOf(const FlashPart& part, uint32_t unit, FlashTimes t = FlashTimes::Typical);

}  // namespace sim
