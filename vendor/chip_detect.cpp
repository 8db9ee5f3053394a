#include "vendor/chip_detect.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sys/message_box.h"
#include "vendor/IDEAccess.h"

namespace vendor {

namespace {

constexpr int kInquiryLen = 40;
constexpr int kChipInfoLen = 16;
constexpr int kChipInfoShortLen = 12;
constexpr int kOddInquiryLen = 40;

bool hasChipInfoSignature(const uint8_t* info) { return info[0] == 0xF4 && info[1] == 0xE7; }

// How an ODD chip string sets the revision from its byte 5 (byte arithmetic, as the chips
// count: '0' gives 1).
enum class OddRevision : uint8_t { FromDigit, Kept, NextByte, FromDigitOrOne };

struct OddString {
    std::string_view text;     // compared over its own length
    uint8_t type[2];           // Windows, macOS; 0 = not compared by that program
    OddRevision revision;
};

// First match wins, in this order.
constexpr OddString kOddStrings[] = {
//   string     win mac  revision from byte 5
    {"q552C",   {1,  1},  OddRevision::FromDigit},
    {"q553A3",  {4,  0},  OddRevision::Kept},
    {"q556C",   {5,  4},  OddRevision::FromDigit},
    {"q556E",   {30, 18}, OddRevision::NextByte},
    {"q276A",   {28, 16}, OddRevision::FromDigit},
    {"q528",    {7,  6},  OddRevision::FromDigitOrOne},
    {"q8523",   {11, 10}, OddRevision::FromDigit},
};

uint8_t oddRevision(OddRevision rule, uint8_t byte5, uint8_t current) {
    switch (rule) {
        case OddRevision::FromDigit: return static_cast<uint8_t>(byte5 - 47);
        case OddRevision::Kept: return current;
        case OddRevision::NextByte: return static_cast<uint8_t>(byte5 + 1);
        case OddRevision::FromDigitOrOne: return byte5 == 0 ? 1 : static_cast<uint8_t>(byte5 - 47);
    }
    return current;
}

// Steps 1 to 4: the vendor inquiry code, then the chip information record, then GPIO.
ChipId identifyByCode(BridgePort& port, const ChipBinding& b) {
    uint8_t inq[kInquiryLen] = {};
    if (!port.inquiry(inq, kInquiryLen)) return {};
    if (inq[36] == 'q') {
        const std::string_view code(reinterpret_cast<const char*>(inq + 37), 3);
        if (const uint8_t t = b.typeOfCode(code)) return {t, 0};
        // The QVD522 reports itself under its own number, which has no row of its own.
        if (code == "522") return {b.qvd529Type, 0};
    }

    uint8_t gpio[2] = {};
    if (!port.getGpio(gpio)) return {};
    uint8_t info[kChipInfoLen] = {};
    if (!port.getChipInfo(info, kChipInfoLen, nullptr)) return {};

    if (!hasChipInfoSignature(info)) {
        // The QV8455x bridges without chip information tell their model by two strap pins.
        const unsigned word = gpio[0] | (gpio[1] << 8);
        return {static_cast<uint8_t>(b.gpioBase + ((word >> 5) & 3)), 0};
    }
    char vendorText[8] = {};
    char productText[8] = {};
    std::snprintf(vendorText, sizeof vendorText, "%X%X", info[2], info[3]);
    std::snprintf(productText, sizeof productText, "%X%X", info[4], info[5]);
    if (std::strstr(vendorText, "728D") && std::strstr(productText, "5E2A")) return {b.usbIdType, 0};

    const std::string_view code(reinterpret_cast<const char*>(info + 8), 3);
    uint8_t type = b.typeOfCode(code);
    if (type == 0 && code == "355") type = b.qvd529Type;
    return {type, static_cast<uint8_t>(info[11] - '0')};
}

void refineByOddString(BridgePort& port, const ChipBinding& b, ChipId& id) {
    uint8_t odd[kOddInquiryLen] = {};
    if (!port.oddInquiry(odd, kOddInquiryLen)) {
        if (id.type == 1) id.revision = 1;
        return;
    }
    const int column = static_cast<int>(b.program);
    for (const OddString& s : kOddStrings) {
        const uint8_t type = s.type[column];
        if (type == 0) continue;
        if (std::memcmp(odd, s.text.data(), s.text.size()) != 0) continue;
        id.type = type;
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
            id.type = b.qvr294Type;
            return;
        }
    }
    if (check256B4Version(port)) id.revision = 5;
}

}  // namespace

const ChipBinding kWindowsChipBinding{
    Program::Windows, chipTypeOfCode, 9, 35, 31, {0, 1, 3, 5, 7, 11, 28}, 8, true, 12, true, 26,
};
const ChipBinding kMacChipBinding{
    Program::Mac, qvChipTypeOfCode, 8, 27, 23, {0, 1, 3, 4, 6, 10, 16}, 7, false, 11, false, 0,
};

ChipId detectChip(BridgePort& port, const ChipBinding& b) {
    ChipId id = identifyByCode(port, b);
    if (std::find(b.oddTypes.begin(), b.oddTypes.end(), id.type) != b.oddTypes.end())
        refineByOddString(port, b, id);
    else if (id.type == b.revisionCheckType)
        refineQvd525Revision(port, b, id);
    else if (id.type == b.b4Type)
        refineQvr227(port, b, id);
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
