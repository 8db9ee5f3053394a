// The update procedures of the serial-flash, legacy, 1394, QVR294 and disk-resident bridges against
// emulated enclosures: what lands in flash (or on the disk), the NVRAM that survives, the commands
// the bridge saw, and the texts and boxes the user gets. Also the Run button's choice of procedure.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "support/catalog_samples.h"
#include "image/format/crc.h"
#include "update/run_dispatch.h"
#include "image/image.h"
#include "image/image_catalog.h"
#include "sim/session.h"
#include "sys/resources.h"
#include "bridge/IDEAccess.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using firmware::RunProcedure;

uint32_t be24(const uint8_t* p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }

// Between the procedures and the bus: notes the commands that matter here and can refuse or
// spoil some of them.
class Recorder final : public transport::Backend {
public:
    explicit Recorder(sim::Bus& bus) : bus_(bus) {}
    transport::Result execute(const transport::Request& req) override {
        const Bytes cdb(req.cdb, req.cdb + req.cdbLen);
        const bool serial = req.cdbLen >= 3 && cdb[0] == 0xFF && cdb[1] == 0x04;
        const bool flashRead = serial && cdb[2] == 0x10;
        if (serial && cdb[2] == 0x14) unitErases.push_back(be24(&cdb[3]));
        if (serial && cdb[2] == 0x13) ++chipErases;
        if (serial && cdb[2] == 0x11) writes.push_back({be24(&cdb[3]), req.xferLen});
        if (flashRead) reads.push_back({be24(&cdb[3]), req.xferLen});
        if (cdb[0] >= 0xB2 && cdb[0] <= 0xB6) cdbs294.push_back(cdb);
        if (cdb[0] == 0xDF && req.cdbLen >= 12 && cdb[11] == 0xFB) ++directWrites;
        if (cdb[0] == 0xDF && req.cdbLen >= 12 && cdb[11] == 0xFA) directReads.push_back(req.xferLen);
        if (refuse && refuse(cdb)) return transport::Result{true, true, 0, 2};
        transport::Result r = bus_.execute(req);
        const bool diskRead = cdb[0] == 0x85 && req.cdbLen >= 15 && cdb[14] == 0x25;
        const bool directRead = cdb[0] == 0xDF && req.cdbLen >= 12 && cdb[11] == 0xFA;
        if ((flashRead || diskRead || directRead) && spoilRead && spoilRead(cdb) && req.data && req.xferLen)
            req.data[req.xferLen - 1] ^= 0x5A;
        return r;
    }
    struct Stretch {
        uint32_t at, len;
        bool operator==(const Stretch&) const = default;
    };
    std::vector<uint32_t> unitErases;
    int chipErases = 0;
    std::vector<Stretch> writes, reads;
    std::vector<Bytes> cdbs294;
    int directWrites = 0;
    std::vector<uint32_t> directReads;   // transfer lengths
    std::function<bool(const Bytes&)> refuse, spoilRead;
    // Nothing that erases or programs the flash went out.
    bool wroteNothing() const { return unitErases.empty() && chipErases == 0 && writes.empty() && directWrites == 0; }
    void clear() {
        directWrites = 0;
        directReads.clear();
        unitErases.clear();
        chipErases = 0;
        writes.clear();
        reads.clear();
        cdbs294.clear();
    }

private:
    sim::Bus& bus_;
};

std::ostream& operator<<(std::ostream& os, const Recorder::Stretch& s) { return os << '{' << s.at << ',' << s.len << '}'; }

Bytes sample(std::string_view name) { return testing_support::catalogBytes(name); }

