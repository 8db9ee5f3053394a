#include <gtest/gtest.h>

#include "update/settings.h"

using firmware::parseSettings;

TEST(SettingsFile, DefaultsWithoutAFile) {
    const auto r = firmware::loadSettings("/nonexistent/FwUpdateTool.ini");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.settings.vid, 0x728D);
    EXPECT_EQ(r.settings.pid, 0x7A3C);
    EXPECT_EQ(r.settings.serialNum, "00000000000000000000");
    EXPECT_EQ(r.settings.chipReset, 0);
}

TEST(SettingsFile, KeyAndValueTokens) {
    struct Case { const char* text; int32_t chipReset; const char* serial; };
    const Case cases[] = {
        {"ChipReset=1", 1, nullptr},
        {"CHIPRESET 1", 1, nullptr},
        {"chipreset = 1\r\n", 1, nullptr},
        {"[Options]\nChipReset=1", 1, nullptr},
        {"ChipReset=12345678", 0, nullptr},          // eight characters: too long, the default
        {"ChipReset=abc", 0, nullptr},
        {"ChipReset=  -3", -3, nullptr},
        {"ChipReset=1\nChipReset=2", 1, nullptr},    // the first match wins
        {"ChipReset", 0, nullptr},
        {"SerialNum=AB CD EF", 0, "AB CD EF"},       // a space belongs to a long value
        {"SerialNum =ABC", 0, "00000000000000000000"},   // the key token ends in a space
        {"SerialNum=1234567890123456789012345", 0, "12345678901234567890"},
        {"SerialNum=VID\nVID=1234", 0, "VID"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto r = parseSettings(c.text);
        EXPECT_EQ(r.settings.chipReset, c.chipReset);
        if (c.serial) {
            EXPECT_EQ(r.settings.serialNum, c.serial);
        }
    }
}

TEST(SettingsFile, HexadecimalIdentifiers) {
    EXPECT_EQ(parseSettings("VID=abcd PID=0012").settings.vid, 0xABCD);
    EXPECT_EQ(parseSettings("VID=ABCD").settings.vid, 0xABCD);
    EXPECT_EQ(parseSettings("PID=12").settings.pid, 0x12);
    // A value that spells a key is taken for that key: here the token after "VID" (the serial's
    // value) is "PID", the VID lookup then reads "PID" as its value and fails as not hexadecimal.
    const auto spelled = parseSettings("SerialNum=VID PID=1234");
    EXPECT_FALSE(spelled.ok);
    const auto bad = parseSettings("VID=XYZ");
    EXPECT_FALSE(bad.ok);
    EXPECT_NE(bad.error.find("VID"), std::string::npos);
    EXPECT_NE(bad.error.find("XYZ"), std::string::npos);
}

TEST(SettingsFile, LengthsOnThe32ByteGrain) {
    // 32 bytes exactly: read in full, and still terminated.
    std::string text = "ChipReset=1";
    text.resize(32, '\n');
    EXPECT_EQ(parseSettings(text).settings.chipReset, 1);
    text = std::string(31, ' ') + "ChipReset=1";
    EXPECT_EQ(parseSettings(text).settings.chipReset, 1);
    EXPECT_EQ(parseSettings(std::string("ChipRe\0set=1", 12)).settings.chipReset, 0)
        << "the text ends at its first zero byte";
}
