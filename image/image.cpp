#include "image/image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "image/format/crc.h"
#include "sys/message_box.h"
#include "sys/resources.h"

namespace firmware {

using vendor::ChipType;

namespace {

constexpr const char* kOpenFileError = "Open Firmware File Error!!";

uint32_t copyResource(std::string_view name, uint8_t* dest, size_t destSize, uint32_t offset, uint32_t length) {
    std::vector<uint8_t> image;
    if (!sys::loadResource(name, kImageResourceType, image) || image.empty()) return 0;
    if (dest && offset < image.size()) {
        size_t n = image.size() - offset;
        if (length != 0 && length < n) n = length;
        n = std::min(n, destSize);
        std::memcpy(dest, image.data() + offset, n);
    }
    return static_cast<uint32_t>(image.size());
}

struct MfgImage {
    int number;
    const char* name;
    const char* chipCode;
    uint8_t romVariant;
};
constexpr MfgImage kMfgImages[] = {
    {1, "QVR297_ROM0_MFG", "297", 0},  {2, "QVR298_ROM0_MFG", "298", 0},
    {11, "QVR297_ROM1_MFG", "297", 1}, {12, "QVR298_ROM1_MFG", "298", 1},
    {13, "QVR295_ROM1_MFG", "295", 1}, {15, "QVR292_ROM1_MFG", "292", 1},
};

std::string_view codeOf(ChipType type) { return vendor::chipRow(type).code; }

bool startsWith(const uint8_t* block, const uint8_t* sig, size_t n) { return std::memcmp(block, sig, n) == 0; }

bool codeEquals(const uint8_t* chars, std::string_view code) {
    return code.size() == 3 && std::memcmp(chars, code.data(), 3) == 0;
}

// The revision byte of a signature block: an ASCII digit becomes its value, 0 stays 0.
int revisionByte(uint8_t b) { return (b >= '0' && b <= '9') ? b - '0' : b; }

}  // namespace

uint32_t LoadEmbeddedImage(uint8_t* dest, size_t destSize, uint32_t offset, uint32_t length) {
    return copyResource(kEmbeddedImageName, dest, destSize, offset, length);
}

const char* mfgImageName(int imageNumber) {
    for (const auto& m : kMfgImages)
        if (m.number == imageNumber) return m.name;
    return nullptr;
}

uint32_t LoadMfgImage(uint8_t* dest, size_t destSize, uint32_t offset, uint32_t length, int imageNumber) {
    const char* name = mfgImageName(imageNumber);
    return name ? copyResource(name, dest, destSize, offset, length) : 0;
}

int mfgImageNumberFor(std::string_view chipCode, uint8_t romVariant) {
    for (const auto& m : kMfgImages)
        if (chipCode == m.chipCode && romVariant == m.romVariant) return m.number;
    return 0;
}

SignatureLocation signatureLocation(ChipType type) { return vendor::chipRow(type).file.signature; }

bool startsWithCode(const uint8_t* bytes, size_t size) {
    return size >= sizeof kSignature && std::memcmp(bytes, kSignature, sizeof kSignature) == 0;
}

bool startsWithCode(const FileImage& f) { return startsWithCode(f.bytes.data(), f.bytes.size()); }

bool FileImage::block(size_t offset, size_t n, uint8_t* out) const {
    if (offset > bytes.size() || n > bytes.size() - offset) return false;
    std::memcpy(out, bytes.data() + offset, n);
    return true;
}

FileImage readFirmwareFile(const std::string& path) {
    FileImage f;
    // A directory opens as a stream on this platform and reports a size of its own; it must
    // read as a file that cannot be opened, not as an empty or a huge one.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return f;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return f;
    const std::streamoff size = in.tellg();
    if (size < 0) return f;
    f.opened = true;
    if (static_cast<uint64_t>(size) > kMaxFirmwareFile) {   // no chip's flash holds it
        f.tooLarge = true;
        return f;
    }
    in.seekg(0);
    f.bytes.resize(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(f.bytes.data()), size)) f.bytes.clear();
    return f;
}

