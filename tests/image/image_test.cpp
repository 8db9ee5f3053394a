// Images against chips: matching, NVRAM detection, sizes, the single-bank check, the embedded
// image and the one-button texts. Every image comes from our own catalogue.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/catalog_samples.h"
#include "image/format/crc.h"
#include "image/image.h"
#include "image/image_catalog.h"
#include "sys/message_box.h"
#include "sys/resources.h"

using namespace firmware;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> catalogImage(const std::string& name) { return testing_support::catalogBytes(name); }

FileImage fileOf(std::vector<uint8_t> bytes) {
    FileImage f;
    f.opened = true;
    f.bytes = std::move(bytes);
    return f;
}

struct CatalogResources : ::testing::Test {
    sys::ResourceLoader old = sys::setResourceLoader(catalogResources());
    ~CatalogResources() override { sys::setResourceLoader(old); }
};

}  // namespace

TEST_F(CatalogResources, EmbeddedImageHeaderAndWholeImage) {
    uint8_t header[kHeaderSize] = {};
    EXPECT_EQ(LoadEmbeddedImage(header, sizeof header, 0, 32), kEmbeddedImageSize);
    EXPECT_EQ(std::memcmp(header + 2, "0298", 4), 0);
    EXPECT_EQ(std::memcmp(header + 10, "Corvane QVR298", 14), 0);
    const uint8_t version[4] = {0x1F, 0x01, 0x01, 0x0F};
    EXPECT_EQ(std::memcmp(header + 25, version, 4), 0);

    std::vector<uint8_t> whole(kEmbeddedImageSize + 100, 0xEE);
    EXPECT_EQ(LoadEmbeddedImage(whole.data(), whole.size(), 0, 0), kEmbeddedImageSize);
    EXPECT_EQ(whole[kEmbeddedImageSize], 0xEE) << "nothing past the image";
    EXPECT_TRUE(bankSignatureValid(whole.data()));
    EXPECT_TRUE(bankSignatureValid(whole.data() + kBankSize));

    uint8_t small[8] = {};
    EXPECT_EQ(LoadEmbeddedImage(small, sizeof small, kEmbeddedImageSize - 4, 0), kEmbeddedImageSize)
        << "a length that runs past the end stops at the end";
}

TEST_F(CatalogResources, ManufacturingImagesByNumberAndRomVariant) {
    struct Case { const char* code; uint8_t rom; int number; };
    for (const Case c : {Case{"297", 0, 1}, Case{"298", 0, 2}, Case{"297", 1, 11}, Case{"298", 1, 12},
                         Case{"295", 1, 13}, Case{"292", 1, 15}, Case{"295", 0, 0}, Case{"298", 2, 0}}) {
        SCOPED_TRACE(std::string(c.code) + " rom " + std::to_string(c.rom));
        EXPECT_EQ(mfgImageNumberFor(c.code, c.rom), c.number);
        if (!c.number) continue;
        uint8_t header[32];
        ASSERT_EQ(LoadMfgImage(header, sizeof header, 0, 32, c.number), kMfgImageSize);
        EXPECT_EQ(std::memcmp(header + 21, c.code, 3), 0);
        EXPECT_TRUE(header[25] >= '0' && header[25] <= '9') << "manufacturing versions are ASCII digits";
    }
    uint8_t b[4];
    EXPECT_EQ(LoadMfgImage(b, sizeof b, 0, 4, 3), 0u);
}

TEST(EmbeddedImage, MissingResourceGivesZeroAndCopiesNothing) {
    auto old = sys::setResourceLoader([](auto, auto, auto&) { return false; });
    uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(LoadEmbeddedImage(b, sizeof b, 0, 4), 0u);
    EXPECT_EQ(b[0], 1);
    sys::setResourceLoader(old);
}

TEST(OneButtonTexts, CaptionFromAsciiOrBinaryVersion) {
    uint8_t header[32] = {};
    std::memcpy(header + 25, "0315", 4);
    EXPECT_EQ(updateButtonCaption(header, 32), "Update firmware to version 00.03.01.05");
    const uint8_t binary[4] = {0x1F, 0x01, 0x01, 0x0F};
    std::memcpy(header + 25, binary, 4);
    EXPECT_EQ(updateButtonCaption(header, 32), "Update firmware to version 31.01.01.15");
}