Bytes pattern(size_t n, unsigned seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + seed * 29 + (i >> 8));
    return v;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Rig {
    sim::Session session;
    Recorder recorder{session.bus()};
    transport::ScopedBackend scoped{recorder};
    sim::Enclosure* enc = nullptr;
    firmware::SelectedDevice dev;
    firmware::RecordingWindow w;

    explicit Rig(const std::string& text) {
        std::string error;
        EXPECT_TRUE(session.bus().addEnclosure(text, error)) << error;
        enc = &session.bus().enclosure(0);
        dev.path = session.bus().deviceOf(0).windowsPath;
        dev.chip = IDEAccess::DetectChipType(dev.path);
        dev.flash = IDEAccess::DetectFlash(dev.path, dev.chip.type, dev.chip.revision);
        recorder.clear();   // what identification sent is not the update's
    }
    ~Rig() {
        if (!w.firmwareFile_.empty()) std::filesystem::remove(w.firmwareFile_);
    }
    void pick(const Bytes& bytes) {
        const auto* t = testing::UnitTest::GetInstance()->current_test_info();
        w.firmwareFile_ = (std::filesystem::temp_directory_path() / (std::string("q55x_family_") + t->name() + ".bin")).string();
        std::ofstream(w.firmwareFile_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    Bytes flash(size_t at, size_t n) { return Bytes(enc->flash().begin() + at, enc->flash().begin() + at + n); }
    void setFlash(size_t at, const Bytes& b) { std::copy(b.begin(), b.end(), enc->flash().begin() + at); }
    Lines boxes() const {
        Lines out;
        for (const auto& b : w.boxes) out.push_back(b.title + ": " + b.text);
        return out;
    }
    Bytes disk(uint64_t lba, size_t blocks) {
        const uint32_t ss = enc->disk().sectorSize();
        Bytes out(blocks * ss);
        EXPECT_TRUE(enc->disk().read(lba, blocks, out.data()));
        return out;
    }
};

const std::string kPowerCycleBox = "Message: Please Turn-Off the Power and Turn-On Again!";
const std::string kLegacyBox = "Message: Please Turn-Off the Power and Turn-On Again !";
const Bytes kNoBytes;

// A chip NVRAM unlike any file's, with the validity marker.
Bytes chipNvram(unsigned seed) {
    Bytes n = pattern(4096, seed);
    n[126] = 'Q';
    n[127] = 'V';
    return n;
}

}  // namespace

// --- UpdateFlash_528Series and its SST form --------------------------------------------------

TEST(SimFamily528, PagesTailAndTheKeptNvram) {
    {   // 4 KiB of code, no NVRAM of its own: the chip's NVRAM, the code, zeros; one unit, one page.
        Rig rig("qvd528");
        const Bytes nvram = chipNvram(1);
        rig.setFlash(0, nvram);
        const Bytes code = pattern(4096, 2);
        rig.pick(code);
        ASSERT_TRUE(firmware::UpdateFlash_528Series(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.recorder.unitErases, std::vector<uint32_t>{0});
        EXPECT_EQ(rig.recorder.writes, (std::vector<Recorder::Stretch>{{0, 16384}}));
        EXPECT_EQ(rig.flash(0, 4096), nvram);
        EXPECT_EQ(rig.flash(4096, 4096), code);
        EXPECT_EQ(rig.flash(8192, 8192), Bytes(8192, 0));
        EXPECT_EQ(rig.w.status(), "Programming Success!!");
        EXPECT_EQ(rig.boxes(), Lines{kPowerCycleBox});
    }
    {   // Its own NVRAM with "Include 4K NVRAM" ticked: the file as it is, the chip's NVRAM not read.
        Rig rig("qvd528");
        rig.setFlash(0, chipNvram(3));
        const Bytes file = sample("qvd528_with_nvram");
        rig.pick(file);
        rig.w.includeNvram_ = true;
        ASSERT_TRUE(firmware::UpdateFlash_528Series(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.flash(0, file.size()), file);
        EXPECT_EQ(rig.recorder.unitErases, (std::vector<uint32_t>{0, 32768}));
        EXPECT_EQ(rig.recorder.reads.front(), (Recorder::Stretch{0, 16384})) << "the erase check, not a backup";
    }
    {   // 4 x 16 KiB of code behind its own NVRAM, kept: four pages and the 4 KiB tail.
        Rig rig("qvd528,flash=c22011");
        const Bytes nvram = chipNvram(4);
        rig.setFlash(0, nvram);
        const Bytes file = cat(sample("qvd528_with_nvram"), pattern(4096, 5));
        rig.pick(file);
        ASSERT_TRUE(firmware::UpdateFlash_528Series(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.recorder.unitErases, (std::vector<uint32_t>{0, 32768, 65536}));
        EXPECT_EQ(rig.recorder.writes, (std::vector<Recorder::Stretch>{
                                           {0, 16384}, {16384, 16384}, {32768, 16384}, {49152, 16384}, {65536, 4096}}));
        EXPECT_EQ(rig.flash(0, 4096), nvram);
        EXPECT_EQ(rig.flash(4096, file.size() - 4096), Bytes(file.begin() + 4096, file.end()));
        EXPECT_EQ(rig.flash(file.size(), 4096), Bytes(4096, 0xFF)) << "nothing past the tail";
    }
    {   // QVD523, kept: its 80 image-defined bytes come from the file, the rest from the chip.
        Rig rig("qvd523");
        const Bytes nvram = chipNvram(6);
        rig.setFlash(0, nvram);
        const Bytes file = sample("qvd523_with_nvram");
        rig.pick(file);
        ASSERT_EQ(firmware::chooseRunProcedure(rig.dev, rig.w.firmwareFile_), RunProcedure::Series528);
        ASSERT_TRUE(firmware::UpdateFlash_528Series(rig.w, rig.dev)) << rig.w.status();
        Bytes want = nvram;
        std::copy(file.begin() + 128, file.begin() + 208, want.begin() + 128);
        EXPECT_EQ(rig.flash(0, 4096), want);
        EXPECT_EQ(rig.flash(4096, file.size() - 4096), Bytes(file.begin() + 4096, file.end()));
    }
}

// Every failure leaves its text on the status line, returns false and sends nobody to the power
// switch; the flash may be left erased, never reported as updated.
TEST(SimFamily528, FailuresStopWithTheirText) {
    struct Case {
        const char* what;
        std::function<void(Recorder&)> fault;
        const char* status;
    };
    const auto serialSub = [](uint8_t sub) {
        return [sub](const Bytes& c) { return c[0] == 0xFF && c[1] == 0x04 && c[2] == sub; };
    };
    int reads = 0;
    const Case cases[] = {
        {"backup read", [&](Recorder& r) { r.refuse = serialSub(0x10); }, "Backup NVRAM command fail!"},
        {"erase", [&](Recorder& r) { r.refuse = serialSub(0x14); }, "Erase command fail!!"},
        // Reads 1 and 2 are the backup of the NVRAM and its confirming second read.
        {"erased read", [&](Recorder& r) { r.refuse = [&](const Bytes& c) { return serialSub(0x10)(c) && ++reads == 3; }; },
         "Read back after erase fail!!"},
        {"not erased", [&](Recorder& r) { r.spoilRead = [&](const Bytes&) { return ++reads == 3; }; }, "Data not 0xff !!"},
        {"write after the erase", [&](Recorder& r) { r.refuse = serialSub(0x11); }, "Write command fail!"},
        {"compare", [&](Recorder& r) { r.spoilRead = [&](const Bytes&) { return ++reads == 7; }; }, "Data compare fail !!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reads = 0;
        Rig rig("qvd528");
        rig.pick(sample("qvd528_code_only"));
        c.fault(rig.recorder);
        EXPECT_FALSE(firmware::UpdateFlash_528Series(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), c.status);
        EXPECT_TRUE(rig.w.boxes.empty());
    }
    {   // An ATMEL part whose write-enable latch never shows: nothing is erased.
        Rig rig("qvd528,flash=1f6501");
        ASSERT_NE(rig.dev.flash.atmelModel, -1);
        rig.pick(sample("qvd528_code_only"));
        rig.recorder.refuse = [](const Bytes& c) { return c[0] == 0xFF && c[2] == 0x20; };
        EXPECT_FALSE(firmware::UpdateFlash_528Series(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), "Enable ATMEL flash write enable fail!!");
        EXPECT_TRUE(rig.recorder.unitErases.empty());
    }
}

// The kept NVRAM is the chip's own only if it reached us unspoilt: a bit spoilt in the backup
// read would be written back and then "verified" against the same spoilt copy. And once the units
// are erased, a failed run puts the NVRAM back so that the next attempt keeps it again.
TEST(SimFamily528, KeptNvramSurvivesASpoiltBackupAndAFailedRun) {
    struct Case {
        const char* what;
        bool mac;
        int spoiltRead;   // the flash read whose last byte is spoilt (0: every other read before an erase)
        bool ok;
        const char* status;
    };
    for (const Case& c : {Case{"first backup read spoilt", false, 1, true, "Programming Success!!"},
                          Case{"backup never reads the same", false, 0, false, "Backup NVRAM command fail!"},
                          Case{"erase check spoilt", false, 3, false, "Data not 0xff !!"},
                          Case{"macOS: first backup read spoilt", true, 1, true, ""},
                          Case{"macOS: erase check spoilt", true, 3, false, ""}}) {
        SCOPED_TRACE(c.what);
        const sys::ResourceLoader previous = sys::setResourceLoader(firmware::catalogResources());
        Rig rig("qvd528");
        const Bytes nvram = chipNvram(12);
        rig.setFlash(0, nvram);
        const Bytes before = rig.enc->flash();
        int reads = 0;
        rig.recorder.spoilRead = [&](const Bytes& cdb) {
            ++reads;
            return c.spoiltRead ? reads == c.spoiltRead : rig.recorder.unitErases.empty() && be24(&cdb[3]) == 0 && reads % 2;
        };
        bool ok;
        if (c.mac) {
            const firmware::MacOutputSink sink = firmware::setMacOutputSink([](std::string_view) {});
            ok = firmware::qvd528_update_func(rig.session.bus().deviceOf(0).makerObject, {}) == 0;
            firmware::setMacOutputSink(sink);
        } else {
            rig.pick(sample("qvd528_with_nvram"));
            ok = firmware::UpdateFlash_528Series(rig.w, rig.dev);
            EXPECT_EQ(rig.w.status(), c.status);
        }
        sys::setResourceLoader(previous);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(rig.flash(0, 4096), nvram);
        if (c.spoiltRead == 0) {
            EXPECT_TRUE(rig.recorder.unitErases.empty()) << "nothing is erased without a good copy";
            EXPECT_EQ(rig.enc->flash(), before);
        }
        if (!c.ok) {
            EXPECT_TRUE(rig.w.boxes.empty());
        }
    }
}

// The flash-type-aware write: the file whole (its NVRAM included) in the part's own page rule.
TEST(SimFamily528, SstAndMxicPageRules) {
    struct Case {
        const char* enclosure;
        bool sst25;
        const char* file;
    };
    for (const Case& c : {Case{"qvd528,flash=c22211", false, "qvd528_with_nvram"},   // MXIC, 32-byte pages
                          Case{"qvd523,flash=bf48", false, "qvd523_with_nvram"},      // SST, byte programming
                          Case{"qvd528,flash=bf2541", true, "qvd528_with_nvram"}}) {  // SST25, words
        SCOPED_TRACE(c.enclosure);
        Rig rig(c.enclosure);
        rig.dev.flash.sst25 = c.sst25;
        rig.setFlash(0, chipNvram(8));
        const Bytes file = sample(c.file);
        rig.pick(file);
        ASSERT_TRUE(firmware::UpdateFlashSst(rig.w, rig.dev)) << rig.w.status();
        EXPECT_TRUE(rig.w.includeNvram_);
        EXPECT_EQ(rig.flash(0, file.size()), file);
        EXPECT_TRUE(rig.recorder.writes.empty()) << "pages go by SPI cycles, not the bridge's write";
        EXPECT_EQ(rig.boxes(), Lines{kPowerCycleBox});
    }
}

TEST(SimFamily528, MacUpdateKeepsAValidNvramOnly) {
    const sys::ResourceLoader previous = sys::setResourceLoader(firmware::catalogResources());
    const Bytes bundle = sample("QVD528UFW");
    for (bool valid : {true, false}) {
        SCOPED_TRACE(valid);
        Rig rig("qvd528");
        Bytes nvram = chipNvram(9);
        if (!valid) nvram[127] = 'X';
        rig.setFlash(0, nvram);
        Lines out;
        const firmware::MacOutputSink before = firmware::setMacOutputSink([&](std::string_view l) { out.emplace_back(l); });
        std::vector<bool> shown;
        const int rc = firmware::qvd528_update_func(rig.session.bus().deviceOf(0).makerObject,
                                                    [&](bool ok) { shown.push_back(ok); });
        firmware::setMacOutputSink(before);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(shown, std::vector<bool>{true});
        EXPECT_EQ(out, (Lines{"update_func: check flash type.", "Erasing flash.", "Programing flash.",
                              "update_func: show success message."}));
        EXPECT_EQ(rig.flash(0, 4096), valid ? nvram : Bytes(bundle.begin(), bundle.begin() + 4096));
        EXPECT_EQ(rig.flash(4096, bundle.size() - 4096), Bytes(bundle.begin() + 4096, bundle.end()));
    }
    {   // A failed erase: the failure window, -1.
        Rig rig("qvd528");
        const firmware::MacOutputSink before = firmware::setMacOutputSink([](std::string_view) {});
        rig.recorder.refuse = [](const Bytes& c) { return c[0] == 0xFF && c[2] == 0x14; };
        std::vector<bool> shown;
        EXPECT_EQ(firmware::qvd528_update_func(rig.session.bus().deviceOf(0).makerObject,
                                               [&](bool ok) { shown.push_back(ok); }),
                  -1);
        firmware::setMacOutputSink(before);
        EXPECT_EQ(shown, std::vector<bool>{false});
    }
    sys::setResourceLoader(previous);
}

// --- UpdateFlashLegacy ------------------------------------------------------------------------

// A file that starts with its code carries no NVRAM: on the QVR227's way through this procedure
// (the chip on its ROM code) it goes behind the chip's NVRAM whatever "Include 4K NVRAM" says,
// as on the macOS form for an image of that shape, and the chip boots it.
TEST(SimFamily528, CodeOnlyFileGoesBehindTheKeptNvram) {
    Bytes code = sample("qvr227_with_nvram");
    code.erase(code.begin(), code.begin() + 4096);
    for (bool include : {false, true}) {
        SCOPED_TRACE(include);
        Rig rig("qvr227");
        const Bytes nvram = chipNvram(40);
        std::fill(rig.enc->flash().begin(), rig.enc->flash().end(), 0xFF);
        rig.setFlash(0, nvram);
        rig.enc->reboot();
        rig.dev.chip.revision = 4;
        ASSERT_EQ(firmware::chooseRunProcedure(rig.dev, ""), RunProcedure::Series528);
        rig.pick(code);
        rig.w.includeNvram_ = include;
        ASSERT_TRUE(firmware::UpdateFlash_528Series(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.flash(0, 4096), nvram);
        EXPECT_EQ(rig.flash(4096, code.size()), code);
        rig.enc->reboot();
        EXPECT_EQ(rig.enc->bootState(), sim::BootState::Firmware);
    }
    {
        Rig rig("qvd528");
        const Bytes nvram = chipNvram(41);
        rig.setFlash(0, nvram);
        Bytes image = sample("qvd528_code_only");
        EXPECT_TRUE(firmware::UpdateFlash_528Series(rig.session.bus().deviceOf(0).makerObject, 7, image.data(), image.size()));
        EXPECT_EQ(rig.flash(0, 4096), nvram);
        EXPECT_EQ(rig.flash(4096, image.size()), image);
    }
}

TEST(SimFamilyLegacy, ChipEraseForLargeFilesSettingsKeptForSmallOnes) {
    {   // 70000 bytes: one chip erase, the settings at 0x8000 neither read nor restored.
        Rig rig("qv84556,flash=c22011");
        const Bytes file = pattern(70000, 10);
        rig.pick(file);
        ASSERT_TRUE(firmware::UpdateFlashLegacy(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.recorder.chipErases, 1);
        EXPECT_TRUE(rig.recorder.unitErases.empty());
        for (const auto& r : rig.recorder.reads) EXPECT_NE(r.at, 0x8000u) << r;
        EXPECT_EQ(rig.flash(0, file.size()), file);
        EXPECT_EQ(rig.flash(file.size(), 73728 - file.size()), Bytes(73728 - file.size(), 0));
        EXPECT_EQ(rig.w.debugText_, "");
        EXPECT_EQ(rig.w.status(), "Programming Success!!");
        EXPECT_EQ(rig.boxes(), Lines{kLegacyBox});
    }
    {   // 20000 bytes: padded to 32 KiB, the 512 settings bytes at 0x8000 given back.
        Rig rig("qv84556");
        const Bytes settings = pattern(512, 11);
        rig.setFlash(0x8000, settings);
        const Bytes file = pattern(20000, 12);
        rig.pick(file);
        ASSERT_TRUE(firmware::UpdateFlashLegacy(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.recorder.chipErases, 0);
        EXPECT_EQ(rig.flash(0, file.size()), file);
        EXPECT_EQ(rig.flash(0x8000, 512), settings);
        EXPECT_EQ(rig.w.debugText_, "NVRAM O.K.\nwrite NVRAM O.K.\n");
    }
    {   // Settings that cannot be read for a file that would need them back: nothing is erased.
        Rig rig("qv84556");
        rig.pick(pattern(20000, 13));
        rig.recorder.refuse = [](const Bytes& c) { return c[0] == 0xFF && c[2] == 0x10 && be24(&c[3]) == 0x8000; };
        EXPECT_FALSE(firmware::UpdateFlashLegacy(rig.w, rig.dev));
        EXPECT_EQ(rig.w.debugText_, "NVRAM fail\n");
        EXPECT_EQ(rig.w.status(), "Backup NVRAM command fail!");
        EXPECT_TRUE(rig.recorder.unitErases.empty());
    }
}

// The settings bytes at 0x8000 go back from a copy two reads agree on.
TEST(SimFamilyLegacy, SettingsSurviveASpoiltBackupRead) {
    for (bool everyOther : {false, true}) {
        SCOPED_TRACE(everyOther);
        Rig rig("qv84556");
        const Bytes settings = pattern(512, 27);
        rig.setFlash(0x8000, settings);
        const Bytes file = pattern(20000, 28);
        rig.pick(file);
        int reads = 0;
        // Spoilt alike twice, a copy would pass for good: every other read is spoilt.
        rig.recorder.spoilRead = [&](const Bytes& cdb) { return be24(&cdb[3]) == 0x8000 && (everyOther ? ++reads % 2 : ++reads == 1); };
        EXPECT_EQ(firmware::UpdateFlashLegacy(rig.w, rig.dev), !everyOther);
        EXPECT_EQ(rig.flash(0x8000, 512), settings);
        if (everyOther) {
            EXPECT_EQ(rig.w.status(), "Backup NVRAM command fail!");
            EXPECT_TRUE(rig.recorder.unitErases.empty());
        } else {
            EXPECT_EQ(rig.flash(0, file.size()), file);
        }
    }
}

TEST(SimFamilyLegacy, AmicModelsEraseTheirListedSectors) {
    struct Case {
        const char* flash;
        int model;
        size_t fileSize;
        std::vector<uint32_t> erased;
    };
    for (const Case& c : {Case{"7f372010", 5, 30000, {0, 0x1000, 0x3000, 0x7000}},
                          Case{"7f372010", 5, 40000, {0, 0x1000, 0x3000, 0x7000, 0xF000}},
                          Case{"7f372012", 1, 40000, {0, 0x1000, 0x3000, 0x7000, 0xF000}},
                          Case{"7f372020", 4, 30000, {0}},
                          Case{"7f372020", 4, 40000, {0, 0x8000}},
                          Case{"c22010", -1, 40000, {0, 0x8000}}}) {
        SCOPED_TRACE(std::string(c.flash) + " " + std::to_string(c.fileSize));
        Rig rig(std::string("qv84556,flash=") + c.flash);
        ASSERT_EQ(rig.dev.flash.amicModel, c.model);
        const Bytes file = pattern(c.fileSize, 14);
        rig.pick(file);
        ASSERT_TRUE(firmware::UpdateFlashLegacy(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.recorder.unitErases, c.erased);
        EXPECT_EQ(rig.flash(0, file.size()), file);
    }
}

TEST(SimFamilyLegacy, FailuresAreReported) {
    {
        Rig rig("qv84556");
        rig.pick(pattern(40000, 15));
        rig.recorder.refuse = [](const Bytes& c) { return c[0] == 0xFF && c[2] == 0x11; };
        EXPECT_FALSE(firmware::UpdateFlashLegacy(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), "Programming Fail!!");
        EXPECT_TRUE(rig.w.boxes.empty());
    }
    {   // A chip erase the flash is still busy with after the wait: the erase command's text.
        Rig rig("qv84556,flash=ef4018");
        rig.pick(pattern(70000, 17));
        EXPECT_FALSE(firmware::UpdateFlashLegacy(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), "Not ready after Erase flash cmd success");
        EXPECT_TRUE(rig.recorder.writes.empty());
    }
    {   // The final read-back differs: the text is appended to what the status line says.
        Rig rig("qv84556");
        rig.pick(pattern(40000, 16));
        int reads = 0;
        rig.recorder.spoilRead = [&](const Bytes& c) { return be24(&c[3]) == 0 && ++reads == 2; };
        EXPECT_FALSE(firmware::UpdateFlashLegacy(rig.w, rig.dev));
        EXPECT_TRUE(rig.w.status().ends_with("Compare Fail!!\r\n\r\n")) << rig.w.status();
        EXPECT_TRUE(rig.w.boxes.empty());
    }
}

// --- the QVD525 on 1394 -----------------------------------------------------------------------

TEST(SimFamily1394, Qvd525WritesInPiecesAndOnlyAVerifiedWriteIsASuccess) {
    {   // 32 KiB: erased in front of 0 only; the settings at 0x8000 stay.
        Rig rig("qvd525,bus=1394");
        ASSERT_EQ(firmware::chooseRunProcedure(rig.dev, ""), RunProcedure::Qvd525Over1394);
        const Bytes settings = pattern(1024, 17);
        rig.setFlash(0x8000, settings);
        const Bytes file = sample("qvd525_with_nvram");
        rig.pick(file);
        ASSERT_TRUE(firmware::UpdateFlash525Over1394(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.flash(0, file.size()), file);
        EXPECT_EQ(rig.flash(0x8000, 1024), settings);
        // The settings backup and the read-back go in pieces too.
        ASSERT_FALSE(rig.recorder.directReads.empty());
        for (uint32_t n : rig.recorder.directReads) EXPECT_EQ(n, 256u);
        EXPECT_EQ(rig.w.status(), "Programming Success!!");
        EXPECT_EQ(rig.boxes(), Lines{kPowerCycleBox});
    }
    {   // Past 0x8000 the second unit is erased in front of its first piece.
        Rig rig("qvd525,bus=1394");
        const Bytes file = pattern(0x9000, 18);
        rig.pick(file);
        ASSERT_TRUE(firmware::UpdateFlash525Over1394(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.flash(0, file.size()), file);
    }
    for (bool writeFails : {true, false}) {   // no success and no power-cycle box after a failure
        SCOPED_TRACE(writeFails);
        Rig rig("qvd525,bus=1394");
        rig.pick(pattern(0x8000, 19));
        if (writeFails)
            rig.recorder.refuse = [](const Bytes& c) { return c[0] == 0xDF && c[11] == 0xFB && be24(&c[8]) == 0x4000; };
        else
            rig.recorder.spoilRead = [](const Bytes& c) { return be24(&c[8]) == 0; };
        EXPECT_FALSE(firmware::UpdateFlash525Over1394(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), writeFails ? "Write Bin File fail!" : "Data compare fail !!");
        EXPECT_TRUE(rig.w.boxes.empty());
    }
}

// --- the QVR294 ---------------------------------------------------------------------------------

TEST(SimFamily294, ChipBufferCommandsAndTheirPauses) {
    Rig rig("qvr294");
    const Bytes file = sample("qvr294_31.05.00.01");
    rig.pick(file);
    const uint64_t t0 = rig.session.clock().nowMs();
    ASSERT_TRUE(firmware::UpdateFlash294(rig.w, rig.dev)) << rig.w.status();
    EXPECT_EQ(rig.flash(0, file.size()), file);
    EXPECT_EQ(rig.boxes(), Lines{kPowerCycleBox});
    const auto& c = rig.recorder.cdbs294;
    ASSERT_GE(c.size(), 5u);
    EXPECT_EQ(c[0], (Bytes{0xB4, 0, 0, 0, 0, 0, 0, 0, 0, 0x31, 0x00, 0x60}));
    EXPECT_EQ(c[1], (Bytes{0xB2, 0, 0, 0, 0, 100, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(c[2], (Bytes{0xB3, 0, 0, 0, 0, 0, 0x01, 0x00, 0xC8, 0x00, 0xE5, 0x02}));
    EXPECT_EQ(c[3], (Bytes{0xB3, 0, 0, 0, 0x01, 0x00, 0x01, 0x00, 0xC9, 0x00, 0xE5, 0x02}));
    const size_t pieces = file.size() / 512;
    EXPECT_EQ(c[1 + 3 * pieces], (Bytes{0xB6, 0, 0, 0, 0, 0, 0x02, 0x00, 0xC8, 0x00, 0, 0}));
    EXPECT_EQ(c[2 + 3 * pieces], (Bytes{0xB5, 100, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_GE(rig.session.clock().nowMs() - t0, 5000 + pieces * (1 + 20 + 3 + 3));
}

TEST(SimFamily294, ShortFileRetriesAndFailure) {
    {   // A short file is padded for the stamp; the first attempt's write fails, the second passes.
        Rig rig("qvr294");
        const Bytes file = pattern(3000, 20);
        rig.pick(file);
        bool refused = false;
        rig.recorder.refuse = [&](const Bytes& c) { return c[0] == 0xB3 && !refused && (refused = true); };
        ASSERT_TRUE(firmware::UpdateFlash294(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.flash(0, 0x200), Bytes(file.begin(), file.begin() + 0x200));
        EXPECT_EQ(rig.flash(0x200, 4), (Bytes{0x5A, 0xC3, 0x69, 0xE1})) << "bank 0 stamped";
        EXPECT_EQ(rig.flash(0x400, 3072 - 0x400), cat(Bytes(file.begin() + 0x400, file.end()), Bytes(72, 0)));
        EXPECT_EQ(rig.flash(3072, 512), Bytes(512, 0xFF)) << "nothing past the file's last page";
        EXPECT_EQ(std::count_if(rig.recorder.cdbs294.begin(), rig.recorder.cdbs294.end(),
                                [](const Bytes& c) { return c[0] == 0xB4; }),
                  2);
    }
    {   // Three failed read-backs: false, the last text, no box.
        Rig rig("qvr294");
        rig.pick(pattern(4096, 21));
        rig.recorder.refuse = [](const Bytes& c) { return c[0] == 0xB5; };
        EXPECT_FALSE(firmware::UpdateFlash294(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), "Read FW fail!");
        EXPECT_TRUE(rig.w.boxes.empty());
    }
}

// --- the q556E's disk-resident firmware ---------------------------------------------------------

TEST(SimFamilyDisk, AreaBelowTheEndOfTheDisk) {
    struct Case {
        const char* enclosure;
        uint64_t sectors;
        uint32_t blockSize;
    };
    for (const Case& c : {Case{"qv84556e,flash=none,disk=256005", 256005, 512},
                          Case{"qv84556e,flash=none,disk=100000,sector=4096", 100000, 4096},
                          Case{"qv84556e,flash=none,disk=5000000000", 5000000000ull, 512}}) {
        SCOPED_TRACE(c.enclosure);
        Rig rig(c.enclosure);
        ASSERT_EQ(firmware::chooseRunProcedure(rig.dev, ""), RunProcedure::DiskResident);
        const Bytes file = pattern(100000, 22);
        rig.pick(file);
        ASSERT_TRUE(firmware::runChosenProcedure(RunProcedure::DiskResident, rig.w, rig.dev)) << rig.w.status();
        const uint64_t start = (c.sectors - 1) / 256 * 256 - 256;
        const Bytes area = rig.disk(start, 131072 / c.blockSize);
        Bytes want = cat(file, Bytes(131072 - file.size(), 0));
        want[150] = 0x55;
        for (int i = 0; i < 4; ++i) want[151 + i] = static_cast<uint8_t>(c.sectors >> (24 - 8 * i));
        want[155] = 0xAA;
        EXPECT_EQ(area, want);
        EXPECT_EQ(rig.boxes(), Lines{kPowerCycleBox});
    }
}

TEST(SimFamilyDisk, StoredMarkerDecidesAndFailuresAreNamed) {
    {   // A marker already there moves the area to where its R puts it.
        Rig rig("qv84556e,flash=none,disk=256005");
        Bytes block(512, 0);
        block[150] = 0x55;
        block[151] = 0x00, block[152] = 0x03, block[153] = 0xE8, block[154] = 0x00;   // R = 256000
        block[155] = 0xAA;
        ASSERT_TRUE(rig.enc->disk().write(255744, 1, block.data()));
        const Bytes file = pattern(512, 23);
        rig.pick(file);
        ASSERT_TRUE(firmware::UpdateDiskResident(rig.w, rig.dev)) << rig.w.status();
        const Bytes written = rig.disk(255488, 1);
        EXPECT_EQ(Bytes(written.begin() + 150, written.begin() + 156), (Bytes{0x55, 0x00, 0x03, 0xE8, 0x00, 0xAA}));
        EXPECT_EQ(Bytes(written.begin(), written.begin() + 150), Bytes(file.begin(), file.begin() + 150));
    }
    {   // A marker that would put the area off the disk is not believed.
        Rig rig("qv84556e,flash=none,disk=256005");
        Bytes block(512, 0);
        block[150] = 0x55, block[151] = 0x7F, block[155] = 0xAA;
        ASSERT_TRUE(rig.enc->disk().write(255744, 1, block.data()));
        rig.pick(pattern(512, 24));
        ASSERT_TRUE(firmware::UpdateDiskResident(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.disk(255744, 1)[151], 0x00);
    }
    struct Case {
        const char* enclosure;
        bool refuseWrite;
        const char* status;
    };
    for (const Case& c : {Case{"qv84556e,flash=none,disk=256005", true, "Write Data To HDD FAIL!!"},
                          Case{"qv84556e,flash=none,disk=5000000000", true, "Write Data SCSI16 To HDD FAIL!!"},
                          Case{"qv84556e,flash=none,disk=256005", false, "Compare Data in HDD FAIL!!"}}) {
        SCOPED_TRACE(c.status);
        Rig rig(c.enclosure);
        rig.pick(pattern(70000, 25));
        if (c.refuseWrite)
            rig.recorder.refuse = [](const Bytes& b) { return b[0] == 0x85 && b[14] == 0x35; };
        else
            rig.recorder.spoilRead = [](const Bytes&) { return true; };
        EXPECT_FALSE(firmware::UpdateDiskResident(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), c.status);
        EXPECT_TRUE(rig.w.boxes.empty());
    }
    {   // More firmware than the area holds: refused before anything is written.
        Rig rig("qv84556e,flash=none,disk=256005");
        rig.pick(pattern(200000, 26));
        EXPECT_FALSE(firmware::UpdateDiskResident(rig.w, rig.dev));
        EXPECT_TRUE(rig.enc->disk().blocks().empty());
    }
}

// --- the Run button's choice --------------------------------------------------------------------

TEST(SimFamilyDispatch, TableRowByRow) {
    struct Row {
        uint8_t type, revision;
        vendor::FlashType flash;
        bool sst25;
        const char* path;
        RunProcedure want;
    };
    const Row rows[] = {
        {7, 1, 5, false, "usb", RunProcedure::Series528},
        {9, 1, 5, false, "usb", RunProcedure::DirectUpdate},
        {10, 1, 5, false, "usb", RunProcedure::DirectUpdate},
        {26, 0, 6, false, "usb", RunProcedure::Qvr294},
        {13, 0, 5, false, "usb", RunProcedure::DirectUpdate},
        {27, 0, 5, false, "usb", RunProcedure::DirectUpdate},
        {8, 1, 5, false, "\\\\?\\sbp2#corvane", RunProcedure::Qvd525Over1394},
        {8, 1, 5, false, "usb", RunProcedure::Legacy},
        {8, 1, 2, true, "usb", RunProcedure::Sst},
        {1, 1, 5, false, "usb", RunProcedure::Legacy},
        {3, 0, 5, true, "usb", RunProcedure::Sst},
        {5, 1, 5, false, "usb", RunProcedure::Legacy},
        {28, 1, 5, false, "usb", RunProcedure::Legacy},
        {30, 1, 5, false, "usb", RunProcedure::Legacy},
        {30, 1, 0, false, "usb", RunProcedure::DiskResident},
        {2, 1, 5, false, "usb", RunProcedure::None},
        {6, 1, 5, false, "usb", RunProcedure::None},
        {0, 0, 0, false, "usb", RunProcedure::None},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.type) + " " + r.path);
        firmware::SelectedDevice dev;
        dev.chip.type = r.type;
        dev.chip.revision = r.revision;
        dev.flash.type = r.flash;
        dev.flash.sst25 = r.sst25;
        dev.path = r.path;
        EXPECT_EQ(firmware::chooseRunProcedure(dev, ""), r.want);
    }
}

TEST(SimFamilyDispatch, RegisterTestAndFileSizeRows) {
    {   // QVR227: the register answers (firmware running) → by the alternative-write flag.
        Rig rig("qvr227");
        for (bool sst : {false, true}) {
            rig.dev.flash.sst25 = sst;
            EXPECT_EQ(firmware::chooseRunProcedure(rig.dev, ""), sst ? RunProcedure::Sst : RunProcedure::DirectUpdate);
        }
    }
    {   // No register answer: revision 4 and below take the serial-flash procedure.
        Rig rig("qvr227");
        std::fill(rig.enc->flash().begin(), rig.enc->flash().end(), 0xFF);
        rig.enc->reboot();
        for (uint8_t rev : {4, 5}) {
            rig.dev.chip.revision = rev;
            EXPECT_EQ(firmware::chooseRunProcedure(rig.dev, ""),
                      rev <= 4 ? RunProcedure::Series528 : RunProcedure::DirectUpdate);
        }
    }
    {   // QVD523: a file larger than the flash stops with its box; SST flash takes the SST form.
        Rig rig("qvd523");
        rig.pick(pattern(rig.dev.flash.capacityKiB * 1024 + 1, 27));
        const RunProcedure p = firmware::chooseRunProcedure(rig.dev, rig.w.firmwareFile_);
        EXPECT_EQ(p, RunProcedure::FileTooBig);
        EXPECT_FALSE(firmware::runChosenProcedure(p, rig.w, rig.dev));
        EXPECT_EQ(rig.boxes(), Lines{"Message: The firmware file size is bigger than the flash size!"});
        EXPECT_TRUE(rig.recorder.unitErases.empty());
        rig.pick(pattern(1024, 28));
        rig.dev.flash.type = vendor::kFlashSst;
        EXPECT_EQ(firmware::chooseRunProcedure(rig.dev, rig.w.firmwareFile_), RunProcedure::Sst);
    }
}

// Everything a procedure writes must fit the flash, the code behind a kept NVRAM included; a file
// that does not is refused before anything is erased. Where identification leaves the size at
// its default, the flash's own reply gives it.
TEST(SimFamilyDispatch, FilesThatDoNotFitAreRefusedBeforeAnythingIsErased) {
    struct Case { const char* enclosure; const char* sample; size_t size; bool fits; };
    for (const Case& c : {Case{"qvd529", "qvd529_code_only", 0x20000 - 4096, true},
                          Case{"qvd529", "qvd529_code_only", 0x20000 - 2048, false},
                          Case{"qvd528", "qvd528_code_only", 0x10000 - 4096, true},
                          Case{"qvd528", "qvd528_code_only", 0x10000 - 2048, false},
                          Case{"qv84556", "qv84556_with_nvram", 0x10000, true},
                          Case{"qv84556", "qv84556_with_nvram", 0x10001, false},
                          Case{"qvd525,bus=1394", "qvd525_with_nvram", 0x10001, false}}) {
        SCOPED_TRACE(std::string(c.enclosure) + " " + std::to_string(c.size));
        Rig rig(c.enclosure);
        Bytes file = sample(c.sample);
        file.resize(c.size, 0x3C);
        rig.pick(file);
        const Bytes before = rig.enc->flash();
        const bool ok = firmware::runChosenProcedure(firmware::chooseRunProcedure(rig.dev, rig.w.firmwareFile_), rig.w, rig.dev);
        EXPECT_EQ(ok, c.fits) << rig.w.status();
        if (c.fits) continue;
        EXPECT_EQ(rig.w.status(), "FW size > flash size!!");
        EXPECT_TRUE(rig.recorder.wroteNothing());
        EXPECT_TRUE(rig.enc->flash() == before);
    }
}

// A flash nobody could name is not erased by the serial-flash procedures, which erase with its
// opcodes: they refuse before anything is erased or written, the macOS one as well.
TEST(SimFamilyDispatch, UnknownFlashIsRefusedBeforeAnythingIsErased) {
    const std::string text = "Flash can NOT be operated because of unknown flash.";
    struct Case { const char* enclosure; const char* sample; };
    for (const Case& c : {Case{"qv84556,flash=none", "qv84556_with_nvram"}, Case{"qvd528,flash=none", "qvd528_with_nvram"},
                          Case{"qvd523,flash=none", "qvd523_with_nvram"}}) {
        SCOPED_TRACE(c.enclosure);
        Rig rig(c.enclosure);
        ASSERT_EQ(rig.dev.flash.type, vendor::kFlashUnknown);
        rig.pick(sample(c.sample));
        EXPECT_FALSE(firmware::runChosenProcedure(firmware::chooseRunProcedure(rig.dev, rig.w.firmwareFile_), rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), text);
        EXPECT_TRUE(rig.recorder.wroteNothing());
    }
    const auto previousLoader = sys::setResourceLoader(firmware::catalogResources());
    Lines lines;
    const auto previousSink = firmware::setMacOutputSink([&](std::string_view l) { lines.emplace_back(l); });
    {
        Rig rig("qvd528,flash=none");
        EXPECT_EQ(firmware::qvd528_update_func(rig.session.bus().deviceOf(0).makerObject, {}), -1);
        EXPECT_NE(std::find(lines.begin(), lines.end(), text), lines.end());
        EXPECT_TRUE(rig.recorder.wroteNothing());
    }
    firmware::setMacOutputSink(previousSink);
    sys::setResourceLoader(previousLoader);
}
