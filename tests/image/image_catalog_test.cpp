// Every sample firmware file of our catalogue, flashed into an emulated enclosure of its family by
// the procedure the Run button chooses: after the reset the chip runs the sample's own firmware,
// not its ROM code, and the flash holds the file's bytes where they belong, with the settings the
// procedure keeps left as the chip had them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/catalog_samples.h"
#include "update/run_dispatch.h"
#include "image/image.h"
#include "image/image_catalog.h"
#include "update/update_texts.h"
#include "sim/session.h"
#include "bridge/IDEAccess.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Range {
    uint32_t at, len;
};

struct Case {
    const char* sample;
    const char* enclosure;
    uint32_t flashAt;              // where the file's first byte belongs in flash
    std::vector<Range> kept;       // the chip's own bytes the procedure leaves (or puts back)
    std::vector<Range> fromFile;   // parts of a kept range that the file supplies all the same
    bool includeNvram = false;     // "Include 4K NVRAM" checked
};

// clang-format off
const Case kCases[] = {
    {"qvr298_31.01.01.20",      "qvr298,fw=31.01.01.10", 0, {}, {}},
    {"qvr298_31.01.01.21_128k", "qvr298,fw=31.01.01.10", 0, {}, {}},
    {"qvr297_31.02.00.05",      "qvr297",  0, {}, {}},
    {"qvr295_31.03.00.02",      "qvr295",  0, {}, {}},
    {"qvr292_31.04.00.02",      "qvr292",  0, {}, {}},
    {"qvr294_31.05.00.01",      "qvr294",  0, {}, {}},
    {"qvr256_1.02.03",          "qvr256",  0, {{0xC000, 4096}}, {}},
    {"qvr296_1.02.04",          "qvr296",  0, {{0xC000, 4096}}, {}},
    {"qvr253_1.02.05",          "qvr253",  0, {{0x8000, 4096}}, {}},
    {"qvd529_with_nvram",       "qvd529",  0, {{0, 4096}}, {}},
    {"qvd529_code_only",        "qvd529",  4096, {{0, 4096}}, {}},
    // A file without NVRAM has none to include: the chip's stays, the code goes behind it.
    {"qvd529_code_only",        "qvd529",  4096, {{0, 4096}}, {}, true},
    {"qvd528_with_nvram",       "qvd528",  0, {{0, 4096}}, {}},
    {"qvd528_code_only",        "qvd528",  4096, {{0, 4096}}, {}},
    {"qvd523_with_nvram",       "qvd523",  0, {{0, 4096}}, {{128, 80}}},
    {"qvr227_with_nvram",       "qvr227",  0, {{0, 4096}}, {}},
    // Written from 0 as they are; a 32 KiB file leaves the settings bytes at 0x8000 alone.
    {"qvd525_with_nvram",       "qvd525",  0, {{0x8000, 512}}, {}},
    {"qvd525_with_nvram",       "qvd525,bus=1394", 0, {{0x8000, 1024}}, {}},
    {"qv84552_with_nvram",      "qv84552", 0, {{0x8000, 512}}, {}},
    {"qv84556_with_nvram",      "qv84556", 0, {{0x8000, 512}}, {}},
};
// clang-format on

Bytes pattern(size_t n, unsigned seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed * 31 + (i >> 8) + 1);
    return v;
}

const firmware::CatalogImage* catalogEntry(std::string_view name) {
    for (const firmware::CatalogImage& c : firmware::imageCatalog())
        if (c.sample && name == c.name) return &c;
    return nullptr;
}

bool inside(uint32_t a, const std::vector<Range>& rs) {
    return std::any_of(rs.begin(), rs.end(), [a](const Range& r) { return a >= r.at && a < r.at + r.len; });
}