bool FileMatchesChip(const FileImage& file, ChipType type, int revision) {
    const vendor::FileMatch& m = vendor::chipRow(type).file;
    const std::string_view code = codeOf(type);
    const SignatureLocation loc = m.signature;
    uint8_t block[kSignatureBlockSize] = {};
    bool haveBlock = file.block(loc.offset, sizeof block, block);
    if (loc.twoBytesRequired && (!haveBlock || block[0] != 0x55 || block[1] != 0xAA)) return false;

    // Code at 0, or behind the file's own 4 KiB NVRAM.
    const bool byOffset0 = loc.offset == 0;
    if (m.nvramFirst) {
        if (m.blockAt128) {
            if (!file.block(128, sizeof block, block) || !startsWith(block, kQvd523Signature, 3)) return false;
            haveBlock = true;
        } else if (!haveBlock || !startsWith(block, kSignature, 4)) {
            uint8_t at4096[kSignatureBlockSize] = {};
            if (file.block(4096, sizeof at4096, at4096) && startsWith(at4096, kSignature, 4)) {
                if (!codeEquals(at4096 + 4, code)) return false;
                std::memcpy(block, at4096, sizeof block);
                haveBlock = true;
            }
        } else if (!codeEquals(block + 4, code)) {
            return false;
        }
    } else if (byOffset0 && (!haveBlock || !startsWith(block, kSignature, 4))) {
        uint8_t at4096[kSignatureBlockSize] = {};
        if (file.block(4096, sizeof at4096, at4096) && startsWith(at4096, kSignature, 4)) {
            std::memcpy(block, at4096, sizeof block);
            haveBlock = true;
        }
    }
    if (!haveBlock) return false;   // the file is shorter than the block it must carry

    const uint8_t* chars = block + 4;
    const bool codeMatches = codeEquals(chars, code);
    const auto digitOf = [](int v) { return static_cast<uint8_t>('0' + v); };
    switch (m.rule) {
        case vendor::FileRule::Qv84552:
            if (revision == 1) {
                static const uint8_t kFirstRevision[4] = {0x5A, 0xA5, 0x0F, 0xF0};
                return std::memcmp(chars, kFirstRevision, 4) == 0;
            }
            return codeMatches && chars[3] == digitOf(revision - 1);
        case vendor::FileRule::NotSameFirstTwo:
            return !(chars[0] == code[0] && chars[1] == code[1]);
        case vendor::FileRule::Any:
            return true;
        case vendor::FileRule::CodeAndRevisionDigit:
            return codeMatches && chars[3] == digitOf(revision - 1);
        case vendor::FileRule::Code:
            return codeMatches;
        case vendor::FileRule::RevisionByte:
            return revisionByte(block[8]) == revision - 1;
        case vendor::FileRule::Qvd525Marks: {
            static const uint8_t kRev1[8] = {0x55, 0xAA, 0xAA, 0x55, 'q', '5', '2', '5'};
            static const uint8_t kRev2[8] = {0x55, 0xAA, 0xAA, 0x55, '5', '2', '5', '7'};
            if (revision == 1) return std::memcmp(block, kRev1, 8) == 0;
            if (revision == 2) return std::memcmp(block, kRev2, 8) == 0;
            return false;
        }
        case vendor::FileRule::RevisionByteOrRev0:
            return revision == 0 || revisionByte(block[8]) == revision - 1;
        case vendor::FileRule::CodeAndE:
            return codeMatches && chars[3] == 'E';
        case vendor::FileRule::Never:
            return false;
    }
    return false;
}

bool FileMatchesChip(const std::string& path, ChipType type, int revision) {
    const FileImage f = readFirmwareFile(path);
    if (!f.opened) {
        sys::messageBox(kOpenFileError, "Error", sys::MsgIcon::Error);
        return false;
    }
    return FileMatchesChip(f, type, revision);
}

bool fn_bCheckFwIncludeNVRAM(const FileImage& file, ChipType type) {
    if (!file.opened) return false;
    const std::string_view code = codeOf(type);
    uint8_t block[kSignatureBlockSize];
    if (file.block(0, sizeof block, block) && startsWith(block, kSignature, 4)) return false;
    if (file.block(4096, sizeof block, block) && startsWith(block, kSignature, 4) && codeEquals(block + 4, code))
        return true;
    if (vendor::chipRow(type).file.blockAt128 && file.block(128, sizeof block, block) &&
        startsWith(block, kQvd523Signature, 4) && codeEquals(block + 4, code))
        return true;
    return false;
}

bool carriesOwnNvram(const FileImage& file, ChipType type) {
    return (vendor::chipRow(type).fileCarriesNvram && !startsWithCode(file)) || fn_bCheckFwIncludeNVRAM(file, type);
}

bool carriesSingleBankNvram(size_t fileSize, ChipType type) {
    const uint32_t end = codeRegionEnd(type);
    return end != 0 && fileSize >= end + kNvramSize;
}

