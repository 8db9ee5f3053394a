// The direct-command update, the bank recovery and the macOS QVD529 thread against emulated
// enclosures: what lands in flash, the NVRAM that survives, the version the chip reports after
// its reset, and the texts the user reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/catalog_samples.h"
#include "support/enclosure_rig.h"
#include "sys/bytes.h"
#include "image/format/crc.h"
#include "update/direct_update.h"
#include "image/image.h"
#include "image/image_catalog.h"
#include "sim/session.h"
#include "sys/resources.h"
#include "bridge/IDEAccess.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// One direct write as the chip got it: DF MM L2 L1 L0 00 00 00 A2 A1 A0 FB.
struct DirectWrite {
    uint32_t address, length;
    uint8_t mode;
    bool operator==(const DirectWrite&) const = default;
};
std::ostream& operator<<(std::ostream& os, const DirectWrite& d) {
    return os << '{' << d.address << ',' << d.length << ',' << int(d.mode) << '}';
}

Bytes sample(std::string_view name) { return testing_support::catalogBytes(name); }

Bytes pattern(size_t n, unsigned seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed * 31 + (i >> 9));
    return v;
}

// The shared rig, with the device selected, and the direct writes the chip got.
struct Rig : testing_support::EnclosureRig {
    explicit Rig(const std::string& text, bool blankFlash = false)
        : EnclosureRig(text, blankFlash ? std::function<void(sim::Enclosure&)>(
                                              [](sim::Enclosure& e) { std::fill(e.flash().begin(), e.flash().end(), 0xFF); })
                                        : nullptr) {
        identify();
    }
    // Every direct write as the chip got it: DF MM L2 L1 L0 00 00 00 A2 A1 A0 FB.
    std::vector<DirectWrite> writes() const {
        std::vector<DirectWrite> out;
        for (const auto& c : commands.sent)
            if (isDirectWrite(c.cdb)) out.push_back({sys::be24(&c.cdb[8]), sys::be24(&c.cdb[2]), c.cdb[1]});
        return out;
    }
    void refuseWrites(bool on) {
        if (on) commands.refuse = isDirectWrite;
    }
    // Spoils the first byte of a direct read at the addresses `at` picks.
    void spoilReads(std::function<bool(uint32_t address)> at) {
        commands.alter = [at](const transport::Request& req, transport::Result&) {
            const uint8_t* c = req.cdb;
            if (req.cdbLen >= 12 && c[0] == 0xDF && c[11] == 0xFA && req.data && req.xferLen && at(sys::be24(c + 8)))
                req.data[0] ^= 0x5A;
        };
    }
    void expectFirstWriteAtZeroFits() const {
        for (const DirectWrite& d : writes()) EXPECT_TRUE(d.address != 0 || d.length <= 4096) << d;
    }

private:
    static bool isDirectWrite(const Bytes& c) { return c.size() >= 12 && c[0] == 0xDF && c[11] == 0xFB; }
};

const std::string kPowerCycleBox = "Message: Please Turn-Off the Power and Turn-On Again!";
const std::string kAutoResetBox = "Message: Chip Auto reset, Please wait device re-attached!";

}  // namespace

// A one-bank file fills both banks; on a flash the window knows as 128 KiB it is written once; a
// file that does not fit is refused before anything is erased.
TEST(SimDirectUpdate, Qvr29xFileAgainstTheFlash) {
    struct Case { const char* file; size_t extra; uint32_t flashKiB; int chipReset; const char* status; };
    for (const Case& c : {Case{"qvr298_31.01.01.21_128k", 0, 0, 0, "Programming Success!!"},
                          Case{"qvr298_31.01.01.21_128k", 0, 128, 1, "Programming Success!!"},
                          Case{"qvr298_31.01.01.20", 0, 128, 0, "FW size > flash size!!"},
                          Case{"qvr298_31.01.01.21_128k", 100, 128, 0, "FW size > flash size!!"}}) {
        SCOPED_TRACE(std::string(c.file) + " on " + std::to_string(c.flashKiB));
        Rig rig("qvr298");
        if (c.flashKiB) rig.dev.flash.capacityKiB = c.flashKiB;
        Bytes file = sample(c.file);
        file.resize(file.size() + c.extra, 0x5A);
        const Bytes before = rig.enc->flash();
        rig.pick(file);
        rig.w.settings_.chipReset = c.chipReset;
        const bool ok = firmware::RunDirectUpdate(rig.w, rig.dev);
        EXPECT_EQ(rig.w.status(), c.status);
        if (!ok) {
            EXPECT_TRUE(rig.writes().empty());
            EXPECT_EQ(rig.enc->flash(), before);
            continue;
        }
        EXPECT_EQ(rig.flash(0, 0x20000), file);
        EXPECT_EQ(rig.flash(0x20000, 0x20000), c.flashKiB ? Bytes(before.begin() + 0x20000, before.begin() + 0x40000) : file);
        EXPECT_EQ(rig.boxes(), Lines{c.chipReset ? kAutoResetBox : kPowerCycleBox});
        EXPECT_EQ(rig.enc->resetCount(), 1) << "the direct path resets the chip whatever the setting";
        EXPECT_EQ(rig.versionAfterReset(4), (Bytes{31, 1, 1, 21}));
        rig.expectFirstWriteAtZeroFits();
    }
}

