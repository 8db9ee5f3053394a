#include "image/format/image_builder.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "image/format/crc.h"

namespace firmware {

namespace {

constexpr uint32_t kBankPairSize = 2 * firmware::kBankSize;
constexpr uint32_t kSingleBankSize = 0x10000;

bool isDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Code bytes that look like code: not erased, not zero, the same for the same version.
void fillBody(uint8_t* p, size_t n, const std::vector<uint8_t>& version) {
    uint32_t x = 0x2F6B1D35u;
    for (uint8_t v : version) x = x * 131u + v;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        p[i] = static_cast<uint8_t>(x >> 24);
    }
}

void putHeader(uint8_t* code, const ImageParams& p, bool modelDigits) {
    if (modelDigits) {
        code[2] = '0';
        std::memcpy(code + 3, p.chipCode.data(), 3);
    }
    const std::string text = p.productText.empty() ? defaultProductText(p.chipCode) : p.productText;
    std::memcpy(code + kHeaderTextOffset, text.data(), kHeaderTextLength);
    code[kHeaderFlagOffset] = p.manufacturing ? kManufacturingFlag : 0;
    for (size_t i = 0; i < p.version.size(); ++i)
        code[kHeaderVersionOffset + i] =
            p.manufacturing ? static_cast<uint8_t>('0' + p.version[i] % 10) : p.version[i];
}

void putSignatureBlock(uint8_t* block, const ImageParams& p) {
    std::memcpy(block, kSignature, 4);
    std::memcpy(block + 4, p.chipCode.data(), 3);
    block[7] = static_cast<uint8_t>(p.revision);
    block[8] = static_cast<uint8_t>(p.revision);
    block[9] = 0;
}

// An NVRAM area as a chip leaves it: blank, with the validity marker the updaters look for.
void putNvram(uint8_t* nvram) {
    std::memset(nvram, 0xFF, kNvramSize);
    nvram[126] = 'Q';
    nvram[127] = 'V';
}

void putSingleBank(uint8_t* bank, const ImageParams& p) {
    const uint32_t e = p.codeEnd;
    fillBody(bank, e, p.version);
    putHeader(bank, p, true);
    putSignatureBlock(bank + e - 16, p);
    bank[e - 4] = bank[e - 3] = 0;
    const uint16_t crc = firmware::Crc16Words(bank, e - 4, 0);
    bank[e - 2] = static_cast<uint8_t>(crc >> 8);
    bank[e - 1] = static_cast<uint8_t>(crc);
    putNvram(bank + e);
    std::fill(bank + e + kNvramSize, bank + kSingleBankSize, 0xFF);
}

bool headerNames(const uint8_t* code, const std::string& chipCode) {
    return std::memcmp(code + kHeaderTextOffset, "Corvane ", 8) == 0 &&
           std::memcmp(code + kHeaderChipCodeOffset, chipCode.data(), 3) == 0;
}

bool signatureNames(const uint8_t* block, const std::string& chipCode) {
    return std::memcmp(block, kSignature, 4) == 0 && std::memcmp(block + 4, chipCode.data(), 3) == 0;
}

void readHeader(const uint8_t* code, size_t versionBytes, FoundImage& f) {
    f.chipCode.assign(reinterpret_cast<const char*>(code + kHeaderChipCodeOffset), 3);
    f.version.assign(code + kHeaderVersionOffset, code + kHeaderVersionOffset + versionBytes);
    const bool ascii = std::all_of(f.version.begin(), f.version.end(), [](uint8_t c) { return c >= '0' && c <= '9'; });
    f.manufacturing = ascii && code[kHeaderFlagOffset] == kManufacturingFlag;
}

}  // namespace

std::string defaultProductText(const std::string& chipCode) { return "Corvane QVR" + chipCode.substr(0, 3); }

uint32_t imageSize(const ImageParams& p) {
    if (p.size) return p.size;
    switch (p.layout) {
        case ImageLayout::TwoBank: return kBankPairSize;
        case ImageLayout::SingleBank: return p.twoCopies ? 2 * kSingleBankSize : kSingleBankSize;
        case ImageLayout::NvramFirst: return kSingleBankSize;
        case ImageLayout::RamImage: return kSingleBankSize;
    }
    return 0;
}

