#include "identify/chip_version.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "bridge/IDEAccess.h"

namespace IDEAccess {

using namespace vendor;

namespace {

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

bool carriesSignature(Path path, const CodeGate& g) {
    std::array<uint8_t, 1024> block{};
    bool ok = false;
    switch (g.where) {
        case SignatureIn::Register: ok = GetRegister(path, static_cast<uint16_t>(g.address), block.data(), g.readLen); break;
        case SignatureIn::Nvram: ok = QV_GetNVRAM_529(path, g.address, block.data(), g.readLen); break;
        case SignatureIn::Flash: ok = QV_SerialFlashRead(path, g.address, block.data(), g.readLen); break;
    }
    if (!ok) return false;
    const uint8_t* s = block.data() + g.offset;
    if (std::memcmp(s, g.mark, 4) != 0) return false;
    const std::string_view code(reinterpret_cast<const char*>(s + 4), 3);
    return std::any_of(g.codes.begin(), g.codes.end(), [&](std::string_view c) { return !c.empty() && c == code; });
}

bool runsExternalByGate(Path path, const CodeGate& g, std::string_view version, FlashType flashType) {
    uint8_t gate[4] = {};
    if (!GetRegister(path, g.gateRegister, gate, 4) || !(gate[g.gateByte] & g.gateMask)) return false;
    for (std::string_view v : g.internalVersions)
        if (!v.empty() && v == version) return false;
    if (g.statusFirst) {
        if (flashType == kFlashUnknown) return true;
        uint8_t status[20] = {};
        if (QV_GetChipStatus(path, status, 20) && status[8] != 0) return status[19] != 0;
    }
    return carriesSignature(path, g);
}

}  // namespace

std::string ChipLabel(Path path, ChipType type) {
    std::string label(chipDisplayName(type));
    if (chipRow(type).label != ChipLabelRule::ByStatusAndAltInfo) return label;
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
    const ChipRow& row = chipRow(type);
    switch (row.codeTest) {
        case CodeTest::Assumed: return true;
        case CodeTest::GateAndSignature: return runsExternalByGate(path, *row.gate, versionText, flashType);
        case CodeTest::Qvr296: {
            uint8_t status[32] = {};
            if (QV_GetChipStatus(path, status, 32) && status[19] == 1) return true;
            uint8_t alt[16] = {};
            if (QV_GetChipInfoAlt(path, alt, 16)) return true;
            return versionText != "00.00.00.01";
        }
        case CodeTest::ChipStatus19: {
            uint8_t status[20] = {};
            return QV_GetChipStatus(path, status, 20) && status[19] != 0;
        }
    }
    return true;
}

}  // namespace IDEAccess
