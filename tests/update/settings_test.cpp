// The settings file: its keys and values, the defaults without it, and files the user may hand
// the programs by mistake (binary, UTF-16, endless, too large, a folder).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "update/settings.h"

namespace fs = std::filesystem;
using firmware::loadSettings;
using firmware::parseSettings;
using firmware::SettingsLoad;
using testing_support::TempDir;

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
    for (const char* tooLarge : {"VID=10000", "PID=FFFFFFF"}) {   // refused, never cut to 16 bits
        const auto r = parseSettings(tooLarge);
        EXPECT_FALSE(r.ok) << tooLarge;
        EXPECT_EQ(r.error.substr(r.error.size() - 3), std::string(tooLarge, 3)) << r.error;
    }
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

TEST(SettingsFileEdges, NotASettingsFile) {
    TempDir t;
    std::vector<uint8_t> garbage(4096);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 131 + 7);
    std::string big(10u << 20, ' ');
    big.replace(0, 9, "VID=1234\n");
    std::string utf16;
    for (char c : std::string("VID=1234\r\n")) utf16 += {c, '\0'};

    struct Case { fs::path file; const char* says; };
    for (const Case& c : std::initializer_list<Case>{
             {t.write("garbage.ini", garbage), "is not a text file (byte 0x07 at offset 0)"},
             {t.write("utf16.ini", utf16), "is not a text file (byte 0x00 at offset 1)"},
             {t.write("big.ini", big), "is larger than 1 MiB"}}) {
        SCOPED_TRACE(c.file.string());
        const SettingsLoad r = loadSettings(c.file.string());
        EXPECT_TRUE(r.fileRead);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find(c.file.string()), std::string::npos) << r.error;
        EXPECT_NE(r.error.find(c.says), std::string::npos) << r.error;
    }
}

TEST(SettingsFileEdges, EndlessFileIsReadOnlyUpToTheLimit) {
    // Before the bound, the whole of the file was read before its size was judged: a device node
    // that never ends exhausted the memory.
    const auto start = std::chrono::steady_clock::now();
    const SettingsLoad r = loadSettings("/dev/zero");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("larger than 1 MiB"), std::string::npos) << r.error;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(SettingsFileEdges, WhatCannotBeReadGivesTheDefaults) {
    TempDir t;
    for (const fs::path& p : {t.dir, t.dir / "missing.ini"}) {
        SCOPED_TRACE(p.string());
        const SettingsLoad r = loadSettings(p.string());
        EXPECT_FALSE(r.fileRead);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.settings.vid, 0x728D);
        EXPECT_EQ(r.settings.serialNum, "00000000000000000000");
    }
    const SettingsLoad ok = loadSettings(t.write("good.ini", "VID=1234\r\nPID=abcd\r\n\x1a").string());
    EXPECT_TRUE(ok.fileRead);
    EXPECT_TRUE(ok.ok) << ok.error;
    EXPECT_EQ(ok.settings.pid, 0xABCD) << "the end-of-file mark of old editors is text";
}

TEST(SettingsFileEdges, ErrorShowsAValueWithoutItsControlBytes) {
    // The value goes into a message box or onto the terminal: an escape sequence in it must not.
    const SettingsLoad r = parseSettings("VID=\x1b[2J\x07");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "'\\x1B[2J\\x07' is not a valid hexadecimal value for VID");
}