TEST(SimSamples, EverySampleBootsItsOwnFirmwareAfterItsFamilysUpdate) {
    std::set<std::string> covered;
    for (const Case& c : kCases) covered.insert(c.sample);
    for (const firmware::CatalogImage& c : firmware::imageCatalog()) {
        if (c.sample) {
            EXPECT_TRUE(covered.count(c.name)) << c.name << " has no row here";
        }
    }

    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.sample) + " on " + c.enclosure + (c.includeNvram ? ", NVRAM included" : ""));
        const firmware::CatalogImage* entry = catalogEntry(c.sample);
        ASSERT_NE(entry, nullptr);
        const Bytes file = testing_support::catalogBytes(c.sample);

        sim::Session session;
        std::string error;
        ASSERT_TRUE(session.bus().addEnclosure(c.enclosure, error)) << error;
        sim::Enclosure& enc = session.bus().enclosure(0);
        ASSERT_GE(enc.flash().size(), c.flashAt + file.size());
        // Settings of the chip's own that differ from anything in the file.
        for (const Range& r : c.kept) {
            const Bytes mine = pattern(r.len, r.at / 256 + 3);
            std::copy(mine.begin(), mine.end(), enc.flash().begin() + r.at);
        }
        const Bytes before = enc.flash();

        firmware::SelectedDevice dev;
        dev.path = session.bus().deviceOf(0).windowsPath;
        dev.chip = IDEAccess::DetectChipType(dev.path);
        dev.flash = IDEAccess::DetectFlash(dev.path, dev.chip.type, dev.chip.revision);
        const std::filesystem::path path =
            std::filesystem::temp_directory_path() / (std::string("q55x_samples_") + c.sample + ".bin");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        // The window refuses a file that does not match the chip; the QVR294's files never do.
        if (dev.chip.type != vendor::chipTypeOfCode("294")) {
            EXPECT_TRUE(firmware::FileMatchesChip(path.string(), dev.chip.type, dev.chip.revision));
        }

        firmware::RecordingWindow w;
        w.firmwareFile_ = path.string();
        w.includeNvram_ = c.includeNvram;
        const firmware::RunProcedure p = firmware::chooseRunProcedure(dev, w.firmwareFile_);
        const bool ok = firmware::runChosenProcedure(p, w, dev);
        std::filesystem::remove(path);
        ASSERT_TRUE(ok) << "procedure " << static_cast<int>(p) << ": " << w.status();

        // The file's bytes where they belong, the kept bytes as they were.
        const Bytes& after = enc.flash();
        size_t wrong = 0, firstWrong = SIZE_MAX;
        for (uint32_t i = 0; i < file.size(); ++i) {
            const uint32_t a = c.flashAt + i;
            if (inside(a, c.kept) && !inside(a, c.fromFile)) continue;
            if (after[a] != file[i] && wrong++ == 0) firstWrong = a;
        }
        EXPECT_EQ(wrong, 0u) << "first at flash 0x" << std::hex << firstWrong;
        for (const Range& r : c.kept)
            for (uint32_t a = r.at; a < r.at + r.len; ++a)
                if (!inside(a, c.fromFile) && after[a] != before[a]) {
                    ADD_FAILURE() << "kept byte changed at flash 0x" << std::hex << a;
                    break;
                }

        // Power off and on: the chip finds the sample's firmware and reports its version.
        enc.reboot();
        EXPECT_EQ(enc.bootState(), sim::BootState::Firmware) << sim::bootStateName(enc.bootState());
        const sim::ChipPersona& persona = enc.persona();
        const std::vector<uint8_t>& version = entry->params.version;
        const size_t n = std::min<size_t>(persona.versionCount, version.size());
        ASSERT_GT(n, 0u);
        const Bytes info = enc.chipInfo();
        Bytes reported;
        for (size_t i = 0; i < n; ++i) reported.push_back(info[persona.versionPos[i]]);
        EXPECT_EQ(reported, Bytes(version.begin(), version.begin() + static_cast<long>(n)));
    }
}

// The same files cut to their code (what a vendor's "code only" file holds) would put the code where
// these chips keep their NVRAM: the procedure refuses them before anything reaches the flash.
TEST(SimSamples, CodeWithoutItsNvramIsRefusedByTheNvramFirstFamilies) {
    const std::pair<const char*, const char*> cases[] = {
        {"qv84552_with_nvram", "qv84552"},
        {"qv84556_with_nvram", "qv84556"},
        {"qvd525_with_nvram", "qvd525"},
        {"qvd525_with_nvram", "qvd525,bus=1394"},
    };
    for (const auto& [sample, enclosure] : cases) {
        SCOPED_TRACE(std::string(sample) + " on " + enclosure);
        const Bytes whole = testing_support::catalogBytes(sample);
        ASSERT_GT(whole.size(), 4096u);
        const Bytes code(whole.begin() + 4096, whole.end());

        sim::Session session;
        std::string error;
        ASSERT_TRUE(session.bus().addEnclosure(enclosure, error)) << error;
        sim::Enclosure& enc = session.bus().enclosure(0);
        const Bytes before = enc.flash();

        firmware::SelectedDevice dev;
        dev.path = session.bus().deviceOf(0).windowsPath;
        dev.chip = IDEAccess::DetectChipType(dev.path);
        dev.flash = IDEAccess::DetectFlash(dev.path, dev.chip.type, dev.chip.revision);
        const std::filesystem::path path =
            std::filesystem::temp_directory_path() / (std::string("q55x_code_only_") + sample + ".bin");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(code.data()), static_cast<std::streamsize>(code.size()));

        firmware::RecordingWindow w;
        w.firmwareFile_ = path.string();
        const firmware::RunProcedure p = firmware::chooseRunProcedure(dev, w.firmwareFile_);
        const bool ok = firmware::runChosenProcedure(p, w, dev);
        std::filesystem::remove(path);
        EXPECT_FALSE(ok);
        EXPECT_EQ(w.status(), firmware::kTextCodeWithoutNvram);
        EXPECT_TRUE(enc.flash() == before) << "the flash was touched";
        enc.reboot();
        EXPECT_EQ(enc.bootState(), sim::BootState::Firmware);
    }
}

}  // namespace
