#include "identify/chip_detect.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sys/message_box.h"
#include "bridge/IDEAccess.h"

namespace vendor {

namespace {

constexpr int kInquiryLen = 40;
constexpr int kChipInfoLen = 16;
constexpr int kChipInfoShortLen = 12;
constexpr int kOddInquiryLen = 40;

bool hasChipInfoSignature(const uint8_t* info) { return info[0] == 0xF4 && info[1] == 0xE7; }

uint8_t oddRevision(OddRevision rule, uint8_t byte5, uint8_t current) {
    switch (rule) {
        case OddRevision::FromDigit: return static_cast<uint8_t>(byte5 - 47);
        case OddRevision::Kept: return current;
        case OddRevision::NextByte: return static_cast<uint8_t>(byte5 + 1);
        case OddRevision::FromDigitOrOne: return byte5 == 0 ? 1 : static_cast<uint8_t>(byte5 - 47);
    }
    return current;
}

bool hasNumber(const ChipRow& r, Program p) { return numberOf(r, p) != kNoMacType; }

// The program's number of the first row whose code equals the first three characters of `code`,
// or 0; the macOS program knows only the rows that carry a macOS number.
uint8_t typeOfCode(std::string_view code, Program p) {
    return p == Program::Windows ? chipTypeOfCode(code) : qvChipTypeOfCode(code);
}

// The program's number of the first row that `pick` chooses, or 0.
template <typename Pick>
uint8_t firstRow(Program p, Pick pick) {
    for (const ChipRow& r : chipTable())
        if (hasNumber(r, p) && pick(r)) return numberOf(r, p);
    return 0;
}

// Steps 1 to 4: the vendor inquiry code, then the chip information record, then GPIO.
ChipId identifyByCode(BridgePort& port, const ChipBinding& b) {
    const Program p = b.program;
    uint8_t inq[kInquiryLen] = {};
    if (!port.inquiry(inq, kInquiryLen)) return {};
    if (inq[36] == 'q') {
        const std::string_view code(reinterpret_cast<const char*>(inq + 37), 3);
        if (const uint8_t t = typeOfCode(code, p)) return {t, 0};
        // A model that reports itself under a number of its own, which has no row of its own.
        if (const uint8_t t = firstRow(p, [&](const ChipRow& r) { return r.identity.inquiryAlias == code; }))
            return {t, 0};
    }

    uint8_t gpio[2] = {};
    if (!port.getGpio(gpio)) return {};
    uint8_t info[kChipInfoLen] = {};
    if (!port.getChipInfo(info, kChipInfoLen, nullptr)) return {};

    if (!hasChipInfoSignature(info)) {
        // The QV8455x bridges without chip information tell their model by two strap pins.
        const unsigned word = gpio[0] | (gpio[1] << 8);
        const int straps = static_cast<int>((word >> 5) & 3);
        return {firstRow(p, [&](const ChipRow& r) { return r.identity.gpio == straps; }), 0};
    }
    char vendorText[8] = {};
    char productText[8] = {};
    std::snprintf(vendorText, sizeof vendorText, "%X%X", info[2], info[3]);
    std::snprintf(productText, sizeof productText, "%X%X", info[4], info[5]);
    if (std::strstr(vendorText, "728D") && std::strstr(productText, "5E2A"))
        return {firstRow(p, [](const ChipRow& r) { return r.identity.byUsbIds; }), 0};

    const std::string_view code(reinterpret_cast<const char*>(info + 8), 3);
    uint8_t type = typeOfCode(code, p);
    if (type == 0) type = firstRow(p, [&](const ChipRow& r) { return r.identity.infoAlias == code; });
    return {type, static_cast<uint8_t>(info[11] - '0')};
}

// The ODD chip string is asked for by the unknown type and by every type a code lookup gives for
// a code that an ODD-string model shares: the string then tells the models of that code apart.
bool asksOddString(const ChipBinding& b, uint8_t type) {
    if (type == 0) return true;
    for (const ChipRow& r : chipTable())
        if (!r.identity.odd.text.empty() && typeOfCode(r.code, b.program) == type) return true;
    return false;
}

void refineByOddString(BridgePort& port, const ChipBinding& b, ChipId& id) {
    uint8_t odd[kOddInquiryLen] = {};
    if (!port.oddInquiry(odd, kOddInquiryLen)) {
        if (const uint8_t r = rowOf(id.type, b.program).identity.odd.revisionUnanswered) id.revision = r;
        return;
    }
    for (const ChipRow& r : chipTable()) {
        const OddString& s = r.identity.odd;
        if (s.text.empty() || !hasNumber(r, b.program)) continue;
        if (std::memcmp(odd, s.text.data(), s.text.size()) != 0) continue;
        id.type = numberOf(r, b.program);
        id.revision = oddRevision(s.revision, odd[5], id.revision);
        return;
    }
}

void refineQvd525Revision(BridgePort& port, const ChipBinding& b, ChipId& id) {
    uint8_t info[kChipInfoShortLen] = {};
    if (port.getChipInfo(info, kChipInfoShortLen, nullptr) && hasChipInfoSignature(info)) {
        if (info[11] == '1') { id.revision = 1; return; }
        if (info[11] == '2') { id.revision = 2; return; }
    }
    if (b.revisionFailureShown) sys::messageBox("Get chip information fail !", "Error", sys::MsgIcon::Error);
}

void refineQvr227(BridgePort& port, const ChipBinding& b, ChipId& id) {
    if (b.probeQvr294) {
        // A QVR256A that answers the QVR294 buffer upload is updated as a QVR294.
        uint8_t buf[512] = {};
        if (port.bufferUpload294(buf)) {
            id.type = typeOfCode("294", b.program);
            return;
        }
    }
    if (check256B4Version(port)) id.revision = 5;
}

}  // namespace

const ChipBinding kWindowsChipBinding{Program::Windows, true, true};
const ChipBinding kMacChipBinding{Program::Mac, false, false};

ChipId detectChip(BridgePort& port, const ChipBinding& b) {
    ChipId id = identifyByCode(port, b);
    if (asksOddString(b, id.type)) {
        refineByOddString(port, b, id);
        return id;
    }
    switch (rowOf(id.type, b.program).identity.refine) {
        case Refine::Qvd525Revision: refineQvd525Revision(port, b, id); break;
        case Refine::Qvr227: refineQvr227(port, b, id); break;
        case Refine::None: break;
    }
    return id;
}

bool is298RunMfgCode(BridgePort& port) {
    uint8_t info[kChipInfoLen] = {};
    return port.getChipInfo(info, kChipInfoLen, nullptr) && info[6] == 2 && info[7] == 0;
}

bool check256B4Version(BridgePort& port) {
    uint8_t reg[4] = {};
    return port.getRegister(0xFDB0, reg, 4) && reg[1] >= 0xB4;
}

}  // namespace vendor

namespace IDEAccess {

vendor::ChipId DetectChipType(Path path) {
    vendor::WinPort port(path);
    return vendor::detectChip(port, vendor::kWindowsChipBinding);
}

bool Is298RunMfgCode(Path path) {
    vendor::WinPort port(path);
    return vendor::is298RunMfgCode(port);
}

bool QV_Check256B4Version(Path path) {
    vendor::WinPort port(path);
    return vendor::check256B4Version(port);
}

bool IsRegister505EReady(Path path) {
    uint8_t reg[4] = {};
    return GetRegister(path, 0x505E, reg, 4) && reg[1] == 0 && reg[2] == 1;
}

}  // namespace IDEAccess

namespace qvaccess {

uint64_t QV_GetChipID_Version(Device dev) {
    vendor::MacPort port(dev);
    return vendor::detectChip(port, vendor::kMacChipBinding).wide();
}

bool Is298RunMfgCode(Device dev) {
    vendor::MacPort port(dev);
    return vendor::is298RunMfgCode(port);
}

bool QV_Check256B4Version(Device dev) {
    vendor::MacPort port(dev);
    return vendor::check256B4Version(port);
}

}  // namespace qvaccess