TEST(OneButtonTexts, ChipAgainstTheEmbeddedVersion) {
    uint8_t header[32] = {};
    const uint8_t v[4] = {0x1F, 0x01, 0x01, 0x0F};
    std::memcpy(header + 25, v, 4);
    uint8_t info[16] = {0xF4, 0xE7};
    const auto check = [&](std::initializer_list<uint8_t> chip) {
        std::copy(chip.begin(), chip.end(), info + 12);
        return compareWithEmbedded(info, 16, header, 32);
    };
    EXPECT_EQ(check({0x1F, 0x01, 0x01, 0x0F}), EmbeddedVersionCheck::AlreadyUpdated);
    EXPECT_EQ(check({0x1F, 0x01, 0x01, 0x0A}), EmbeddedVersionCheck::UpdateOffered);
    EXPECT_EQ(check({0x1E, 0x01, 0x01, 0x0F}), EmbeddedVersionCheck::FirmwareIdMismatch);
    EXPECT_EQ(check({0x1F, 0x02, 0x01, 0x0F}), EmbeddedVersionCheck::FirmwareIdMismatch);
    info[0] = 0;
    EXPECT_EQ(check({0x1F, 0x01, 0x01, 0x0A}), EmbeddedVersionCheck::Unreadable);
}

TEST(FileMatchesChip, EveryFamilyWithItsOwnSampleAndNotAnother) {
    struct Case { const char* sample; vendor::ChipType type; int revision; bool match; };
    const Case cases[] = {
        {"qvr298_31.01.01.20", 16, 0, true},
        {"qvr298_31.01.01.20", 15, 0, false},
        {"qvr297_31.02.00.05", 15, 0, true},
        {"qvr256_1.02.03", 13, 0, true},
        {"qvr256_1.02.03", 27, 0, false},
        {"qvr296_1.02.04", 14, 0, true},
        {"qvr253_1.02.05", 27, 0, true},
        {"qvr253_1.02.05", 13, 0, false},
        {"qvd529_with_nvram", 9, 0, true},
        {"qvd529_code_only", 9, 0, true},
        {"qvd529_code_only", 11, 0, false},
        {"qvd528_with_nvram", 7, 2, true},   // revision byte 1 belongs to the chip's revision 2
        {"qvd528_with_nvram", 7, 1, false},
        {"qvd523_with_nvram", 11, 0, true},
        {"qvd528_code_only", 11, 0, false},
        {"qvr227_with_nvram", 12, 0, true},
        {"qv84556_with_nvram", 5, 2, true},
        {"qv84556_with_nvram", 5, 1, false},
        {"qv84552_with_nvram", 1, 2, true},
        {"qv84552_with_nvram", 1, 3, false},
        {"qvd525_with_nvram", 8, 1, true},    // 55 AA AA 55 "q525"
        {"qvd525_with_nvram", 8, 2, false},
        {"qv84552_with_nvram", 3, 0, true},   // the QV84553 takes any file
        {"qvr294_31.05.00.01", 26, 0, false},   // never
        {"qvd529_with_nvram", 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sample) + " for chip type " + std::to_string(c.type));
        EXPECT_EQ(FileMatchesChip(fileOf(catalogImage(c.sample)), c.type, c.revision), c.match);
    }
}

TEST(FileMatchesChip, ShortFilesNeverMatchAndNeverOverread) {
    for (size_t size : {size_t{0}, size_t{5}, size_t{0xBFF5}}) {
        SCOPED_TRACE(size);
        auto bytes = catalogImage("qvr256_1.02.03");
        bytes.resize(size);
        EXPECT_FALSE(FileMatchesChip(fileOf(bytes), 13, 0));
        EXPECT_FALSE(fn_bCheckFwIncludeNVRAM(fileOf(bytes), 13));
    }
}

TEST(FileMatchesChip, UnopenableFileTellsTheUser) {
    std::vector<std::string> boxes;
    auto old = sys::setMessageBoxHandler([&](std::string_view text, std::string_view title, sys::MsgIcon) {
        boxes.push_back(std::string(title) + ": " + std::string(text));
        return 1;
    });
    EXPECT_FALSE(FileMatchesChip("/nonexistent/q55x.bin", 16, 0));
    EXPECT_FALSE(FileFitsFlash("/nonexistent/q55x.bin", 512));
    EXPECT_EQ(boxes, (std::vector<std::string>{"Error: Open Firmware File Error!!", "Error: Open Firmware File Error!!"}));
    sys::setMessageBoxHandler(old);
}