TEST(SimDirectUpdate, Qvr256RegionCrcOnlyForFilesUpTo64KiB) {
    {   // 64 KiB with a stale checksum: recomputed; the chip's NVRAM stays; both banks the same.
        Rig rig("qvr256");
        ASSERT_EQ(rig.dev.flash.capacityKiB, 128u);
        Bytes file = sample("qvr256_1.02.03");
        const uint16_t crc = firmware::Crc16Words(file.data(), 0xBFFC, 0);
        file[0xBFFE] ^= 0xFF;
        const Bytes nvram = pattern(4096, 1);
        rig.setFlash(0xC000, nvram);
        rig.pick(file);
        ASSERT_TRUE(firmware::RunDirectUpdate(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.flash(0, 0xBFFE), Bytes(file.begin(), file.begin() + 0xBFFE));
        EXPECT_EQ(rig.flash(0xBFFE, 2), (Bytes{uint8_t(crc >> 8), uint8_t(crc)}));
        EXPECT_EQ(rig.flash(0xC000, 4096), nvram);
        EXPECT_EQ(rig.flash(0x10000, 0x10000), rig.flash(0, 0x10000));
        EXPECT_EQ(rig.versionAfterReset(3), (Bytes{1, 2, 3}));
    }
    {   // Two banks in the file: written as they are, each bank from its own half.
        Rig rig("qvr256");
        firmware::ImageParams p;
        p.layout = firmware::ImageLayout::SingleBank;
        p.chipCode = "256";
        p.version = {1, 2, 9};
        p.twoCopies = true;
        Bytes file;
        std::string error;
        ASSERT_TRUE(firmware::buildImage(p, file, error)) << error;
        file[0xBFFE] ^= 0xFF;   // bank 0 fails its check, bank 1 is good
        rig.pick(file);
        rig.w.includeNvram_ = true;
        ASSERT_TRUE(firmware::RunDirectUpdate(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.flash(0, 0x20000), file);
        EXPECT_EQ(rig.versionAfterReset(3), (Bytes{1, 2, 9}));
    }
}

// With "Include 4K NVRAM" unchecked the chip's NVRAM is where it was after the update, also when
// the file ends before it (the erase in front of the code reaches it), and on the chips that keep
// two banks also its copy in the second bank, when the file carries both banks.
TEST(SimDirectUpdate, SingleBankKeptNvramSurvivesEveryFileShape) {
    struct Case { const char* enclosure; const char* code; uint32_t nvramAt; size_t fileSize; bool mirror; };
    for (bool include : {false, true})
    for (const Case& c : {Case{"qvr256", "256", 0xC000, 0xC000, true}, Case{"qvr256", "256", 0xC000, 0xC800, true},
                          Case{"qvr256,flash=ef3013", "256", 0xC000, 0xC000, true},
                          Case{"qvr296", "296", 0xC000, 0xC000, false}, Case{"qvr253", "253", 0x8000, 0x8000, true},
                          Case{"qvr256", "256", 0xC000, 0x20000, true}}) {
        if (include && c.fileSize >= c.nvramAt + 4096) continue;
        SCOPED_TRACE(std::string(c.enclosure) + " " + std::to_string(c.fileSize) + (include ? " (box ticked)" : ""));
        Rig rig(c.enclosure);
        const Bytes nvram = pattern(4096, 5);
        rig.setFlash(c.nvramAt, nvram);
        if (c.mirror) rig.setFlash(0x10000 + c.nvramAt, nvram);
        firmware::ImageParams p;
        p.layout = firmware::ImageLayout::SingleBank;
        p.chipCode = c.code;
        p.codeEnd = c.nvramAt;
        p.version = {1, 2, 7};
        p.twoCopies = c.fileSize > 0x10000;
        Bytes file;
        std::string error;
        ASSERT_TRUE(firmware::buildImage(p, file, error)) << error;
        file.resize(c.fileSize);
        rig.pick(file);
        rig.w.includeNvram_ = include;
        ASSERT_TRUE(firmware::RunDirectUpdate(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.flash(0, c.nvramAt), Bytes(file.begin(), file.begin() + c.nvramAt));
        EXPECT_EQ(rig.flash(c.nvramAt, 4096), nvram);
        if (c.mirror) {
            EXPECT_EQ(rig.flash(0x10000 + c.nvramAt, 4096), nvram);
        }
        EXPECT_EQ(rig.versionAfterReset(3), (Bytes{1, 2, 7}));
    }
}

// A file shorter than the NVRAM (1 or 256 bytes) carries none: the chip's comes back whole.
TEST(SimDirectUpdate, Qvd529KeepsItsNvramUnlessTheFilesIsIncluded) {
    for (size_t size : {0, 1, 256})   // 0: the whole file
    for (bool include : {false, true}) {
        SCOPED_TRACE(std::to_string(size) + (include ? " included" : ""));
        Rig rig("qvd529");
        Bytes file = sample("qvd529_with_nvram");
        if (size) file.resize(size);
        const Bytes nvram = pattern(4096, 2);
        rig.setFlash(0, nvram);
        rig.pick(file);
        rig.w.includeNvram_ = include;
        ASSERT_TRUE(firmware::RunDirectUpdate(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.flash(0, 4096), include && !size ? Bytes(file.begin(), file.begin() + 4096) : nvram);
        if (!size) {
            EXPECT_EQ(rig.flash(4096, file.size() - 4096), Bytes(file.begin() + 4096, file.end()));
        }
        EXPECT_EQ(rig.boxes(), Lines{kPowerCycleBox});
        EXPECT_EQ(rig.enc->resetCount(), 0);
        rig.expectFirstWriteAtZeroFits();
    }
}

// The kept NVRAM goes back from a copy two reads agree on: one spoilt read is read again, and a
// copy that never reads the same twice stops the update before anything is written.
TEST(SimDirectUpdate, KeptNvramComesFromAConfirmedRead) {
    struct Case { const char* enclosure; const char* file; uint32_t nvramAt; bool mac; };
    for (const Case& c : {Case{"qvd529", "qvd529_with_nvram", 0, false}, Case{"qvr256", "qvr256_1.02.03", 0xC000, false},
                          Case{"qvr296", "", 0xC000, true}}) {
        for (bool everyOther : {false, true}) {
            SCOPED_TRACE(std::string(c.enclosure) + (c.mac ? " macOS" : "") + (everyOther ? " every other read" : " one read"));
            const auto previousLoader = sys::setResourceLoader(firmware::catalogResources());
            const auto previousSink = firmware::setMacOutputSink([](std::string_view) {});
            Rig rig(c.enclosure);
            const size_t kept = c.mac ? 256 : 4096;
            const Bytes nvram = pattern(kept, 30);
            rig.setFlash(c.nvramAt, nvram);
            int reads = 0;
            rig.spoilReads([&](uint32_t at) {
                return at == c.nvramAt && rig.writes().empty() && (everyOther ? ++reads % 2 : ++reads == 1);
            });
            bool ok;
            if (c.mac) {
                ok = firmware::qvd529_update_func(rig.session.bus().deviceOf(0).makerObject, {}) == 0;
            } else {
                rig.pick(sample(c.file));
                ok = firmware::RunDirectUpdate(rig.w, rig.dev);
                if (everyOther) {
                    EXPECT_EQ(rig.w.status(), "Backup NVRAM command fail!");
                }
            }
            firmware::setMacOutputSink(previousSink);
            sys::setResourceLoader(previousLoader);
            EXPECT_EQ(ok, !everyOther);
            EXPECT_EQ(rig.flash(c.nvramAt, kept), nvram);
            if (everyOther) {
                EXPECT_TRUE(rig.writes().empty());
            }
        }
    }
}

// Erase as you go: 4096 bytes at 0, bit 7 on an MXIC erase at 0, no chunk past the erased units,
// the next chunk erases the next unit, the QVR29x bridges get the erase as a command of its own;
// only the caller's bytes are written, the rounding to 512 is zeros; one "." per chunk.
TEST(SimDirectUpdate, WriteChunksFollowTheEraseUnits) {
    struct Case { const char* enclosure; uint32_t start, sectorCounter; size_t length; uint8_t mode; std::vector<DirectWrite> sent; };
    for (const Case& c : {
             Case{"qvd529,flash=ef3013", 3072, 1, 8192, 1, {{0xC00, 1024, 0}, {0x1000, 4096, 1}, {0x2000, 3072, 1}}},
             Case{"qvr298", 3072, 1, 8192, 1, {{0xC00, 1024, 0}, {0x1000, 0, 1}, {0x1000, 4096, 0}, {0x2000, 0, 1}, {0x2000, 3072, 0}}},
             Case{"qvd529", 0, 0, 10000, 2, {{0, 4096, 0x82}, {0x1000, 6144, 0}}},
             Case{"qvd529,flash=ef3013", 0x10000, 0, 8192, 1, {{0x10000, 4096, 1}, {0x11000, 4096, 1}}}}) {
        SCOPED_TRACE(c.enclosure + std::string(" at ") + std::to_string(c.start));
        Rig rig(c.enclosure);
        std::fill_n(rig.enc->flash().begin(), 0x4000, 0x00);   // programmed, so a missing erase shows
        std::fill_n(rig.enc->flash().begin(), 0x1000, 0xFF);   // the unit the counter calls erased
        firmware::DirectUpdateState s = firmware::directUpdateStateFor(rig.dev);
        s.sectorCounter = c.sectorCounter;
        const Bytes data = pattern(c.length, 3);
        ASSERT_TRUE(firmware::fn_SerialFlashWrite529(rig.w, rig.dev, s, c.start, data.data(), data.size(), c.mode));
        EXPECT_EQ(rig.writes(), c.sent);
        const size_t rounded = (c.length + 511) / 512 * 512;
        EXPECT_EQ(rig.flash(c.start, rounded), [&] { Bytes b = data; b.resize(rounded, 0); return b; }());
        const std::string status = rig.w.status();
        EXPECT_EQ(std::count(status.begin(), status.end(), '.'),
                  std::count_if(c.sent.begin(), c.sent.end(), [](const DirectWrite& d) { return d.length > 0; }));
    }
}

TEST(SimDirectUpdate, BankRecoveryCopiesTheGoodBankOnce) {
    for (uint32_t damaged : {0x10000u, 0u}) {
        SCOPED_TRACE(damaged);
        Rig rig("qvr256");
        const Bytes good = rig.flash(damaged ^ 0x10000, 0x10000);
        rig.enc->flash()[damaged + 0x100] ^= 0xFF;
        rig.w.updateButton_ = damaged != 0;   // comes back as it was
        EXPECT_TRUE(firmware::RecoverFirmwareBank(rig.w, rig.dev));
        EXPECT_EQ(rig.flash(damaged, 0x10000), good);
        EXPECT_EQ(rig.w.status(), "FW Recovery successful!!");
        EXPECT_EQ(rig.record.recoveryMark, 1);
        EXPECT_EQ(rig.w.updateButton_, damaged != 0);
        ASSERT_FALSE(rig.writes().empty());
        EXPECT_EQ(rig.writes().front().address, damaged);

        rig.enc->flash()[damaged + 0x100] ^= 0xFF;   // marked: not looked at again
        const uint64_t commands = rig.enc->commandCount();
        EXPECT_TRUE(firmware::RecoverFirmwareBank(rig.w, rig.dev));
        EXPECT_EQ(rig.enc->commandCount(), commands);
    }
}

// A failed attempt is followed by the next erase mode (2, 1, 3); three failures fail the update,
// and so does a power cut anywhere in it.
TEST(SimDirectUpdate, FailuresNeverEndInSuccess) {
    struct Case { int failure; bool ok; std::vector<uint8_t> modesAtZero; };
    // With every command refused, the product record cannot be read ahead of the chip erase,
    // which is then not sent.
    for (const Case& c : {Case{0, true, {2, 1}}, Case{1, false, {2, 1}}, Case{2, false, {}}, Case{3, false, {}}}) {
        SCOPED_TRACE(c.failure);
        Rig rig("qvr298");
        const Bytes file = sample("qvr298_31.01.01.20");
        rig.pick(file);
        sim::Faults& f = rig.enc->faults();
        const uint64_t now = rig.enc->commandCount();
        if (c.failure == 0) f.failOnlyOpcode(0xDF).failAt(now + 1);   // the first direct command
        if (c.failure == 1) f.failOnlyOpcode(0xDF).failEvery(1);
        if (c.failure == 2) f.powerCutAt(now + 40);
        if (c.failure == 3) f.powerCutAt(now + 600);   // during the read-back
        EXPECT_EQ(firmware::RunDirectUpdate(rig.w, rig.dev), c.ok);
        EXPECT_EQ(rig.said("Programming Success!!"), c.ok);
        EXPECT_EQ(rig.boxes().empty(), !c.ok);
        if (c.ok) {
            EXPECT_EQ(rig.flash(0, file.size()), file);
        }
        if (c.failure >= 2) {
            EXPECT_TRUE(rig.enc->poweredOff());
            continue;
        }
        EXPECT_TRUE(rig.said("Write Bin File fail!"));
        std::vector<uint8_t> modes;
        for (const DirectWrite& d : rig.writes())
            if (d.address == 0 && (d.mode & 7)) modes.push_back(d.mode);
        EXPECT_EQ(modes, c.modesAtZero);
    }
}

// A chip erase (an AMIC part's first attempt) or a run failed by spoilt reads leaves what the chip
// keeps: the NVRAM in both banks, the QVR29x product record.
TEST(SimDirectUpdate, ChipEraseAndFailedRunLeaveTheKeptStretches) {
    struct Case { const char* enclosure; const char* file; std::vector<uint32_t> kept; bool spoilt; };
    for (const Case& c : {Case{"qvr256", "qvr256_1.02.03", {0xC000, 0x1C000}, true}, Case{"qvr298", "qvr298_31.01.01.20", {0x44000}, true},
                          Case{"qvr298,flash=373013", "qvr298_31.01.01.20", {0x44000}, false}}) {
        SCOPED_TRACE(c.enclosure);
        Rig rig(c.enclosure);
        const Bytes kept = pattern(4096, 8);
        for (uint32_t at : c.kept) rig.setFlash(at, kept);
        rig.pick(sample(c.file));
        if (c.spoilt) rig.enc->faults().flipEvery(5);
        EXPECT_EQ(firmware::RunDirectUpdate(rig.w, rig.dev), !c.spoilt);
        for (uint32_t at : c.kept) EXPECT_EQ(rig.flash(at, 4096), kept) << at;
    }
}

// The QVR293/QVR296 series' single-bank image boots; a chip it does not name is refused unwritten.
TEST(SimDirectUpdate, MacQvd529ThreadKeeps256BytesAt0xC000) {
    Rig rig("qvr296");
    const uint32_t device = rig.session.bus().deviceOf(0).makerObject;
    Lines lines;
    const auto previousSink = firmware::setMacOutputSink([&](std::string_view l) { lines.emplace_back(l); });
    Bytes bundle;
    ASSERT_TRUE(firmware::catalogResources()(firmware::kMacQvd529Image, "BIN", bundle));
    const Lines head = {"update_func: check flash type.", "update_func: allocate resources.",
                        "update_func: wait device ready.", "update_func: read nvram back.", "update_func: update flash."};
    Lines updated = head, refused = head;
    for (const char* l : {"QV_UpdateFlash529: programing.", "QV_UpdateFlash529: read back.",
                          "QV_UpdateFlash529: compare.", "update_func: update flash success.",
                          "update_func: show success message."})
        updated.push_back(l);
    refused.insert(refused.end(), 3, "QV_UpdateFlash529: programing.");
    refused.push_back("update_func: update falsh fail.");
    refused.push_back("update_func: update fails.");

    struct Case { size_t size; bool refuseWrites; Lines lines; };
    for (const Case& c : {Case{bundle.size(), false, updated}, Case{bundle.size(), true, refused},
                          Case{0xC0FF, false, {"update_func: image too short.", "update_func: update fails."}},
                          Case{0xCFFF, false, {"update_func: image too short.", "update_func: update fails."}}}) {
        SCOPED_TRACE(c.lines.back());
        const Bytes image(bundle.begin(), bundle.begin() + c.size);
        const auto previousLoader =
            sys::setResourceLoader([&](std::string_view, std::string_view, Bytes& out) { return out = image, true; });
        std::fill(rig.enc->flash().begin(), rig.enc->flash().end(), 0x00);
        const Bytes kept = pattern(256, 4);
        rig.setFlash(0xC000, kept);
        lines.clear();
        rig.refuseWrites(c.refuseWrites);
        std::vector<bool> shown;
        const bool ok = c.lines == updated;
        EXPECT_EQ(firmware::qvd529_update_func(device, [&](bool r) { shown.push_back(r); }), ok ? 0 : -1);
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(shown, std::vector<bool>{ok});
        Bytes expected = ok ? bundle : Bytes(bundle.size(), 0);
        std::copy(kept.begin(), kept.end(), expected.begin() + 0xC000);
        EXPECT_EQ(rig.flash(0, bundle.size()), expected);
        sys::setResourceLoader(previousLoader);
        if (!ok) continue;
        rig.enc->reboot();
        EXPECT_EQ(rig.enc->bootState(), sim::BootState::Firmware);
        EXPECT_EQ(rig.versionAfterReset(4), (Bytes{20, 5, 3, 3}));
    }
    {   // An image larger than the flash would wrap round over the bytes kept at 0xC000.
        Rig small("qvr296,flash=c22010");
        Bytes image = bundle;
        image.resize(0x18000, 0xA5);
        const auto previousLoader =
            sys::setResourceLoader([&](std::string_view, std::string_view, Bytes& out) { return out = image, true; });
        const Bytes before = small.enc->flash();
        EXPECT_EQ(firmware::qvd529_update_func(small.makerObject, {}), -1);
        EXPECT_EQ(lines.end()[-2], "FW size > flash size!!");
        EXPECT_EQ(small.enc->flash(), before);
        sys::setResourceLoader(previousLoader);
    }
    Rig qvr256("qvr256");
    const auto previousLoader = sys::setResourceLoader(firmware::catalogResources());
    EXPECT_EQ(firmware::qvd529_update_func(qvr256.makerObject, {}), -1);
    EXPECT_EQ(lines.end()[-2], "update_func: FW and Chip not match.");
    EXPECT_TRUE(qvr256.writes().empty());
    sys::setResourceLoader(previousLoader);
    firmware::setMacOutputSink(previousSink);
}

// "Read/Write Buffer": the chip programs its flash itself. From its ROM loader it first takes the
// manufacturing code into RAM and programs through it on the second run; a chip running its
// firmware or its manufacturing code from flash takes the image directly.
TEST(SimDirectUpdate, BufferPathProgramsThroughTheChip) {
    const auto previousLoader = sys::setResourceLoader(firmware::catalogResources());
    enum class Start { RomLoader, MfgInFlash, Firmware };
    for (Start start : {Start::RomLoader, Start::MfgInFlash, Start::Firmware}) {
        SCOPED_TRACE(static_cast<int>(start));
        Rig rig("qvr298", start != Start::Firmware);
        if (start == Start::MfgInFlash) {
            firmware::ImageParams p;
            p.manufacturing = true;
            Bytes mfg;
            std::string error;
            ASSERT_TRUE(firmware::buildImage(p, mfg, error)) << error;
            rig.setFlash(0, mfg);
            rig.enc->reboot();
            ASSERT_EQ(rig.enc->bootState(), sim::BootState::ManufacturingFlash);
        }
        const Bytes file = sample("qvr298_31.01.01.20");
        rig.pick(file);
        rig.w.readWriteBuffer_ = true;
        rig.w.setProductSn_ = false;
        const int chipReset = start == Start::MfgInFlash ? 0 : 1;
        rig.w.settings_.chipReset = chipReset;
        ASSERT_TRUE(firmware::RunDirectUpdate(rig.w, rig.dev)) << rig.w.status();
        for (const DirectWrite& d : rig.writes()) EXPECT_EQ(d.length, 0u) << "only chip erases go direct";
        EXPECT_EQ(rig.flash(0, file.size()), file);
        EXPECT_EQ(rig.boxes(), Lines{chipReset ? kAutoResetBox : kPowerCycleBox});
        EXPECT_EQ(rig.enc->resetCount(), chipReset);
        if (chipReset) {
            EXPECT_EQ(rig.versionAfterReset(4), (Bytes{31, 1, 1, 20}));
        } else {   // the second bank is compared too: one that reads back wrong is no success
            rig.commands.alter = [](const transport::Request& r, transport::Result&) {
                if (r.cdb[0] == 0x3C && r.cdb[1] == 1 && sys::be24(r.cdb + 3) == 0x30000 && r.data) r.data[0] ^= 0x5A;
            };
            EXPECT_FALSE(firmware::RunDirectUpdate(rig.w, rig.dev));
            EXPECT_EQ(rig.w.status(), "Data compare fail !!");
        }
    }
    sys::setResourceLoader(previousLoader);
}
