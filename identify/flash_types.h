// The serial flash makers the bridges work with, as data: one row per FlashType value with its
// display name and erase unit sizes, the JEDEC maker rules that identification walks, and the
// capacity rules that size a flash from its identification reply.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace vendor {

using FlashType = uint8_t;   // 0 to 12 (the macOS program knows 0 to 11)

constexpr int kFlashTypeCount = 13;
constexpr int kMacFlashTypeCount = 12;

constexpr FlashType kFlashUnknown = 0;
constexpr FlashType kFlashPmc = 1;
constexpr FlashType kFlashSst = 2;
constexpr FlashType kFlashSt = 3;
constexpr FlashType kFlashAtmel = 4;
constexpr FlashType kFlashMxic = 5;
constexpr FlashType kFlashWinbond = 6;
constexpr FlashType kFlashAmic = 7;
constexpr FlashType kFlashEon = 8;
constexpr FlashType kFlashEsmt = 9;
constexpr FlashType kFlashSanyo = 10;
constexpr FlashType kFlashGigadevice = 11;
constexpr FlashType kFlashVpowerwins = 12;

// The window's flash type names: 13 entries of 20 bytes.
extern const char kFlashTypeNames[kFlashTypeCount][20];
extern const uint32_t tbl_FlashBlockSize[kFlashTypeCount];
extern const uint32_t tbl_FlashSectorSize[kFlashTypeCount];

// Name of a type; "Unknown" for a value outside the table.
std::string_view flashTypeName(unsigned type);

// Which probing a rule belongs to: the ChkID and ReadID procedures of the Windows program and
// the macOS program's ChkID procedure.
enum class FlashVariant : uint8_t { WinChkId = 0, WinReadId = 1, MacChkId = 2 };
constexpr uint8_t kWinChkId = 1u << 0;
constexpr uint8_t kWinReadId = 1u << 1;
constexpr uint8_t kMacChkId = 1u << 2;
constexpr uint8_t kWinAll = kWinChkId | kWinReadId;
constexpr uint8_t kAllVariants = kWinAll | kMacChkId;
constexpr uint8_t variantBit(FlashVariant v) { return static_cast<uint8_t>(1u << static_cast<int>(v)); }

// How one identification probe is sent.
enum class ProbeSend : uint8_t {
    Own,          // the variant's own probe: ChkID, or ReadID (flag set for 0xAB)
    ReadId,       // QV_SerialFlashReadID without the flag
    ReadIdFlag,   // QV_SerialFlashReadID with the flag
};

struct FlashProbe {
    uint8_t opcode;
    ProbeSend send;
    uint8_t len;        // reply bytes asked for
    uint8_t variants;
};

// One reply byte test; `at` < 0 means no test.
struct ByteIs {
    int8_t at = -1;
    uint8_t value = 0;
};

// New SPI opcodes for the flash parameter record; 0 keeps the current one.
struct FlashOpcodes {
    uint8_t chipErase = 0;
    uint8_t blockErase = 0;
    uint8_t program = 0;
    uint8_t sectorErase = 0;
};

struct MakerRule {
    uint8_t probe;      // index into flashProbes()
    ByteIs a, b;        // both must hold
    FlashType type;
    FlashOpcodes ops;
    uint8_t variants;
};

std::span<const FlashProbe> flashProbes();
std::span<const MakerRule> makerRules();

// Capacity. A rule reads its reply: the 0x9F reply (J) or one of the fallback probes. Rules of a
// type are walked in groups of equal guard (J tests plus own test); the first group whose guard
// holds decides, by the first of its rows whose key byte lies in [lo, hi]: KiB = kibAtLo << (key - lo).
enum class CapacityReply : uint8_t { Jedec, Ab6, Ab4, Op15 };

struct CapacityRule {
    FlashType type;
    CapacityReply reply;
    ByteIs jedec[2];    // tests on the 0x9F reply (any test needs that probe to have succeeded)
    ByteIs own;         // a test on this rule's own reply (fallback probes)
    uint8_t keyAt;
    uint8_t lo, hi;
    uint32_t kibAtLo;
    uint8_t variants;
};

std::span<const CapacityRule> capacityRules();
constexpr uint32_t kDefaultCapacityKiB = 64;

}  // namespace vendor