TEST(FirmwareFiles, OwnNvramAheadOfTheCode) {
    EXPECT_TRUE(fn_bCheckFwIncludeNVRAM(fileOf(catalogImage("qvd529_with_nvram")), 9));
    EXPECT_FALSE(fn_bCheckFwIncludeNVRAM(fileOf(catalogImage("qvd529_code_only")), 9));
    EXPECT_FALSE(fn_bCheckFwIncludeNVRAM(fileOf(catalogImage("qvd529_with_nvram")), 7)) << "another chip's code";
    // The QVD523 also by its alternative block at 128.
    auto qvd523 = catalogImage("qvd523_with_nvram");
    std::memset(qvd523.data() + 4096, 0, 10);
    EXPECT_TRUE(fn_bCheckFwIncludeNVRAM(fileOf(qvd523), 11));
    EXPECT_FALSE(fn_bCheckFwIncludeNVRAM(fileOf(qvd523), 7));
}

TEST(FirmwareFiles, FitsFlashByLength) {
    const fs::path p = fs::temp_directory_path() / "q55x-fits.bin";
    std::ofstream(p, std::ios::binary) << std::string(65536, 'x');
    EXPECT_TRUE(FileFitsFlash(p.string(), 64));
    EXPECT_FALSE(FileFitsFlash(p.string(), 63));
    EXPECT_FALSE(FileFitsFlash(p.string(), 0x1000000)) << "only the lowest 24 bits of the size count";
    fs::remove(p);
}

TEST(SingleBank, ValidateBankAndItsRegionCrc) {
    auto bank = catalogImage("qvr256_1.02.03");
    EXPECT_TRUE(ValidateBank(bank.data(), bank.size(), 13));
    EXPECT_FALSE(ValidateBank(bank.data(), bank.size(), 14)) << "the QVR296's code differs";
    EXPECT_FALSE(ValidateBank(bank.data(), bank.size(), 9)) << "not a single-bank family";
    bank[0x100] ^= 0x40;
    EXPECT_FALSE(ValidateBank(bank.data(), bank.size(), 13));
    ASSERT_TRUE(stampRegionCrc(bank.data(), bank.size(), 0xC000));
    EXPECT_TRUE(ValidateBank(bank.data(), bank.size(), 13));
    const std::vector<uint8_t> erased(0x10000, 0xFF);
    EXPECT_FALSE(ValidateBank(erased.data(), erased.size(), 13));
    EXPECT_FALSE(ValidateBank(bank.data(), 0x8000, 13)) << "too short for its region";
}

TEST(CodeFileMatchesChip, ByCodeStateAndRomVariant) {
    const auto fileWithCode = [](const char* code) {
        std::vector<uint8_t> b(64, 0);
        std::memcpy(b.data() + 21, code, 3);
        return fileOf(b);
    };
    struct Case { uint8_t state, rom; const char* chip; const char* file; CodeFileMatch want; };
    const Case cases[] = {
        {2, 5, "298", "298", CodeFileMatch::Match},
        {3, 0, "298", "297", CodeFileMatch::Mismatch},
        {1, 1, "297", "295", CodeFileMatch::Mismatch},
        {1, 0, "297", "295", CodeFileMatch::Match},
        {1, 0, "297", "292", CodeFileMatch::Match},
        {1, 0, "297", "298", CodeFileMatch::Mismatch},
        {1, 0, "298", "297", CodeFileMatch::Mismatch},
        {1, 2, "298", "298", CodeFileMatch::Refused},
        {0, 0, "298", "298", CodeFileMatch::Refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.chip) + " <- " + c.file);
        uint8_t info[16] = {0xF4, 0xE7, 0, 0, 0, 0, c.state, c.rom};
        std::memcpy(info + 8, c.chip, 3);
        EXPECT_EQ(CodeFileMatchesChip(fileWithCode(c.file), info, sizeof info), c.want);
    }
    EXPECT_EQ(CodeFileMatchesChip(fileOf({1, 2, 3}), nullptr, 0), CodeFileMatch::Mismatch);
}
