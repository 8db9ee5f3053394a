// What the bridge's boot code decides when it starts: which firmware in its flash it runs, or
// none (then its ROM code runs). The chip's own rules, kept here apart from the image code the
// tools stamp images with, so a mistake the two shared would show as a chip that does not boot:
//
//   two banks (QVR29x)  128 KiB banks at 0 and 0x20000, bank 0 first. A bank boots when its
//                       bank signature 5A C3 69 E1 stands at 0x200, the CRC-32 of its first 1020
//                       bytes is at 0x3FC (most significant byte first), its last four bytes are
//                       copied at 0x208 (a bank cut short is not), and its header names the chip.
//   single bank         the 64 KiB bank at 0, then its copy at 0x10000. A bank boots when the
//   (QVR256/296/253)    signature block 55 AA AA 55 with the chip code stands 16 bytes before the
//                       code end E and the word CRC-16 of bytes 0..E-5 is at E-2 (high byte first).
//   NVRAM first         the code at 4096 starts with the signature block and the chip code, or
//                       with the four characters the chip names itself by.
//
// The header at the start of the code carries the version; ASCII digits there with the flag 'M'
// mark a manufacturing image.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/chip_personas.h"

namespace sim {

struct BootImage {
    bool found = false;
    bool manufacturing = false;
    uint32_t codeStart = 0;          // flash address of the code the chip runs (its header)
    std::vector<uint8_t> version;    // the header's version bytes, as many as the chip reports
};

// `revision` is the chip's revision digit (0-9).
BootImage chooseBootImage(const uint8_t* flash, size_t size, const ChipPersona& chip, int revision);

// The boot code's checksums: the word CRC-16 of the single-bank code region (polynomial 0x1021,
// seed 0, each 32-bit little-endian word fed from its top byte down, trailing bytes ignored) and
// the bank CRC-32 (polynomial 0x04C11DB7, start 0xFFFFFFFF, each group of four bytes fed from
// its last byte, every byte least significant bit first, no final inversion).
uint16_t bootWordCrc16(const uint8_t* data, size_t length);
uint32_t bootBankCrc32(const uint8_t* data, size_t length);

}  // namespace sim