bool fn_bCheckFwIncludeNVRAM(const std::string& path, ChipType type) {
    return fn_bCheckFwIncludeNVRAM(readFirmwareFile(path), type);
}

bool FileFitsFlash(const std::string& path, uint32_t flashKiB) {
    std::error_code ec;
    std::ifstream in;
    if (std::filesystem::is_regular_file(path, ec)) in.open(path, std::ios::binary | std::ios::ate);
    if (!in.is_open() || !in) {
        sys::messageBox(kOpenFileError, "Error", sys::MsgIcon::Error);
        return false;
    }
    const std::streamoff size = in.tellg();
    return size >= 0 && static_cast<uint64_t>(size) <= uint64_t(flashKiB & 0xFFFFFF) * 1024;
}

CodeFileMatch CodeFileMatchesChip(const FileImage& file, const uint8_t* info, size_t infoLen) {
    uint8_t fileCode[3];
    if (infoLen < 11 || !file.block(kHeaderChipCodeOffset, 3, fileCode)) return CodeFileMatch::Mismatch;
    const uint8_t state = info[6], rom = info[7];
    const bool equal = std::memcmp(fileCode, info + 8, 3) == 0;
    const auto verdict = [](bool ok) { return ok ? CodeFileMatch::Match : CodeFileMatch::Mismatch; };
    if (state == 2 || state == 3) return verdict(equal);
    if (state != 1) return CodeFileMatch::Refused;
    if (rom == 1) return verdict(equal);
    if (rom != 0) return CodeFileMatch::Refused;
    // A QVR297 on its first ROM also takes the files of its QVR295 and QVR292 relatives.
    const bool qvr297 = std::memcmp(info + 8, "297", 3) == 0;
    const bool relative = fileCode[0] == '2' && fileCode[1] == '9' &&
                          (fileCode[2] == '7' || fileCode[2] == '5' || fileCode[2] == '2');
    return verdict(equal || (qvr297 && relative));
}

uint32_t codeRegionEnd(ChipType type) {
    const vendor::ChipRow& r = vendor::chipRow(type);
    return r.layout == vendor::FlashLayout::SingleBank ? r.codeEnd : 0;
}

bool ValidateBank(const uint8_t* bank, size_t size, ChipType type) {
    const uint32_t end = vendor::chipRow(type).codeEnd;
    if (end == 0 || bank == nullptr || size < end) return false;
    const uint8_t* sig = bank + end - 16;
    if (!startsWith(sig, kSignature, 4) || !codeEquals(sig + 4, codeOf(type))) return false;
    const uint16_t stored = static_cast<uint16_t>(bank[end - 2] << 8 | bank[end - 1]);
    return Crc16Words(bank, end - 4, 0) == stored;
}

bool stampRegionCrc(uint8_t* image, size_t size, uint32_t codeEnd) {
    if (image == nullptr || codeEnd < 4 || size < codeEnd) return false;
    const uint16_t crc = Crc16Words(image, codeEnd - 4, 0);
    image[codeEnd - 2] = static_cast<uint8_t>(crc >> 8);
    image[codeEnd - 1] = static_cast<uint8_t>(crc);
    return true;
}

std::string updateButtonCaption(const uint8_t* header, size_t headerLen) {
    int v[4] = {0, 0, 0, 0};
    if (header && headerLen >= kHeaderVersionOffset + 4) {
        const uint8_t* b = header + kHeaderVersionOffset;
        const bool ascii = b[0] >= '0' && b[0] <= '9';
        for (int i = 0; i < 4; ++i) v[i] = ascii ? b[i] - '0' : b[i];
    }
    char text[80];
    std::snprintf(text, sizeof text, "Update firmware to version %02d.%02d.%02d.%02d", v[0], v[1], v[2], v[3]);
    return text;
}

EmbeddedVersionCheck compareWithEmbedded(const uint8_t* info, size_t infoLen, const uint8_t* header, size_t headerLen) {
    if (!info || infoLen < 16 || info[0] != 0xF4 || info[1] != 0xE7 || !header ||
        headerLen < kHeaderVersionOffset + 4)
        return EmbeddedVersionCheck::Unreadable;
    const uint8_t* v = header + kHeaderVersionOffset;
    if (info[12] != v[0] || info[13] != v[1]) return EmbeddedVersionCheck::FirmwareIdMismatch;
    if (std::memcmp(info + 12, v, 4) == 0) return EmbeddedVersionCheck::AlreadyUpdated;
    return EmbeddedVersionCheck::UpdateOffered;
}

}  // namespace firmware
