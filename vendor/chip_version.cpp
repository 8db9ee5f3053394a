#include "vendor/chip_version.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "vendor/IDEAccess.h"

namespace IDEAccess {

using namespace vendor;

namespace {

constexpr uint8_t kSignatureMark[4] = {0x55, 0xAA, 0xAA, 0x55};
constexpr uint8_t kFlashCodeMark[4] = {0x55, 0xAA, 0x51, 0x56};   // 55 AA 'Q' 'V'

bool hasChipInfoSignature(const uint8_t* info) { return info[0] == 0xF4 && info[1] == 0xE7; }

template <typename... Args>
std::string format(const char* fmt, Args... args) {
    char text[64] = {};
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

std::string digits4(const uint8_t* c) { return format("%.2d.%.2d.%.2d.%.2d", c[12], c[13], c[14], c[15]); }

// Bytes 12-15 as characters. The text ends at a zero byte, as the chip's firmware means it.
std::string chars4(const uint8_t* c) {
    std::string s;
    for (int i = 12; i < 16; ++i) {
        if (i > 12) s.push_back('.');
        if (c[i] == 0) break;
        s.push_back(static_cast<char>(c[i]));
    }
    return s;
}

std::string versionText(Path path, ChipType type, const uint8_t* c, int reported) {
    switch (chipRow(type).version) {
        case VersionForm::Default:
            return reported < 13 ? format("%d.%.2d", c[6], c[7]) : format("%d.%.2d.%.2d", c[12], c[13], c[14]);
        case VersionForm::MajorMinorAndThree:
            return format("%d.%.2d.%.2d.%.2d.%.2d", c[6], c[7], c[12], c[13], c[14]);
        case VersionForm::Register506A: {
            const uint8_t last = ProbeRegister506A(path) ? static_cast<uint8_t>(c[14] ^ 1) : c[14];
            return format("%d.%.2d.%.2d.%.2d.%.2d", c[6], c[7], c[12], c[13], last);
        }
        case VersionForm::FiveDigits:
            return format("%.2d.%.2d.%.2d.%.2d.%.2d", c[10], c[11], c[12], c[13], c[14]);
        case VersionForm::FourCharsIfAlt: {
            uint8_t alt[16] = {};
            return QV_GetChipInfoAlt(path, alt, 16) ? chars4(c) : digits4(c);
        }
        case VersionForm::FourCharsIfC6Is2:
            return c[6] == 2 ? chars4(c) : digits4(c);
    }
    return {};
}

// --- the internal-code test ---

enum class SignatureIn : uint8_t { Register, Nvram, Flash };

struct ExternalCodeRow {
    ChipType type;
    uint16_t gateRegister;   // 4 bytes read; the chip runs flash code only with this bit set
    uint8_t gateByte;
    uint8_t gateMask;
    std::array<std::string_view, 5> internalVersions;   // versions of the internal code itself
    SignatureIn where;
    uint32_t address;
    uint16_t readLen;
    uint16_t offset;         // of the signature inside what is read
    const uint8_t* mark;
    std::array<std::string_view, 2> codes;
    bool statusFirst;        // QVR256/253: flash type and chip status may decide before the signature
};

constexpr ExternalCodeRow kExternalCode[] = {
//   type gate    byte mask  internal code versions                                                            signature in          addr    len   offset mark            codes          status
    {5,  0x7038, 2, 0x01, {},                                                                                SignatureIn::Register, 0xC000, 10,   0,     kSignatureMark, {"556"},        false},
    {7,  0x7038, 2, 0x04, {},                                                                                SignatureIn::Register, 0xC000, 10,   0,     kSignatureMark, {"528"},        false},
    {9,  0x7038, 2, 0x04, {"7.07.00.16.00", "11.19.02.16.00", "4.10.02.16.00"},                              SignatureIn::Nvram,    0x1000, 1024, 0,     kSignatureMark, {"529", "522"}, false},
    {10, 0x7038, 2, 0x04, {"7.07.00.16.00", "11.19.02.16.00", "4.10.02.16.00"},                              SignatureIn::Nvram,    0x1000, 1024, 0,     kSignatureMark, {"529", "522"}, false},
    {12, 0x7038, 2, 0x10, {"9.18.01.16.00", "12.01.02.16.00", "2.05.11.16.00", "4.08.11.16.00", "5.13.11.16.00"}, SignatureIn::Nvram, 0x1000, 1024, 0,     kSignatureMark, {"227"},        false},
    {13, 0x70F0, 3, 0x01, {"49.48.48.48", "49.48.48.49"},                                                    SignatureIn::Nvram,    0xBC00, 1024, 1012,  kSignatureMark, {"256"},        true},
    {27, 0x70F0, 3, 0x01, {"49.48.48.48", "49.48.48.49"},                                                    SignatureIn::Nvram,    0x7C00, 1024, 1012,  kSignatureMark, {"253"},        true},
    {28, 0x7038, 2, 0x01, {"2.00.00", "0.160.144"},                                                          SignatureIn::Flash,    0x4000, 1024, 0,     kFlashCodeMark, {"276"},        false},
    {30, 0x7038, 2, 0x01, {"2.00.00", "0.160.144"},                                                          SignatureIn::Flash,    0x4000, 1024, 0,     kFlashCodeMark, {"556"},        false},
};

constexpr bool signaturesInsideReads() {
    for (const ExternalCodeRow& r : kExternalCode)
        if (r.offset + 7 > r.readLen || r.readLen > 1024 || r.gateByte >= 4) return false;
    return true;
}
static_assert(signaturesInsideReads());

bool carriesSignature(Path path, const ExternalCodeRow& r) {
    std::array<uint8_t, 1024> block{};
    bool ok = false;
    switch (r.where) {
        case SignatureIn::Register: ok = GetRegister(path, static_cast<uint16_t>(r.address), block.data(), r.readLen); break;
        case SignatureIn::Nvram: ok = QV_GetNVRAM_529(path, r.address, block.data(), r.readLen); break;
        case SignatureIn::Flash: ok = QV_SerialFlashRead(path, r.address, block.data(), r.readLen); break;
    }
    if (!ok) return false;
    const uint8_t* s = block.data() + r.offset;
    if (std::memcmp(s, r.mark, 4) != 0) return false;
    const std::string_view code(reinterpret_cast<const char*>(s + 4), 3);
    return std::any_of(r.codes.begin(), r.codes.end(), [&](std::string_view c) { return !c.empty() && c == code; });
}

bool runsExternalByTable(Path path, const ExternalCodeRow& r, std::string_view version, FlashType flashType) {
    uint8_t gate[4] = {};
    if (!GetRegister(path, r.gateRegister, gate, 4) || !(gate[r.gateByte] & r.gateMask)) return false;
    for (std::string_view v : r.internalVersions)
        if (!v.empty() && v == version) return false;
    if (r.statusFirst) {
        if (flashType == kFlashUnknown) return true;
        uint8_t status[20] = {};
        if (QV_GetChipStatus(path, status, 20) && status[8] != 0) return status[19] != 0;
    }
    return carriesSignature(path, r);
}

}  // namespace

std::string ChipLabel(Path path, ChipType type) {
    std::string label(chipDisplayName(type));
    if (type != kChipQVR296) return label;
    uint8_t status[32] = {};
    if (QV_GetChipStatus(path, status, 32)) label = status[8] == 1 ? "QVR293/290 Series" : "QVR299 Series";
    uint8_t alt[16] = {};
    if (QV_GetChipInfoAlt(path, alt, 16)) label = "QVR296 Series";
    return label;
}

ChipPresentation ChipSupportOf(Path path, ChipType type) {
    const ChipRow& row = chipRow(type);
    ChipPresentation p;
    p.offersNvram = row.offersNvram;
    switch (row.support) {
        case ChipSupport::FlashAndVersion:
            p.showFlash = p.showVersion = true;
            return p;
        case ChipSupport::VersionOnly:
            p.showVersion = true;
            return p;
        case ChipSupport::Unsupported:
            p.statusText = kChipNotSupportedText;
            return p;
        case ChipSupport::ByChipStatus: break;
    }
    uint8_t status[20] = {};
    if (!QV_GetChipStatus(path, status, 20) || status[8] == 0) {
        p.decided = false;
        return p;
    }
    p.configByte = (status[8] == 0xAB && status[18] > 209) ? status[18] : status[8];
    if (p.configByte < 208) p.statusText = kChipNotSupportedText;
    else p.showVersion = true;
    return p;
}

FirmwareVersionText FormatFirmwareVersion(Path path, ChipType type, FlashType flashType) {
    FirmwareVersionText out;
    uint8_t info[16] = {};
    int reported = 0;
    if (!QV_GetChipInfo(path, info, 16, &reported)) return out;
    if (!hasChipInfoSignature(info)) {
        out.statusText = kNotCorvaneChipText;
        return out;
    }
    out.shown = true;
    out.text = versionText(path, type, info, reported);
    if (!RunsExternalCode(path, type, out.text, flashType)) out.text = kInternalCodeText;
    return out;
}

bool ProbeRegister506A(Path path) {
    constexpr uint16_t kRegister = 0x506A;
    uint8_t original = 0;
    // Without the original value there is nothing to restore, so nothing is written.
    if (!GetRegister(path, kRegister, &original, 1)) return false;
    bool holds = false;
    const uint8_t zero = 0;
    if (SetRegister(path, kRegister, &zero, 1)) {
        uint8_t again = 0;
        holds = GetRegister(path, kRegister, &again, 1) && again == 1;
    }
    const uint8_t restore = holds ? static_cast<uint8_t>(original ^ 1) : original;
    SetRegister(path, kRegister, &restore, 1);
    return holds;
}

bool RunsExternalCode(Path path, ChipType type, std::string_view versionText, FlashType flashType) {
    for (const ExternalCodeRow& r : kExternalCode)
        if (r.type == type) return runsExternalByTable(path, r, versionText, flashType);

    if (type == kChipQVR296) {
        uint8_t status[32] = {};
        if (QV_GetChipStatus(path, status, 32) && status[19] == 1) return true;
        uint8_t alt[16] = {};
        if (QV_GetChipInfoAlt(path, alt, 16)) return true;
        return versionText != "00.00.00.01";
    }
    if (type >= 15 && type <= 18) {
        uint8_t status[20] = {};
        return QV_GetChipStatus(path, status, 20) && status[19] != 0;
    }
    return true;
}

}  // namespace IDEAccess
