#include "identify/flash_types.h"

namespace vendor {

const char kFlashTypeNames[kFlashTypeCount][20] = {
    "Unknown", "PMC", "SST", "ST/EON/MXIC", "ATMEL", "MXIC", "WINBOND",
    "AMIC", "EON", "ESMT", "SANYO", "GIGADEVICE", "VPOWERWINS",
};
//                                                Unk     PMC     SST     ST       ATMEL    MXIC     WINBOND  AMIC     EON      ESMT     SANYO    GIGA     VPW
const uint32_t tbl_FlashBlockSize[kFlashTypeCount] = {0x8000, 0x8000, 0x8000, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000};
const uint32_t tbl_FlashSectorSize[kFlashTypeCount] = {0x1000, 0x1000, 0x1000, 0x8000,  0x8000,  0x1000,  0x1000,  0x1000,  0x8000,  0x1000,  0x1000,  0x1000,  0x1000};

std::string_view flashTypeName(unsigned type) {
    return kFlashTypeNames[type < kFlashTypeCount ? type : kFlashUnknown];
}

namespace {

constexpr ByteIs at(int8_t i, uint8_t v) { return {i, v}; }
constexpr ByteIs none{};
constexpr uint8_t kChkIdOnly = kWinChkId | kMacChkId;

// The probes in the order they are sent; a failed first probe ends identification.
constexpr FlashProbe kProbes[] = {
//   opcode  sent as              len  variants
    {0x9F,   ProbeSend::Own,        4, kAllVariants},   // 0: JEDEC id
    {0x90,   ProbeSend::Own,        4, kAllVariants},   // 1: manufacturer/device id
    {0xAB,   ProbeSend::Own,        4, kAllVariants},   // 2: electronic signature
    {0x15,   ProbeSend::Own,        4, kAllVariants},   // 3: older ATMEL id
    {0x15,   ProbeSend::ReadId,     3, kChkIdOnly},     // 4: the same through the read-id command
    {0xAB,   ProbeSend::ReadIdFlag, 3, kChkIdOnly},     // 5
    {0xAB,   ProbeSend::ReadIdFlag, 4, kWinReadId},     // 6
};

constexpr MakerRule kMakers[] = {
//   probe test         test         type              chip  block prog  sector   variants
    {0, at(0, 0x7F), at(1, 0x37), kFlashAmic,       {},                      kAllVariants},
    {0, at(0, 0x37), at(1, 0x30), kFlashAmic,       {},                      kAllVariants},
    {0, at(0, 0x1F), none,        kFlashAtmel,      {},                      kAllVariants},
    {0, at(0, 0xC2), none,        kFlashMxic,       {},                      kAllVariants},
    {0, at(0, 0xEF), none,        kFlashWinbond,    {},                      kAllVariants},
    {0, at(0, 0x20), none,        kFlashSt,         {},                      kAllVariants},
    {0, at(0, 0x1C), none,        kFlashEon,        {},                      kAllVariants},
    {0, at(0, 0x8C), none,        kFlashEsmt,       {},                      kAllVariants},
    {0, at(0, 0x7F), at(1, 0x9D), kFlashPmc,        {},                      kAllVariants},
    {0, at(0, 0x62), none,        kFlashSanyo,      {0,    0,    0,    0xD7}, kAllVariants},
    {0, at(0, 0xC8), none,        kFlashGigadevice, {0,    0x52, 0,    0},    kWinAll},
    {0, at(0, 0xC8), none,        kFlashGigadevice, {},                      kMacChkId},
    {0, at(0, 0xA1), none,        kFlashVpowerwins, {},                      kWinAll},
    {1, at(3, 0xBF), none,        kFlashSst,        {0x60, 0x52, 0xAF, 0},    kAllVariants},
    {2, at(3, 0x9D), none,        kFlashPmc,        {},                      kAllVariants},
    {2, at(3, 0x05), none,        kFlashSt,         {},                      kAllVariants},
    {3, at(0, 0x1F), none,        kFlashAtmel,      {0x62, 0x52, 0x02, 0},    kAllVariants},
    {4, at(0, 0x1F), none,        kFlashAtmel,      {0x62, 0x52, 0x02, 0},    kChkIdOnly},
    {5, at(0, 0x05), none,        kFlashSt,         {},                      kChkIdOnly},
    {6, at(0, 0x05), none,        kFlashSt,         {},                      kWinReadId},
};

using R = CapacityReply;

constexpr CapacityRule kCapacities[] = {
//   type              reply  J tests                        own test     key lo    hi    KiB    variants
    {kFlashPmc,        R::Jedec, {at(0, 0x7F), at(1, 0x9D)}, none,        2, 0x20, 0x20, 64,    kWinAll},
    {kFlashPmc,        R::Jedec, {at(0, 0x7F), at(1, 0x9D)}, none,        2, 0x21, 0x21, 128,   kWinAll},
    {kFlashPmc,        R::Jedec, {at(0, 0x7F), at(1, 0x9D)}, none,        2, 0x7C, 0x7C, 128,   kWinAll},
    {kFlashPmc,        R::Jedec, {at(0, 0x7F), at(1, 0x9D)}, none,        2, 0x22, 0x22, 256,   kWinAll},
    {kFlashPmc,        R::Jedec, {at(0, 0x7F), at(1, 0x9D)}, none,        2, 0x7D, 0x7D, 256,   kWinAll},
    {kFlashPmc,        R::Jedec, {at(0, 0x7F), at(1, 0x9D)}, none,        2, 0x7E, 0x7E, 512,   kWinAll},
    {kFlashPmc,        R::Ab6,   {},                         at(3, 0x9D), 4, 0x7B, 0x7B, 64,    kWinAll},
    {kFlashSst,        R::Jedec, {at(0, 0xBF)},              none,        2, 0x41, 0x41, 2048,  kWinAll},
    {kFlashSst,        R::Jedec, {at(0, 0xBF)},              none,        2, 0x4A, 0x4A, 4096,  kWinAll},
    {kFlashSst,        R::Ab6,   {},                         at(3, 0xBF), 4, 0x48, 0x48, 64,    kWinAll},
    {kFlashSst,        R::Ab6,   {},                         at(3, 0xBF), 4, 0x49, 0x49, 128,   kWinAll},
    {kFlashSt,         R::Jedec, {at(0, 0x20)},              none,        2, 0x10, 0x16, 64,    kWinAll},
    {kFlashSt,         R::Ab4,   {},                         at(0, 0xFF), 3, 0x05, 0x05, 64,    kWinAll},
    {kFlashAtmel,      R::Jedec, {at(0, 0x1F)},              none,        1, 0x44, 0x44, 512,   kWinChkId},
    {kFlashAtmel,      R::Jedec, {at(0, 0x1F)},              none,        1, 0x65, 0x65, 64,    kWinAll},
    {kFlashAtmel,      R::Jedec, {at(0, 0x1F)},              none,        1, 0x66, 0x66, 128,   kWinAll},
    {kFlashAtmel,      R::Op15,  {},                         at(0, 0x1F), 1, 0x60, 0x60, 128,   kWinAll},
    {kFlashMxic,       R::Jedec, {at(0, 0xC2), at(1, 0x20)}, none,        2, 0x10, 0x17, 64,    kWinAll},
    {kFlashMxic,       R::Jedec, {at(0, 0xC2), at(1, 0x22)}, none,        2, 0x10, 0x17, 64,    kWinAll},
    {kFlashWinbond,    R::Jedec, {at(0, 0xEF)},              none,        2, 0x10, 0x14, 64,    kWinAll},
    {kFlashWinbond,    R::Jedec, {at(0, 0xEF)},              none,        2, 0x18, 0x18, 16384, kWinChkId},
    {kFlashAmic,       R::Jedec, {at(0, 0x37)},              none,        2, 0x10, 0x16, 64,    kWinAll},
    {kFlashAmic,       R::Jedec, {at(0, 0x7F), at(1, 0x37)}, none,        3, 0x14, 0x14, 1024,  kWinAll},
    {kFlashAmic,       R::Jedec, {at(0, 0x7F), at(1, 0x37)}, none,        3, 0x20, 0x22, 64,    kWinAll},
    {kFlashEon,        R::Jedec, {at(0, 0x1C)},              none,        2, 0x10, 0x17, 64,    kWinAll},
    {kFlashEsmt,       R::Jedec, {at(0, 0x8C), at(1, 0x30)}, none,        2, 0x11, 0x14, 128,   kWinAll},
    {kFlashEsmt,       R::Jedec, {at(0, 0x8C), at(1, 0x21)}, none,        2, 0x15, 0x15, 2048,  kWinAll},
    {kFlashEsmt,       R::Jedec, {at(0, 0x8C), at(1, 0x20)}, none,        2, 0x16, 0x16, 4096,  kWinAll},
    {kFlashSanyo,      R::Ab4,   {at(0, 0x62)},              none,        3, 0x44, 0x44, 256,   kWinAll},
    {kFlashGigadevice, R::Jedec, {at(0, 0xC8), at(1, 0x40)}, none,        2, 0x10, 0x13, 64,    kWinAll},
    {kFlashVpowerwins, R::Jedec, {at(0, 0xA1), at(1, 0x31)}, none,        2, 0x12, 0x13, 256,   kWinAll},
};

constexpr uint8_t replyLen(CapacityReply r) { return r == R::Ab6 ? 6 : 4; }

// Every byte a rule reads lies inside the reply its probe asks for.
constexpr bool rulesStayInsideReplies() {
    for (const MakerRule& m : kMakers) {
        if (m.probe >= std::size(kProbes)) return false;
        const int len = kProbes[m.probe].len;
        if (m.a.at >= len || m.b.at >= len || m.a.at < 0) return false;
    }
    for (const CapacityRule& c : kCapacities) {
        if (c.keyAt >= replyLen(c.reply) || c.own.at >= replyLen(c.reply)) return false;
        if (c.jedec[0].at >= 4 || c.jedec[1].at >= 4 || c.lo > c.hi) return false;
        if (c.type >= kFlashTypeCount) return false;
    }
    return true;
}
static_assert(rulesStayInsideReplies());

}  // namespace

std::span<const FlashProbe> flashProbes() { return kProbes; }
std::span<const MakerRule> makerRules() { return kMakers; }
std::span<const CapacityRule> capacityRules() { return kCapacities; }

}  // namespace vendor
