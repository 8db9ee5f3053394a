#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image/format/crc.h"

using namespace firmware;

namespace {
const uint8_t k12345678[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
}

TEST(Crc16Words, IsXmodemOverEachWordsBytesInReverse) {
    // Words are fed byte 3, 2, 1, 0: the standard CRC-16 (0x1021, no reflection) of "43218765".
    EXPECT_EQ(Crc16Words(k12345678, 8, 0), 0xEA17);
    EXPECT_EQ(Crc16Words(k12345678, 11, 0), 0xEA17) << "trailing bytes past the last word are ignored";
    EXPECT_EQ(Crc16Words(k12345678, 0, 0x1234), 0x1234) << "length 0 returns the seed";
    EXPECT_EQ(Crc16Words(k12345678, 3, 0xBEEF), 0xBEEF);
}

TEST(Crc32Bank, IsTheStandardCrc32WithUnreflectedResultAndNoFinalXor) {
    // Equals bit-reverse(~crc32("43218765")), checked independently.
    EXPECT_EQ(fn_298cal_crc32(k12345678, 8), 0xC2C16C38u);
    EXPECT_EQ(fn_298cal_crc32(k12345678, 0), 0xFFFFFFFFu);
    EXPECT_EQ(fn_298cal_crc32(k12345678, 3), 0xFFFFFFFFu);
    EXPECT_EQ(p_crc32_cal(k12345678, 8), 0xC2C16C38u);
}

TEST(CrcTables, EqualTheBitExactFormsOverRandomData) {
    std::mt19937 rng(55);
    std::vector<uint8_t> data(4099);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (size_t len : {size_t{0}, size_t{4}, size_t{7}, size_t{1020}, size_t{4099}}) {
        SCOPED_TRACE(len);
        const uint16_t seed = static_cast<uint16_t>(rng());
        EXPECT_EQ(Crc16Words(data.data(), len, seed), Crc16WordsReference(data.data(), len, seed));
        EXPECT_EQ(fn_298cal_crc32(data.data(), len), Crc32Reference(data.data(), len));
    }
}

TEST(BankSignature, StampedBanksValidateAndDamageIsSeen) {
    std::vector<uint8_t> image(2 * kBankSize);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
    EXPECT_FALSE(StampBankSignature(image.data(), image.size() - 1)) << "never writes past a small buffer";
    ASSERT_TRUE(StampBankSignature(image.data(), image.size()));
    for (size_t base : {size_t{0}, kBankSize}) {
        const uint8_t* b = image.data() + base;
        EXPECT_EQ(std::memcmp(b + 0x200, kBankSignature, 4), 0);
        EXPECT_EQ(std::memcmp(b + 0x204, "\0\0\0\0", 4), 0);
        EXPECT_EQ(std::memcmp(b + 0x208, b + kBankSize - 4, 4), 0);
        EXPECT_TRUE(bankSignatureValid(b));
    }
    image[0x100] ^= 1;
    EXPECT_FALSE(bankSignatureValid(image.data()));
    EXPECT_TRUE(bankSignatureValid(image.data() + kBankSize));
}
