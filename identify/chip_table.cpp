#include "identify/chip_table.h"

#include <initializer_list>

namespace vendor {

namespace {

using S = ChipSupport;
using F = FlashRoute;
using V = VersionForm;
using R = FileRule;
using P = RunProcedure;
using L = FlashLayout;
using O = OddRevision;

constexpr uint8_t kSignatureMark[4] = {0x55, 0xAA, 0xAA, 0x55};
constexpr uint8_t kFlashCodeMark[4] = {0x55, 0xAA, 0x51, 0x56};   // 55 AA 'Q' 'V'

// The internal-code tests: the register bit a running firmware raises, the versions of the
// internal code itself, and where the flash code's signature block is looked for.
//                         gate    byte mask  internal code versions                                               signature in          addr    len   offset mark            codes          status
constexpr CodeGate k556  {0x7038, 2, 0x01, {},                                                                      SignatureIn::Register, 0xC000, 10,   0,     kSignatureMark, {"556"},        false};
constexpr CodeGate k528  {0x7038, 2, 0x04, {},                                                                      SignatureIn::Register, 0xC000, 10,   0,     kSignatureMark, {"528"},        false};
constexpr CodeGate k529  {0x7038, 2, 0x04, {"7.07.00.16.00", "11.19.02.16.00", "4.10.02.16.00"},                    SignatureIn::Nvram,    0x1000, 1024, 0,     kSignatureMark, {"529", "522"}, false};
constexpr CodeGate k227  {0x7038, 2, 0x10, {"9.18.01.16.00", "12.01.02.16.00", "2.05.11.16.00", "4.08.11.16.00", "5.13.11.16.00"},
                                                                                                                    SignatureIn::Nvram,    0x1000, 1024, 0,     kSignatureMark, {"227"},        false};
constexpr CodeGate k256  {0x70F0, 3, 0x01, {"49.48.48.48", "49.48.48.49"},                                          SignatureIn::Nvram,    0xBC00, 1024, 1012,  kSignatureMark, {"256"},        true};
constexpr CodeGate k253  {0x70F0, 3, 0x01, {"49.48.48.48", "49.48.48.49"},                                          SignatureIn::Nvram,    0x7C00, 1024, 1012,  kSignatureMark, {"253"},        true};
constexpr CodeGate k276  {0x7038, 2, 0x01, {"2.00.00", "0.160.144"},                                                SignatureIn::Flash,    0x4000, 1024, 0,     kFlashCodeMark, {"276"},        false};
constexpr CodeGate k556E {0x7038, 2, 0x01, {"2.00.00", "0.160.144"},                                                SignatureIn::Flash,    0x4000, 1024, 0,     kFlashCodeMark, {"556"},        false};

constexpr bool signaturesInsideReads(std::initializer_list<const CodeGate*> gates) {
    for (const CodeGate* g : gates)
        if (g->offset + 7 > g->readLen || g->readLen > 1024 || g->gateByte >= 4) return false;
    return true;
}
static_assert(signaturesInsideReads({&k556, &k528, &k529, &k227, &k256, &k253, &k276, &k556E}));

// Where the files of the single-bank and two-bank layouts keep their signature block: 16 bytes
// before the end of the code region.
constexpr SignatureLocation kBefore(uint32_t codeEnd) { return {codeEnd - 16, true}; }

// The "Run" dispatch: the usual procedure, and the probes that change it.
constexpr RunRoute run(P usual) { return {usual, {}, 0}; }
constexpr RunRoute run(P usual, RunStep a) { return {usual, {a, {}}, 1}; }
constexpr RunRoute run(P usual, RunStep a, RunStep b) { return {usual, {a, b}, 2}; }
constexpr RunStep kSstWrite{RunProbe::Sst25, P::Sst};

constexpr std::array<ChipRow, kChipTypeCount> kChips{{
    {.win = 0, .mac = 0, .name = "Unknown Chip", .fileCheck = FileCheck::None},

    // The QV8455x bridges: serial flash, NVRAM first, the legacy procedure.
    {.win = 1, .mac = 1, .code = "552", .name = "QV84552 Series", .family = "QV8455x",
     .identity = {.odd = {"q552C", O::FromDigit, 1}},
     .support = S::FlashAndVersion, .flash = F::ModelChecks, .layout = L::NvramFirst,
     .file = {.rule = R::Qv84552}, .run = run(P::Legacy, kSstWrite), .read = ReadRoute::SerialFlash},
    {.win = 2, .mac = 2, .code = "559", .name = "QV84559 Series", .family = "QV84559",
     .support = S::VersionOnly, .layout = L::NvramFirst, .file = {.rule = R::NotSameFirstTwo}},
    {.win = 3, .mac = 3, .code = "553", .name = "QV84553 Series", .family = "QV8455x",
     .support = S::FlashAndVersion, .flash = F::ModelChecks, .layout = L::NvramFirst,
     .file = {.rule = R::Any}, .run = run(P::Legacy, kSstWrite), .read = ReadRoute::SerialFlash},
    {.win = 4, .code = "553", .name = "QV84553A3 Series", .family = "QV8455x",
     .identity = {.odd = {"q553A3", O::Kept}},
     .support = S::FlashAndVersion, .flash = F::ModelChecks, .layout = L::NvramFirst,
     .file = {.rule = R::Any}, .run = run(P::Legacy, kSstWrite), .read = ReadRoute::SerialFlash},
    {.win = 5, .mac = 4, .code = "556", .name = "QV84556 Series", .family = "QV8455x",
     .identity = {.odd = {"q556C", O::FromDigit}},
     .support = S::FlashAndVersion, .codeTest = CodeTest::GateAndSignature, .gate = &k556,
     .flash = F::ModelChecks, .layout = L::NvramFirst,
     .file = {.rule = R::CodeAndRevisionDigit}, .run = run(P::Legacy, kSstWrite), .read = ReadRoute::SerialFlash},
    {.win = 6, .mac = 5, .code = "586", .name = "QV84586 Series", .family = "QV84586",
     .support = S::ByChipStatus, .layout = L::NvramFirst, .file = {.rule = R::Code}},

    // The QVD52x bridges.
    {.win = 7, .mac = 6, .code = "528", .name = "QVD528 Series", .family = "QVD528",
     .identity = {.odd = {"q528", O::FromDigitOrOne}},
     .support = S::FlashAndVersion, .offersNvram = true, .codeTest = CodeTest::GateAndSignature, .gate = &k528,
     .flash = F::ModelChecks, .layout = L::NvramFirst,
     .file = {.rule = R::RevisionByte, .nvramFirst = true}, .run = run(P::Series528), .read = ReadRoute::SerialFlash,
     .macUpdate = MacUpdate::Qvd528},
    {.win = 8, .mac = 7, .code = "525", .name = "QVD525 Series", .family = "QVD525",
     .identity = {.refine = Refine::Qvd525Revision},
     .support = S::FlashAndVersion, .flash = F::ChipReportOnSbp2, .layout = L::NvramFirst,
     .file = {.rule = R::Qvd525Marks}, .run = run(P::Legacy, {RunProbe::Ieee1394, P::Qvd525Over1394}, kSstWrite),
     .read = ReadRoute::SerialFlash},
    {.win = 9, .mac = 8, .code = "529", .name = "QVD522/529 Series", .family = "QVD529",
     .identity = {.inquiryAlias = "522", .infoAlias = "355"},
     .support = S::FlashAndVersion, .offersNvram = true, .version = V::MajorMinorAndThree,
     .codeTest = CodeTest::GateAndSignature, .gate = &k529, .flash = F::ChipReport, .layout = L::NvramFirst,
     .file = {.rule = R::Code, .nvramFirst = true}, .run = run(P::DirectUpdate), .read = ReadRoute::Direct},
    {.win = 10, .mac = 9, .code = "529", .name = "QVD522/529 Series", .family = "QVD529",
     .support = S::FlashAndVersion, .offersNvram = true, .version = V::MajorMinorAndThree,
     .codeTest = CodeTest::GateAndSignature, .gate = &k529, .flash = F::ChipReport, .layout = L::NvramFirst,
     .file = {.rule = R::Code, .nvramFirst = true}, .run = run(P::DirectUpdate), .read = ReadRoute::Direct},
    {.win = 11, .mac = 10, .code = "523", .name = "QVD523 Series", .family = "QVD523",
     .identity = {.odd = {"q8523", O::FromDigit}},
     .support = S::FlashAndVersion, .offersNvram = true, .version = V::FiveDigits,
     .flash = F::ModelChecks, .layout = L::NvramFirst,
     .file = {.rule = R::Code, .nvramFirst = true, .blockAt128 = true},
     .run = run(P::Series528, {RunProbe::FileTooBig, P::FileTooBig}, {RunProbe::SstFlash, P::Sst}),
     .series528 = Series528Rules::Qvd523, .read = ReadRoute::SerialFlash},

    // The direct-command families: QVR227, the single-bank QVR256/QVR296 and the QVR29x.
    {.win = 12, .mac = 11, .code = "227", .name = "QVR227/256 Series", .family = "QVR227",
     .identity = {.refine = Refine::Qvr227},
     .support = S::FlashAndVersion, .offersNvram = true, .version = V::Register506A,
     .codeTest = CodeTest::GateAndSignature, .gate = &k227, .flash = F::ChipReportThenChkIdFromRev5,
     .layout = L::NvramFirst, .file = {.rule = R::Code, .nvramFirst = true}, .fileCarriesNvram = true,
     .run = run(P::DirectUpdate, {RunProbe::Old227, P::Series528}, kSstWrite), .flashPrepare = true,
     .read = ReadRoute::Direct},
    {.win = 13, .mac = 12, .code = "256", .name = "QVR256 Series", .family = "QVR256",
     .support = S::FlashAndVersion, .offersNvram = true, .codeTest = CodeTest::GateAndSignature, .gate = &k256,
     .flash = F::ChipReportThenChkId, .flashParameter16Bit = true,
     .layout = L::SingleBank, .codeEnd = 0xC000, .nvram = {0xC000, 2},
     .file = {kBefore(0xC000), R::Code, true}, .fileCarriesNvram = true,
     .run = run(P::DirectUpdate), .resetsAfterUpdate = true, .read = ReadRoute::Direct, .macUpdate = MacUpdate::Qvd529},
    {.win = 14, .mac = 19, .code = "296", .name = "QVR290/293/299 Series", .family = "QVR296",
     .support = S::FlashAndVersion, .offersNvram = true, .label = ChipLabelRule::ByStatusAndAltInfo,
     .version = V::FourCharsIfAlt, .codeTest = CodeTest::Qvr296,
     .flash = F::ChipReportThenChkId, .flashParameter16Bit = true,
     .layout = L::SingleBank, .codeEnd = 0xC000, .nvram = {0xC000, 1},
     .file = {kBefore(0xC000), R::Code, true}, .fileCarriesNvram = true,
     .run = run(P::DirectUpdate), .resetsAfterUpdate = true, .read = ReadRoute::Direct, .macUpdate = MacUpdate::Qvd529},
    {.win = 15, .mac = 20, .code = "297", .name = "QVR297 Series", .family = "QVR29x",
     .support = S::FlashAndVersion, .version = V::FourCharsIfC6Is2, .codeTest = CodeTest::ChipStatus19,
     .flash = F::ChipReportThenReadId, .flashParameter16Bit = true,
     .layout = L::TwoBank, .codeEnd = 0xC000, .nvram = {0, 0},
     .file = {kBefore(0xC000), R::Code, true}, .fileCheck = FileCheck::ChipCode, .fileCarriesNvram = true,
     .run = run(P::DirectUpdate), .ramBuffer = true, .resetsAfterUpdate = true, .read = ReadRoute::BufferOrDirect},
    {.win = 16, .mac = 21, .code = "298", .name = "QVR298 Series", .family = "QVR29x",
     .support = S::FlashAndVersion, .version = V::FourCharsIfC6Is2, .codeTest = CodeTest::ChipStatus19,
     .flash = F::ChipReportThenReadId, .flashParameter16Bit = true,
     .layout = L::TwoBank, .codeEnd = 0xC000, .nvram = {0, 0},
     .file = {kBefore(0xC000), R::Code, true}, .fileCheck = FileCheck::ChipCode, .fileCarriesNvram = true,
     .run = run(P::DirectUpdate), .ramBuffer = true, .resetsAfterUpdate = true, .read = ReadRoute::BufferOrDirect,
     .oneButton = true, .macUpdate = MacUpdate::Qvr298},
    {.win = 17, .code = "295", .name = "QVR295 Series", .family = "QVR29x",
     .support = S::FlashAndVersion, .version = V::FourCharsIfC6Is2, .codeTest = CodeTest::ChipStatus19,
     .flash = F::ChipReportThenReadId, .flashParameter16Bit = true,
     .layout = L::TwoBank, .codeEnd = 0xC000, .nvram = {0, 0},
     .file = {kBefore(0xC000), R::Code, true}, .fileCheck = FileCheck::ChipCode, .fileCarriesNvram = true,
     .run = run(P::DirectUpdate), .ramBuffer = true, .resetsAfterUpdate = true, .read = ReadRoute::BufferOrDirect},
    {.win = 18, .mac = 22, .code = "292", .name = "QVR292 Series", .family = "QVR29x",
     .support = S::FlashAndVersion, .version = V::FourCharsIfC6Is2, .codeTest = CodeTest::ChipStatus19,
     .flash = F::ChipReportThenReadId, .flashParameter16Bit = true,
     .layout = L::TwoBank, .codeEnd = 0xC000, .nvram = {0, 0},
     .file = {kBefore(0xC000), R::Code, true}, .fileCheck = FileCheck::ChipCode, .fileCarriesNvram = true,
     .run = run(P::DirectUpdate), .ramBuffer = true, .resetsAfterUpdate = true, .read = ReadRoute::BufferOrDirect},

    // Types no identification produces (the code lookup finds an earlier row first); their file
    // checks remain.
    {.win = 19, .mac = 13, .code = "523", .name = "QVR256/523 Series",
     .file = {.rule = R::Code, .nvramFirst = true, .blockAt128 = true}},
    {.win = 20, .mac = 14, .code = "528", .name = "QVR256/528 Series", .file = {.rule = R::RevisionByte, .nvramFirst = true}},
    {.win = 21, .code = "529", .name = "QVR256/522 Series", .file = {.rule = R::Code, .nvramFirst = true}},
    {.win = 22, .code = "529", .name = "QVR256/529 Series", .file = {.rule = R::Code, .nvramFirst = true}},
    {.win = 23, .code = "528", .name = "QVR256/528 Series", .file = {.rule = R::RevisionByteOrRev0, .nvramFirst = true}},
    {.win = 24, .code = "529", .name = "QVR256/522 Series", .file = {.rule = R::Code, .nvramFirst = true}},
    {.win = 25, .code = "529", .name = "QVR256/529 Series", .file = {.rule = R::Code, .nvramFirst = true}},

    {.win = 26, .code = "294", .name = "QVR256A->QVR294 Series", .family = "QVR294",
     .support = S::FlashAndVersion, .version = V::Register506A, .flash = F::ModelChecks,
     .layout = L::TwoBank, .fileCheck = FileCheck::None, .run = run(P::Qvr294), .read = ReadRoute::Qvr294},
    {.win = 27, .mac = 15, .code = "253", .name = "QVR253 Series", .family = "QVR253",
     .support = S::FlashAndVersion, .offersNvram = true, .codeTest = CodeTest::GateAndSignature, .gate = &k253,
     .flash = F::ChipReportThenChkId, .flashParameter16Bit = true,
     .layout = L::SingleBank, .codeEnd = 0x8000, .nvram = {0x8000, 2},
     .file = {kBefore(0x8000), R::Code, true}, .fileCarriesNvram = true,
     .run = run(P::DirectUpdate), .resetsAfterUpdate = true, .read = ReadRoute::Direct},
    {.win = 28, .mac = 16, .code = "276", .name = "QVD276 Series", .family = "QVD276",
     .identity = {.odd = {"q276A", O::FromDigit}},
     .support = S::FlashAndVersion, .codeTest = CodeTest::GateAndSignature, .gate = &k276,
     .flash = F::ModelChecks, .layout = L::NvramFirst,
     .file = {{0x4000, true}, R::Code}, .run = run(P::Legacy, kSstWrite), .read = ReadRoute::SerialFlash},
    {.win = 29, .mac = 17, .code = "246", .name = "QVD246 Series", .family = "QVD246",
     .support = S::ByChipStatus, .layout = L::NvramFirst},
    {.win = 30, .mac = 18, .code = "556", .name = "QV84556 Series", .family = "q556E",
     .identity = {.odd = {"q556E", O::NextByte}},
     .support = S::FlashAndVersion, .codeTest = CodeTest::GateAndSignature, .gate = &k556E,
     .flash = F::ModelChecks, .layout = L::NvramFirst,
     .file = {{0x4000, true}, R::CodeAndE},
     .run = run(P::Legacy, {RunProbe::FlashUnknown, P::DiskResident}, kSstWrite), .read = ReadRoute::SerialFlash},

    // The QV8455x bridges without a chip information record, told apart by their GPIO straps.
    {.win = 31, .mac = 23, .code = "553", .name = "QV84553", .identity = {.gpio = 0}, .layout = L::NvramFirst,
     .file = {.rule = R::Any}},
    {.win = 32, .mac = 24, .code = "550", .name = "QV84550", .identity = {.gpio = 1}, .layout = L::NvramFirst,
     .file = {.rule = R::Any}},
    {.win = 33, .mac = 25, .code = "556", .name = "QV84556", .identity = {.gpio = 2}, .layout = L::NvramFirst,
     .file = {.rule = R::Any}},
    {.win = 34, .mac = 26, .code = "552", .name = "QV84552", .identity = {.gpio = 3}, .layout = L::NvramFirst,
     .file = {.rule = R::Any}},
    // The QV84559 that introduces itself by the maker's USB identifiers alone.
    {.win = 35, .mac = 27, .code = "559", .name = "QV84559", .family = "QV84559", .identity = {.byUsbIds = true},
     .support = S::VersionOnly, .layout = L::NvramFirst, .file = {.rule = R::NotSameFirstTwo}},
}};

constexpr bool indexedByType() {
    for (size_t i = 0; i < kChips.size(); ++i)
        if (kChips[i].win != i) return false;
    return true;
}
static_assert(indexedByType(), "row i of the chip table is ChipType i");

// Each macOS number on one row at most.
constexpr bool macNumbersOnce() {
    for (size_t i = 0; i < kChips.size(); ++i)
        for (size_t j = i + 1; j < kChips.size(); ++j)
            if (kChips[i].mac != kNoMacType && kChips[i].mac == kChips[j].mac) return false;
    return true;
}
static_assert(macNumbersOnce());

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

const ChipRow& chipRowOfMac(uint32_t type) {
    for (const ChipRow& r : kChips)
        if (r.mac != kNoMacType && r.mac == type) return r;
    return kChips[0];
}

uint8_t numberOf(const ChipRow& row, Program program) { return program == Program::Windows ? row.win : row.mac; }

const ChipRow& rowOf(uint8_t number, Program program) {
    return program == Program::Windows ? chipRow(number) : chipRowOfMac(number);
}

ChipType chipTypeOfCode(std::string_view code) {
    return firstWithCode(code, kChipTypeCount, [](int t) { return kChips[static_cast<size_t>(t)].code; });
}

QVChipType qvChipTypeOfCode(std::string_view code) {
    return firstWithCode(code, kQVChipTypeCount,
                         [](int t) { return std::string_view(tbl_QVChipString[t]); });
}

}  // namespace vendor
