#include "sim/chip_personas.h"

namespace sim {

namespace {

using L = ImageLayout;

constexpr uint32_t kQvr29x = kSerialFlashCmds | kDirectFlashCmds | kRegisterCmds | kBufferCmds | kProductInfoCmd |
                             kAtaCmds | kChipStatusCmd | kResetCmd;
constexpr uint32_t kSingleBank = kSerialFlashCmds | kDirectFlashCmds | kRegisterCmds | kAtaCmds | kChipStatusCmd | kResetCmd;
constexpr uint32_t kDirect52x = kSerialFlashCmds | kDirectFlashCmds | kRegisterCmds | kAtaCmds;
constexpr uint32_t kSerialOnly = kSerialFlashCmds | kRegisterCmds | kAtaCmds;

constexpr RegisterFlag kNoFlag{0, 0, 0};
constexpr RegisterFlag k7038Bit0{0x7038, 2, 0x01};
constexpr RegisterFlag k7038Bit2{0x7038, 2, 0x04};
constexpr RegisterFlag k7038Bit4{0x7038, 2, 0x10};
constexpr RegisterFlag k70F0Bit0{0x70F0, 3, 0x01};

constexpr std::array<uint8_t, 5> kPos29x{12, 13, 14, 15, 0};
constexpr std::array<uint8_t, 5> kPosMajorMinor{6, 7, 12, 13, 14};
constexpr std::array<uint8_t, 5> kPos3{12, 13, 14, 0, 0};

// clang-format off
constexpr ChipPersona kPersonas[] = {
//   model        name          INQUIRY product       inq code  chip   rev  vid     pid     gpio    ODD string  commands                         layout          codeEnd  flash     version              n  version bytes   rom  14op  st8   st18  external   fdb0
    {"qvr298",    "QVR298",     "QVR298 Bridge   ",   "q298",   "298", '0', 0x728D, 0x2980, 0x0040, nullptr,    kQvr29x,                         L::TwoBank,     0,       "ef3013", {31, 1, 1, 10, 0},   4, kPos29x,        0,   0x20, 0x01, 0x00, kNoFlag,   0x00},
    {"qvr297",    "QVR297",     "QVR297 Bridge   ",   "q297",   "297", '0', 0x728D, 0x2970, 0x0040, nullptr,    kQvr29x,                         L::TwoBank,     0,       "ef3013", {30, 1, 1, 8, 0},    4, kPos29x,        0,   0x20, 0x01, 0x00, kNoFlag,   0x00},
    {"qvr295",    "QVR295",     "QVR295 Bridge   ",   "q295",   "295", '0', 0x728D, 0x2950, 0x0040, nullptr,    kQvr29x,                         L::TwoBank,     0,       "ef3013", {29, 1, 1, 4, 0},    4, kPos29x,        1,   0x20, 0x01, 0x00, kNoFlag,   0x00},
    {"qvr292",    "QVR292",     "QVR292 Bridge   ",   "q292",   "292", '0', 0x728D, 0x2920, 0x0040, nullptr,    kQvr29x,                         L::TwoBank,     0,       "ef3013", {28, 1, 1, 3, 0},    4, kPos29x,        1,   0x20, 0x01, 0x00, kNoFlag,   0x00},
    {"qvr294",    "QVR294",     "QVR294 Bridge   ",   "q294",   "294", '0', 0x728D, 0x2940, 0x0040, nullptr,    kSingleBank | kFlash294Cmds,     L::TwoBank,     0,       "ef3013", {2, 5, 1, 0, 0},     3, kPos3,          0,   0x20, 0x01, 0x00, kNoFlag,   0x00},
    {"qvr256",    "QVR256",     "QVR256 Bridge   ",   "q256",   "256", '0', 0x728D, 0x2560, 0x0040, nullptr,    kSingleBank,                     L::SingleBank,  0xC000,  "c22011", {2, 3, 4, 0, 0},     3, kPos3,          0,   0x20, 0x01, 0x00, k70F0Bit0, 0xB4},
    {"qvr296",    "QVR296",     "QVR296 Bridge   ",   "q296",   "296", '0', 0x728D, 0x2960, 0x0040, nullptr,    kSingleBank | kChipInfoAltCmd,   L::SingleBank,  0xC000,  "c22011", {'2', '0', '0', '5', 0}, 4, kPos29x,   0,   0x20, 0x00, 0x00, kNoFlag,   0x00},
    {"qvr253",    "QVR253",     "QVR253 Bridge   ",   "q253",   "253", '0', 0x728D, 0x2530, 0x0040, nullptr,    kSingleBank,                     L::SingleBank,  0x8000,  "c22011", {1, 2, 3, 0, 0},     3, kPos3,          0,   0x20, 0x01, 0x00, k70F0Bit0, 0x00},
    {"qvr227",    "QVR227",     "QVR227 Bridge   ",   "q227",   "227", '0', 0x728D, 0x2270, 0x0040, nullptr,    kDirect52x | kChipStatusCmd,     L::NvramFirst,  0,       "c22011", {9, 20, 2, 16, 1},   5, kPosMajorMinor, 0,   0x52, 0x00, 0x00, k7038Bit4, 0x00},
    // The QVR227's later stepping (register FDB0 byte 1 reads B4): its flash is also asked for its 0x9F reply.
    {"qvr227b4",  "QVR227",     "QVR227 Bridge   ",   "q227",   "227", '0', 0x728D, 0x2270, 0x0040, nullptr,    kDirect52x | kChipStatusCmd,     L::NvramFirst,  0,       "c22011", {9, 20, 2, 16, 1},   5, kPosMajorMinor, 0,   0x52, 0x00, 0x00, k7038Bit4, 0xB4},
    {"qvd529",    "QVD529",     "QVD529 Bridge   ",   "q529",   "529", '0', 0x728D, 0x5290, 0x0040, nullptr,    kDirect52x,                      L::NvramFirst,  0,       "c22011", {8, 10, 3, 16, 0},   5, kPosMajorMinor, 0,   0x52, 0x00, 0x00, k7038Bit2, 0x00},
    {"qvd522",    "QVD522",     "QVD522 Bridge   ",   "q522",   "355", '0', 0x728D, 0x5220, 0x0040, nullptr,    kDirect52x,                      L::NvramFirst,  0,       "c22011", {8, 10, 3, 16, 0},   5, kPosMajorMinor, 0,   0x52, 0x00, 0x00, k7038Bit2, 0x00},
    {"qvd528",    "QVD528",     "QVD528 Bridge   ",   nullptr,  "528", '0', 0x728D, 0x5280, 0x0040, "q528 1",     kSerialOnly,               L::NvramFirst,  0,       "c22010", {3, 2, 1, 0, 0},     3, kPos3,          0,   0x52, 0x00, 0x00, k7038Bit2, 0x00},
    {"qvd525",    "QVD525",     "QVD525 Bridge   ",   "q525",   "525", '1', 0x728D, 0x5250, 0x0040, nullptr,    kDirect52x,                      L::NvramFirst,  0,       "c22010", {2, 7, 0, 0, 0},     3, kPos3,          0,   0x52, 0x00, 0x00, kNoFlag,   0x00, 0x8000, {"q525", "5257"}},
    {"qvd523",    "QVD523",     "QVD523 Bridge   ",   "q523",   "523", '0', 0x728D, 0x5230, 0x0040, "q8523" "1", kSerialOnly,                 L::NvramFirst,  0,       "c22010", {3, 4, 5, 0, 0},     3, kPos3,         0,   0x52, 0x00, 0x00, kNoFlag,   0x00},
    {"qvd276",    "QVD276",     "QVD276 Bridge   ",   nullptr,  "276", '0', 0x728D, 0x2760, 0x0040, "q276A" "1", kSerialOnly,                 L::NvramFirst,  0,       "c22010", {2, 1, 0, 0, 0},     2, kPos3,          0,   0x52, 0x00, 0x00, k7038Bit0, 0x00},
    {"qvd246",    "QVD246",     "QVD246 Bridge   ",   "q246",   "246", '0', 0x728D, 0x2460, 0x0040, nullptr,    kSerialOnly | kChipStatusCmd,    L::NvramFirst,  0,       "c22010", {1, 0, 0, 0, 0},     2, kPos3,          0,   0x52, 0xD2, 0x00, kNoFlag,   0x00},
    {"qv84552",   "QV84552",    "QV84552 Bridge  ",   nullptr,  "552", '0', 0x728D, 0x5520, 0x0040, "q552C" "1", kSerialOnly,                 L::NvramFirst,  0,       "c22010", {1, 5, 2, 0, 0},     3, kPos3,          0,   0x52, 0x00, 0x00, kNoFlag,   0x00},
    {"qv84553",   "QV84553",    "QV84553 Bridge  ",   nullptr,  "553", '0', 0x728D, 0x5530, 0x0040, nullptr,    kSerialOnly,                     L::NvramFirst,  0,       "c22010", {1, 5, 3, 0, 0},     3, kPos3,          0,   0x52, 0x00, 0x00, kNoFlag,   0x00},
    {"qv84553a3", "QV84553A3",  "QV84553A3 Bridge",   nullptr,  "553", '0', 0x728D, 0x5533, 0x0040, "q553A3",   kSerialOnly,                     L::NvramFirst,  0,       "c22010", {1, 5, 4, 0, 0},     3, kPos3,          0,   0x52, 0x00, 0x00, kNoFlag,   0x00},
    {"qv84556",   "QV84556",    "QV84556 Bridge  ",   nullptr,  "556", '0', 0x728D, 0x5560, 0x0040, "q556C" "1", kSerialOnly,                 L::NvramFirst,  0,       "c22010", {1, 6, 1, 0, 0},     3, kPos3,          0,   0x52, 0x00, 0x00, k7038Bit0, 0x00},
    {"qv84556e",  "q556E",      "QV84556E Bridge ",   nullptr,  "556", '0', 0x728D, 0x556E, 0x0040, "q556E" "1", kSerialOnly | kChipStatusCmd, L::NvramFirst,  0,       "c22010", {1, 6, 2, 0, 0},     3, kPos3,          0,   0x52, 0x00, 0x00, k7038Bit0, 0x00},
    {"qv84559",   "QV84559",    "QV84559 Bridge  ",   nullptr,  "559", '0', 0x728D, 0x5590, 0x0040, nullptr,    kSerialOnly,                     L::NvramFirst,  0,       "c22010", {1, 9, 0, 0, 0},     3, kPos3,          0,   0x52, 0x00, 0x00, kNoFlag,   0x00},
    {"qv84586",   "QV84586",    "QV84586 Bridge  ",   nullptr,  "586", '0', 0x728D, 0x5860, 0x0040, nullptr,    kSerialOnly | kChipStatusCmd,    L::NvramFirst,  0,       "c22010", {2, 8, 6, 0, 0},     3, kPos3,          0,   0x52, 0xD1, 0x00, kNoFlag,   0x00},
    // The chip that introduces itself by the maker's USB identifiers alone.
    {"qv84559u",  "QV84559",    "QV84559 Bridge  ",   nullptr,  "559", '0', 0x728D, 0x5E2A, 0x0040, nullptr,    kSerialOnly,                     L::NvramFirst,  0,       "c22010", {1, 9, 1, 0, 0},     3, kPos3,          0,   0x52, 0x00, 0x00, kNoFlag,   0x00},
    // Chips without a chip information record: their GPIO bits 5-6 tell them apart (0..3).
    {"qv84553g",  "QV84553",    "QV84553 Bridge  ",   nullptr,  nullptr,  '0', 0x728D, 0x5530, 0x0000, nullptr, kSerialOnly,                     L::NvramFirst,  0,       "c22010", {0, 0, 0, 0, 0},     0, kPos3,          0,   0x52, 0x00, 0x00, kNoFlag,   0x00},
    {"qv84550g",  "QV84550",    "QV84550 Bridge  ",   nullptr,  nullptr,  '0', 0x728D, 0x5500, 0x0020, nullptr, kSerialOnly,                     L::NvramFirst,  0,       "c22010", {0, 0, 0, 0, 0},     0, kPos3,          0,   0x52, 0x00, 0x00, kNoFlag,   0x00},
    {"qv84556g",  "QV84556",    "QV84556 Bridge  ",   nullptr,  nullptr,  '0', 0x728D, 0x5560, 0x0040, nullptr, kSerialOnly,                     L::NvramFirst,  0,       "c22010", {0, 0, 0, 0, 0},     0, kPos3,          0,   0x52, 0x00, 0x00, kNoFlag,   0x00},
    {"qv84552g",  "QV84552",    "QV84552 Bridge  ",   nullptr,  nullptr,  '0', 0x728D, 0x5520, 0x0060, nullptr, kSerialOnly,                     L::NvramFirst,  0,       "c22010", {0, 0, 0, 0, 0},     0, kPos3,          0,   0x52, 0x00, 0x00, kNoFlag,   0x00},
};
// clang-format on

}  // namespace

const ChipPersona* chipPersonas(size_t* count) {
    if (count) *count = std::size(kPersonas);
    return kPersonas;
}

const ChipPersona* findChipPersona(std::string_view model) {
    for (const ChipPersona& p : kPersonas)
        if (model == p.model) return &p;
    return nullptr;
}

std::string chipPersonaNames() {
    std::string s;
    for (const ChipPersona& p : kPersonas) {
        if (!s.empty()) s += ' ';
        s += p.model;
    }
    return s;
}

}  // namespace sim
