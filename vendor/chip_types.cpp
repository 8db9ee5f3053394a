#include "vendor/chip_types.h"

#include <array>

namespace vendor {

namespace {

using S = ChipSupport;
using F = FlashRoute;
using V = VersionForm;

constexpr std::array<ChipRow, kChipTypeCount> kChips{{
//   code   name                       support             nvram  flash                       para16 version
    {"",    "Unknown Chip",            S::Unsupported,     false, F::None,                     false, V::Default},            // 0
    {"552", "QV84552 Series",          S::FlashAndVersion, false, F::ModelChecks,              false, V::Default},            // 1
    {"559", "QV84559 Series",          S::VersionOnly,     false, F::None,                     false, V::Default},            // 2
    {"553", "QV84553 Series",          S::FlashAndVersion, false, F::ModelChecks,              false, V::Default},            // 3
    {"553", "QV84553A3 Series",        S::FlashAndVersion, false, F::ModelChecks,              false, V::Default},            // 4
    {"556", "QV84556 Series",          S::FlashAndVersion, false, F::ModelChecks,              false, V::Default},            // 5
    {"586", "QV84586 Series",          S::ByChipStatus,    false, F::None,                     false, V::Default},            // 6
    {"528", "QVD528 Series",           S::FlashAndVersion, true,  F::ModelChecks,              false, V::Default},            // 7
    {"525", "QVD525 Series",           S::FlashAndVersion, false, F::ChipReportOnSbp2,         false, V::Default},            // 8
    {"529", "QVD522/529 Series",       S::FlashAndVersion, true,  F::ChipReport,               false, V::MajorMinorAndThree}, // 9
    {"529", "QVD522/529 Series",       S::FlashAndVersion, true,  F::ChipReport,               false, V::MajorMinorAndThree}, // 10
    {"523", "QVD523 Series",           S::FlashAndVersion, true,  F::ModelChecks,              false, V::FiveDigits},         // 11
    {"227", "QVR227/256 Series",       S::FlashAndVersion, true,  F::ChipReportThenChkIdFromRev5, false, V::Register506A},    // 12
    {"256", "QVR256 Series",           S::FlashAndVersion, true,  F::ChipReportThenChkId,      true,  V::Default},            // 13
    {"296", "QVR290/293/299 Series",   S::FlashAndVersion, true,  F::ChipReportThenChkId,      true,  V::FourCharsIfAlt},     // 14
    {"297", "QVR297 Series",           S::FlashAndVersion, false, F::ChipReportThenReadId,     true,  V::FourCharsIfC6Is2},   // 15
    {"298", "QVR298 Series",           S::FlashAndVersion, false, F::ChipReportThenReadId,     true,  V::FourCharsIfC6Is2},   // 16
    {"295", "QVR295 Series",           S::FlashAndVersion, false, F::ChipReportThenReadId,     true,  V::FourCharsIfC6Is2},   // 17
    {"292", "QVR292 Series",           S::FlashAndVersion, false, F::ChipReportThenReadId,     true,  V::FourCharsIfC6Is2},   // 18
    {"523", "QVR256/523 Series",       S::Unsupported,     false, F::None,                     false, V::Default},            // 19
    {"528", "QVR256/528 Series",       S::Unsupported,     false, F::None,                     false, V::Default},            // 20
    {"529", "QVR256/522 Series",       S::Unsupported,     false, F::None,                     false, V::Default},            // 21
    {"529", "QVR256/529 Series",       S::Unsupported,     false, F::None,                     false, V::Default},            // 22
    {"528", "QVR256/528 Series",       S::Unsupported,     false, F::None,                     false, V::Default},            // 23
    {"529", "QVR256/522 Series",       S::Unsupported,     false, F::None,                     false, V::Default},            // 24
    {"529", "QVR256/529 Series",       S::Unsupported,     false, F::None,                     false, V::Default},            // 25
    {"294", "QVR256A->QVR294 Series",  S::FlashAndVersion, false, F::ModelChecks,              false, V::Register506A},       // 26
    {"253", "QVR253 Series",           S::FlashAndVersion, true,  F::ChipReportThenChkId,      true,  V::Default},            // 27
    {"276", "QVD276 Series",           S::FlashAndVersion, false, F::ModelChecks,              false, V::Default},            // 28
    {"246", "QVD246 Series",           S::ByChipStatus,    false, F::None,                     false, V::Default},            // 29
    {"556", "QV84556 Series",          S::FlashAndVersion, false, F::ModelChecks,              false, V::Default},            // 30
    {"553", "QV84553",                 S::Unsupported,     false, F::None,                     false, V::Default},            // 31
    {"550", "QV84550",                 S::Unsupported,     false, F::None,                     false, V::Default},            // 32
    {"556", "QV84556",                 S::Unsupported,     false, F::None,                     false, V::Default},            // 33
    {"552", "QV84552",                 S::Unsupported,     false, F::None,                     false, V::Default},            // 34
    {"559", "QV84559",                 S::VersionOnly,     false, F::None,                     false, V::Default},            // 35
}};

template <typename Code>
uint8_t firstWithCode(std::string_view code, int count, Code codeOf) {
    if (code.size() < 3) return 0;
    code = code.substr(0, 3);
    for (int t = 1; t < count; ++t)
        if (codeOf(t) == code) return static_cast<uint8_t>(t);
    return 0;
}

}  // namespace

const char tbl_QVChipString[kQVChipTypeCount][10] = {
    "",    "552", "559", "553", "556", "586", "528", "525", "529", "529",  // 0-9
    "523", "227", "256", "523", "528", "253", "276", "246", "556", "296",  // 10-19
    "297", "298", "292", "553", "550", "556", "552", "559",                // 20-27
};

std::span<const ChipRow, kChipTypeCount> chipTable() { return kChips; }

const ChipRow& chipRow(ChipType type) { return type < kChipTypeCount ? kChips[type] : kChips[0]; }

std::string_view chipDisplayName(ChipType type) { return chipRow(type).name; }

ChipType chipTypeOfCode(std::string_view code) {
    return firstWithCode(code, kChipTypeCount, [](int t) { return kChips[static_cast<size_t>(t)].code; });
}

QVChipType qvChipTypeOfCode(std::string_view code) {
    return firstWithCode(code, kQVChipTypeCount,
                         [](int t) { return std::string_view(tbl_QVChipString[t]); });
}

}  // namespace vendor
