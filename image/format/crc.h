// The checksums kept inside firmware images: the region CRC-16 of the single-bank families and the
// bank CRC-32 of the QVR29x two-bank images, with the bank signature stamp.
#pragma once
#include <cstddef>
#include <cstdint>

namespace firmware {

// CRC-16 (polynomial 0x1021, no reflection, no final XOR) fed nibble by nibble with each
// little-endian 32-bit word's bytes in the order 3, 2, 1, 0. Trailing bytes past the last whole
// word are ignored; length 0 returns the seed.
uint16_t Crc16Words(const uint8_t* data, size_t length, uint16_t seed);

// CRC-32 (polynomial 0x04C11DB7, seed 0xFFFFFFFF, bits fed least significant first, no final XOR)
// over groups of four bytes fed in the order 3, 2, 1, 0; an incomplete last group is ignored.
uint32_t fn_298cal_crc32(const uint8_t* data, size_t length);

// The same CRC-32 one step at a time, under the names the macOS program knows it by.
uint32_t lfsr_shift(uint32_t crc, unsigned bit);
uint32_t lfsr_loop08(uint32_t crc, uint8_t byte);
uint32_t p_crc32_cal(const uint8_t* data, size_t length);

// Bit-exact reference forms of the two CRCs (one bit or nibble at a time), kept for the tests
// that prove the table-driven forms above equal to them.
uint16_t Crc16WordsReference(const uint8_t* data, size_t length, uint16_t seed);
uint32_t Crc32Reference(const uint8_t* data, size_t length);

// Two-bank images of the QVR29x bridges: 128 KiB banks, each with a signature block at bank
// offset 0x200 and its CRC-32 at 0x3FC.
constexpr size_t kBankSize = 0x20000;
constexpr size_t kBankSignatureOffset = 0x200;
constexpr size_t kBankCrcOffset = 0x3FC;
constexpr uint8_t kBankSignature[4] = {0x5A, 0xC3, 0x69, 0xE1};

// Stamps one bank at `bank` (kBankSize bytes): signature, zero word, copy of the bank's last four
// bytes, CRC-32 of bank offsets 0..0x3FB stored most significant byte first.
void stampBank(uint8_t* bank);
// Stamps both banks of a buffer of at least 2 * kBankSize bytes; false (nothing written) when the
// buffer is smaller.
bool StampBankSignature(uint8_t* image, size_t size);
// True when a bank carries its signature block and a matching CRC-32.
bool bankSignatureValid(const uint8_t* bank);

}  // namespace firmware
