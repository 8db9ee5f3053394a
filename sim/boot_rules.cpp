#include "sim/boot_rules.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr uint32_t kTwoBankBankSize = 0x20000;
constexpr uint32_t kBankMarkAt = 0x200;
constexpr uint32_t kBankTailCopyAt = 0x208;
constexpr uint32_t kBankCrcAt = 0x3FC;
constexpr uint8_t kBankMark[4] = {0x5A, 0xC3, 0x69, 0xE1};
constexpr uint32_t kSingleBankSpan = 0x10000;
constexpr uint32_t kNvramFirstCodeAt = 0x1000;
constexpr uint8_t kCodeMark[4] = {0x55, 0xAA, 0xAA, 0x55};
// The header at the start of the code.
constexpr uint32_t kMakerTextAt = 10;
constexpr char kMakerText[] = "Corvane ";
constexpr uint32_t kHeaderCodeAt = 21;
constexpr uint32_t kHeaderFlagAt = 24;
constexpr uint32_t kHeaderVersionAt = 25;
constexpr uint8_t kManufacturingMark = 'M';
constexpr size_t kMostVersionBytes = 5;

uint32_t bigEndian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

bool marked(const uint8_t* block, const char* code3) {
    return std::memcmp(block, kCodeMark, 4) == 0 && std::memcmp(block + 4, code3, 3) == 0;
}

bool headerNamesChip(const uint8_t* code, const char* code3) {
    return std::memcmp(code + kMakerTextAt, kMakerText, 8) == 0 && std::memcmp(code + kHeaderCodeAt, code3, 3) == 0;
}

BootImage booted(const uint8_t* flash, uint32_t codeStart, const ChipPersona& chip) {
    BootImage b;
    b.found = true;
    b.codeStart = codeStart;
    const uint8_t* v = flash + codeStart + kHeaderVersionAt;
    b.version.assign(v, v + std::min<size_t>(chip.versionCount, kMostVersionBytes));
    const bool digits = std::all_of(b.version.begin(), b.version.end(), [](uint8_t c) { return c >= '0' && c <= '9'; });
    b.manufacturing = digits && flash[codeStart + kHeaderFlagAt] == kManufacturingMark;
    return b;
}

bool twoBankBoots(const uint8_t* bank, const char* code3) {
    return std::memcmp(bank + kBankMarkAt, kBankMark, 4) == 0 &&
           bootBankCrc32(bank, kBankCrcAt) == bigEndian32(bank + kBankCrcAt) &&
           std::memcmp(bank + kBankTailCopyAt, bank + kTwoBankBankSize - 4, 4) == 0 && headerNamesChip(bank, code3);
}

bool singleBankBoots(const uint8_t* bank, uint32_t codeEnd, const char* code3) {
    const uint16_t stored = static_cast<uint16_t>(bank[codeEnd - 2] << 8 | bank[codeEnd - 1]);
    return marked(bank + codeEnd - 16, code3) && bootWordCrc16(bank, codeEnd - 4) == stored;
}

}  // namespace

uint16_t bootWordCrc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0;
    for (size_t word = 0; word + 4 <= length; word += 4)
        for (int i = 3; i >= 0; --i) {
            crc ^= static_cast<uint16_t>(data[word + static_cast<size_t>(i)] << 8);
            for (int bit = 0; bit < 8; ++bit)
                crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    return crc;
}

uint32_t bootBankCrc32(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t group = 0; group + 4 <= length; group += 4)
        for (int i = 3; i >= 0; --i) {
            const uint8_t byte = data[group + static_cast<size_t>(i)];
            for (int bit = 0; bit < 8; ++bit) {
                const bool in = (byte >> bit) & 1;
                const bool out = (crc >> 31) != 0;
                crc <<= 1;
                if (in != out) crc ^= 0x04C11DB7u;
            }
        }
    return crc;
}

BootImage chooseBootImage(const uint8_t* flash, size_t size, const ChipPersona& chip, int revision) {
    const char* code3 = chip.chipCode;
    if (flash == nullptr || code3 == nullptr || chip.versionCount == 0) return {};
    switch (chip.layout) {
        case ImageLayout::TwoBank:
            for (uint32_t base : {0u, kTwoBankBankSize})
                if (size >= base + kTwoBankBankSize && twoBankBoots(flash + base, code3)) return booted(flash, base, chip);
            return {};
        case ImageLayout::SingleBank: {
            const uint32_t end = chip.codeEnd;
            if (end < 0x1000) return {};
            for (uint32_t base : {0u, kSingleBankSpan})
                if (size >= base + end && singleBankBoots(flash + base, end, code3)) return booted(flash, base, chip);
            return {};
        }
        case ImageLayout::NvramFirst: {
            if (size < kNvramFirstCodeAt + 32) return {};
            const uint8_t* block = flash + kNvramFirstCodeAt;
            const char* own = revision == 1 || revision == 2 ? chip.ownSignature[static_cast<size_t>(revision - 1)] : nullptr;
            const bool ownName = own && std::memcmp(block, kCodeMark, 4) == 0 && std::memcmp(block + 4, own, 4) == 0;
            if (!ownName && !marked(block, code3)) return {};
            return booted(flash, kNvramFirstCodeAt, chip);
        }
        case ImageLayout::RamImage: return {};
    }
    return {};
}

}  // namespace sim
