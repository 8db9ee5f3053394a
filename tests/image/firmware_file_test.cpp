// Firmware files the user may hand the programs by mistake: empty, cut short, far too large, a
// directory, unreadable. Each is refused with its own message.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image/image.h"
#include "support/catalog_samples.h"
#include "support/temp_dir.h"
#include "sys/message_box.h"

namespace fs = std::filesystem;
using namespace firmware;

namespace {

using testing_support::TempDir;

struct BoxRecorder {
    std::vector<std::string> boxes;
    sys::MessageBoxHandler old = sys::setMessageBoxHandler([this](std::string_view text, std::string_view title, sys::MsgIcon) {
        boxes.push_back(std::string(title) + ": " + std::string(text));
        return 1;
    });
    ~BoxRecorder() { sys::setMessageBoxHandler(old); }
};

// Whether taking a file's permissions away stops reading it here (it does not for root, nor on
// Windows, where the permissions only make a file read-only).
bool permissionsStopReads(const TempDir& t) {
    const fs::path probe = t.write("probe.bin", std::string("x"));
    fs::permissions(probe, fs::perms::none);
    const bool stopped = !std::ifstream(probe, std::ios::binary).is_open();
    fs::permissions(probe, fs::perms::owner_all);
    return stopped;
}

}  // namespace

TEST(FirmwareFileEdges, WhatReadingGives) {
    TempDir t;
    const fs::path empty = t.write("empty.bin", std::vector<uint8_t>{});
    const fs::path huge = t.dir / "huge.bin";
    std::ofstream(huge).close();
    fs::resize_file(huge, kMaxFirmwareFile + 1);   // sparse: nothing of it is ever read
    const fs::path folder = t.dir / "folder.bin";
    fs::create_directory(folder);

    const FileImage e = readFirmwareFile(empty.string());
    EXPECT_TRUE(e.opened);
    EXPECT_TRUE(e.bytes.empty());
    EXPECT_FALSE(e.tooLarge);

    const FileImage h = readFirmwareFile(huge.string());
    EXPECT_TRUE(h.opened);
    EXPECT_TRUE(h.tooLarge);
    EXPECT_TRUE(h.bytes.empty());

    // A directory opens as a stream on Linux and reports a size of its own: it must read as a
    // file that cannot be opened, not as an empty or an enormous one.
    for (const fs::path& p : {folder, t.dir / "missing.bin"}) {
        SCOPED_TRACE(p.string());
        const FileImage f = readFirmwareFile(p.string());
        EXPECT_FALSE(f.opened);
        EXPECT_TRUE(f.bytes.empty());
    }
}

TEST(FirmwareFileEdges, UnreadableFileCannotBeOpened) {
    TempDir t;
    if (!permissionsStopReads(t)) GTEST_SKIP() << "permissions do not stop reads here (root, or Windows)";
    const fs::path p = t.write("locked.bin", testing_support::catalogBytes("qvr256_1.02.03"));
    fs::permissions(p, fs::perms::none);
    EXPECT_FALSE(readFirmwareFile(p.string()).opened);
    BoxRecorder r;
    EXPECT_FALSE(FileMatchesChip(p.string(), 13, 0));
    EXPECT_FALSE(FileFitsFlash(p.string(), 512));
    EXPECT_EQ(r.boxes, (std::vector<std::string>{"Error: Open Firmware File Error!!", "Error: Open Firmware File Error!!"}));
}

TEST(FirmwareFileEdges, DirectoryIsAFileThatCannotBeOpened) {
    TempDir t;
    BoxRecorder r;
    EXPECT_FALSE(FileMatchesChip(t.dir.string(), 13, 0));
    EXPECT_FALSE(FileFitsFlash(t.dir.string(), 0xFFFFFF)) << "a directory fits no flash";
    EXPECT_FALSE(fn_bCheckFwIncludeNVRAM(t.dir.string(), 11));
    EXPECT_EQ(r.boxes, (std::vector<std::string>{"Error: Open Firmware File Error!!", "Error: Open Firmware File Error!!"}));
}

// Each family's file cut just short of the block that ties it to its chip no longer matches, and
// the same file whole does.
TEST(FirmwareFileEdges, ShorterThanItsSignatureBlock) {
    struct Case { const char* sample; vendor::ChipType type; size_t blockEnd; };
    for (const Case& c : std::initializer_list<Case>{
             {"qvr256_1.02.03", 13, 0xC000 - 16 + kSignatureBlockSize},
             {"qvr253_1.02.05", 27, 0x8000 - 16 + kSignatureBlockSize},
             {"qvd523_with_nvram", 11, 128 + kSignatureBlockSize},
             {"qvd529_with_nvram", 9, 4096 + kSignatureBlockSize},
             {"qvd528_code_only", 7, kSignatureBlockSize}}) {
        SCOPED_TRACE(c.sample);
        FileImage f;
        f.opened = true;
        f.bytes = testing_support::catalogBytes(c.sample);
        ASSERT_GE(f.bytes.size(), c.blockEnd);
        bool matchesWhole = false;
        for (int revision = 0; revision < 10; ++revision) matchesWhole |= FileMatchesChip(f, c.type, revision);
        EXPECT_TRUE(matchesWhole);
        f.bytes.resize(c.blockEnd - 1);
        for (int revision = 0; revision < 10; ++revision) EXPECT_FALSE(FileMatchesChip(f, c.type, revision));
    }
    // No family matches a file of fewer bytes than a signature block, whatever they are.
    FileImage tiny;
    tiny.opened = true;
    tiny.bytes = {0x55, 0xAA, 0xAA, 0x55, '2', '9', '8', '0', 0};
    for (int type = 0; type < vendor::kChipTypeCount; ++type) {
        for (int revision = 0; revision < 4; ++revision)
            EXPECT_FALSE(FileMatchesChip(tiny, static_cast<vendor::ChipType>(type), revision)) << type;
    }
}
