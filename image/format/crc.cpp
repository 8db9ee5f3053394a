#include "image/format/crc.h"

#include <array>
#include <cstring>

namespace firmware {

namespace {

uint16_t crc16Nibble(uint16_t h, unsigned nibble) {
    const unsigned b = ((h >> 12) ^ nibble) & 0xF;
    return static_cast<uint16_t>((h << 4) ^ (b << 12) ^ (b << 5) ^ b);
}

// Two nibbles of a word, high first, are one byte fed most significant bit first: a 256-entry
// table indexed by the register's top byte XOR the data byte takes both steps at once.
const std::array<uint16_t, 256>& crc16Table() {
    static const std::array<uint16_t, 256> t = [] {
        std::array<uint16_t, 256> r{};
        for (unsigned i = 0; i < 256; ++i) r[i] = crc16Nibble(crc16Nibble(static_cast<uint16_t>(i << 8), 0), 0);
        return r;
    }();
    return t;
}

uint32_t word(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// CRC-32 of one byte fed least significant bit first into a left-shifting register: equal to
// the reflected-input step on a register whose state is not reflected; a 256-entry table
// indexed by the top byte XOR the bit-reversed data byte.
uint8_t reverse8(uint8_t v) {
    v = static_cast<uint8_t>((v & 0xF0) >> 4 | (v & 0x0F) << 4);
    v = static_cast<uint8_t>((v & 0xCC) >> 2 | (v & 0x33) << 2);
    v = static_cast<uint8_t>((v & 0xAA) >> 1 | (v & 0x55) << 1);
    return v;
}

const std::array<uint32_t, 256>& crc32Table() {
    static const std::array<uint32_t, 256> t = [] {
        std::array<uint32_t, 256> r{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            r[i] = c;
        }
        return r;
    }();
    return t;
}

}  // namespace

uint16_t Crc16WordsReference(const uint8_t* data, size_t length, uint16_t seed) {
    uint16_t h = seed;
    for (size_t i = 0; i + 4 <= length; i += 4) {
        const uint32_t w = word(data + i);
        for (int n = 28; n >= 0; n -= 4) h = crc16Nibble(h, (w >> n) & 0xF);
    }
    return h;
}

uint16_t Crc16Words(const uint8_t* data, size_t length, uint16_t seed) {
    const auto& t = crc16Table();
    uint16_t h = seed;
    for (size_t i = 0; i + 4 <= length; i += 4) {
        const uint32_t w = word(data + i);
        for (int n = 24; n >= 0; n -= 8) h = static_cast<uint16_t>((h << 8) ^ t[((h >> 8) ^ (w >> n)) & 0xFF]);
    }
    return h;
}

uint32_t lfsr_shift(uint32_t crc, unsigned bit) {
    const unsigned top = crc >> 31;
    crc <<= 1;
    if ((bit & 1) != top) crc ^= 0x04C11DB7u;
    return crc;
}

uint32_t lfsr_loop08(uint32_t crc, uint8_t byte) {
    for (unsigned i = 0; i < 8; ++i) crc = lfsr_shift(crc, (byte >> i) & 1);
    return crc;
}

uint32_t Crc32Reference(const uint8_t* data, size_t length) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i + 4 <= length; i += 4)
        for (int k = 3; k >= 0; --k) c = lfsr_loop08(c, data[i + static_cast<size_t>(k)]);
    return c;
}

uint32_t fn_298cal_crc32(const uint8_t* data, size_t length) {
    const auto& t = crc32Table();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i + 4 <= length; i += 4)
        for (int k = 3; k >= 0; --k)
            c = (c << 8) ^ t[((c >> 24) ^ reverse8(data[i + static_cast<size_t>(k)])) & 0xFF];
    return c;
}

uint32_t p_crc32_cal(const uint8_t* data, size_t length) { return fn_298cal_crc32(data, length); }

void stampBank(uint8_t* bank) {
    std::memcpy(bank + kBankSignatureOffset, kBankSignature, 4);
    std::memset(bank + kBankSignatureOffset + 4, 0, 4);
    std::memcpy(bank + kBankSignatureOffset + 8, bank + kBankSize - 4, 4);
    const uint32_t c = fn_298cal_crc32(bank, kBankCrcOffset);
    bank[kBankCrcOffset + 0] = static_cast<uint8_t>(c >> 24);
    bank[kBankCrcOffset + 1] = static_cast<uint8_t>(c >> 16);
    bank[kBankCrcOffset + 2] = static_cast<uint8_t>(c >> 8);
    bank[kBankCrcOffset + 3] = static_cast<uint8_t>(c);
}

bool StampBankSignature(uint8_t* image, size_t size) {
    if (image == nullptr || size < 2 * kBankSize) return false;
    stampBank(image);
    stampBank(image + kBankSize);
    return true;
}

bool bankSignatureValid(const uint8_t* bank) {
    if (std::memcmp(bank + kBankSignatureOffset, kBankSignature, 4) != 0) return false;
    const uint32_t c = fn_298cal_crc32(bank, kBankCrcOffset);
    const uint32_t stored = uint32_t(bank[kBankCrcOffset]) << 24 | uint32_t(bank[kBankCrcOffset + 1]) << 16 |
                            uint32_t(bank[kBankCrcOffset + 2]) << 8 | bank[kBankCrcOffset + 3];
    return c == stored;
}

}  // namespace firmware