bool buildImage(const ImageParams& p, std::vector<uint8_t>& image, std::string& error) {
    if (p.chipCode.size() != 3 || !isDigits(p.chipCode)) return error = "chip code must be three digits", false;
    if (p.version.empty() || p.version.size() > kMaxVersionBytes) return error = "version must have 1 to 5 numbers", false;
    if (!p.productText.empty() && p.productText.size() != kHeaderTextLength)
        return error = "product text must be 14 characters", false;
    const uint32_t size = imageSize(p);
    image.assign(size, 0xFF);
    switch (p.layout) {
        case ImageLayout::TwoBank: {
            if (size < kBankPairSize) return error = "a two-bank image needs 256 KiB", false;
            uint8_t* bank0 = image.data();
            fillBody(bank0, firmware::kBankSize, p.version);
            putHeader(bank0, p, true);
            // The code signature block stands where the file checks of these chips look for it.
            putSignatureBlock(bank0 + kTwoBankSignatureOffset, p);
            std::copy_n(bank0, firmware::kBankSize, bank0 + firmware::kBankSize);
            if (!firmware::StampBankSignature(image.data(), image.size())) return error = "bank stamp failed", false;
            return true;
        }
        case ImageLayout::SingleBank: {
            if (p.codeEnd < 0x1000 || p.codeEnd % 4 != 0 || p.codeEnd + kNvramSize > kSingleBankSize)
                return error = "code end must leave room for the 4 KiB NVRAM inside 64 KiB", false;
            const uint32_t need = p.twoCopies ? 2 * kSingleBankSize : kSingleBankSize;
            if (size < need) return error = "image too small for its banks", false;
            putSingleBank(image.data(), p);
            if (p.twoCopies) std::copy_n(image.data(), kSingleBankSize, image.data() + kSingleBankSize);
            return true;
        }
        case ImageLayout::NvramFirst: {
            if (size < kNvramSize + 0x1000) return error = "image too small for NVRAM and code", false;
            putNvram(image.data());
            uint8_t* code = image.data() + kNvramSize;
            fillBody(code, size - kNvramSize, p.version);
            putSignatureBlock(code, p);
            putHeader(code, p, false);
            return true;
        }
        case ImageLayout::RamImage: {
            if (size < 0x1000) return error = "image too small for its header", false;
            fillBody(image.data(), size, p.version);
            putHeader(image.data(), p, true);
            return true;
        }
    }
    return error = "unknown layout", false;
}

FoundImage findImage(const uint8_t* flash, size_t size, ImageLayout layout, uint32_t codeEnd,
                     const std::string& chipCode, size_t versionBytes, const char* ownChars) {
    FoundImage f;
    versionBytes = std::min(versionBytes, kMaxVersionBytes);
    if (flash == nullptr || chipCode.size() != 3) return f;
    switch (layout) {
        case ImageLayout::TwoBank:
            for (int bank = 0; bank < 2; ++bank) {
                const size_t base = static_cast<size_t>(bank) * firmware::kBankSize;
                if (size < base + firmware::kBankSize) break;
                const uint8_t* b = flash + base;
                if (!firmware::bankSignatureValid(b)) continue;
                if (std::memcmp(b + 0x208, b + firmware::kBankSize - 4, 4) != 0) continue;
                if (!headerNames(b, chipCode)) continue;
                f.valid = true;
                f.bank = bank;
                f.codeStart = static_cast<uint32_t>(base);
                readHeader(b, versionBytes, f);
                return f;
            }
            return f;
        case ImageLayout::SingleBank:
            for (int bank = 0; bank < 2; ++bank) {
                const size_t base = static_cast<size_t>(bank) * kSingleBankSize;
                if (codeEnd < 0x1000 || size < base + codeEnd) break;
                const uint8_t* b = flash + base;
                if (!signatureNames(b + codeEnd - 16, chipCode)) continue;
                const uint16_t crc = firmware::Crc16Words(b, codeEnd - 4, 0);
                if (b[codeEnd - 2] != (crc >> 8) || b[codeEnd - 1] != (crc & 0xFF)) continue;
                f.valid = true;
                f.bank = bank;
                f.codeStart = static_cast<uint32_t>(base);
                readHeader(b, versionBytes, f);
                f.chipCode = chipCode;
                return f;
            }
            return f;
        case ImageLayout::NvramFirst: {
            if (size < kNvramSize + 32) return f;
            const uint8_t* block = flash + kNvramSize;
            const bool own = ownChars && std::memcmp(block, kSignature, 4) == 0 && std::memcmp(block + 4, ownChars, 4) == 0;
            if (!own && !signatureNames(block, chipCode)) return f;
            f.valid = true;
            f.codeStart = kNvramSize;
            readHeader(block, versionBytes, f);
            f.chipCode = chipCode;
            return f;
        }
        case ImageLayout::RamImage:
            return f;   // lives in RAM only
    }
    return f;
}

}  // namespace firmware
