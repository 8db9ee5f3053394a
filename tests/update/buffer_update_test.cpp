// The QVR29x buffer path against emulated enclosures: the one-button update with the embedded
// image and the wait for the bridge to come back, the RAM download from the ROM loader, the
// product record, the chip's refusals, NOT READY storms, power cuts, and the macOS update thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "update/buffer_update.h"
#include "support/enclosure_rig.h"
#include "update/direct_update.h"
#include "image/image.h"
#include "image/image_catalog.h"
#include "sim/session.h"
#include "sim/state_file.h"
#include "sys/debug.h"
#include "bridge/IDEAccess.h"

namespace {

using Bytes = std::vector<uint8_t>;
using firmware::firstDifferenceOutsideBankSignatures;

// The shared rig with the programs' images served from memory and the debug output quiet; its
// command log is the trace these tests read.
struct Rig : testing_support::EnclosureRig {
    sys::ResourceLoader oldLoader = sys::setResourceLoader(firmware::catalogResources());
    sys::DebugSink oldSink = sys::setDebugSink([](std::string_view) {});
    testing_support::CommandLog& trace = commands;

    explicit Rig(const std::string& text, const std::function<void(sim::Enclosure&)>& prepare = {})
        : EnclosureRig(text, prepare) {
        select();
    }
    ~Rig() {
        sys::setDebugSink(oldSink);
        sys::setResourceLoader(oldLoader);
    }
    // As the window does when the device is selected (what it sends stays in the trace).
    void select() {
        dev.path = session.bus().deviceOf(0).windowsPath;
        dev.chip = IDEAccess::DetectChipType(dev.path);
        dev.flash = IDEAccess::DetectFlash(dev.path, dev.chip.type, dev.chip.revision);
    }
    firmware::DeviceScan scan() {
        return [this] {
            std::vector<std::string> paths;
            for (const sim::DeviceInfo& d : session.bus().devices()) paths.push_back(d.linuxPath);
            return paths;
        };
    }
    bool reattach() {
        std::vector<std::string> found;
        return firmware::ResetAndReattach(w, dev, scan(), found);
    }
};

Bytes embeddedImage() {
    Bytes image(firmware::kEmbeddedImageSize);
    EXPECT_EQ(firmware::LoadEmbeddedImage(image.data(), image.size(), 0, 0), firmware::kEmbeddedImageSize);
    return image;
}

Bytes image29x(const char* chipCode, std::vector<uint8_t> version, bool manufacturing = false) {
    firmware::ImageParams p;
    p.chipCode = chipCode;
    p.version = std::move(version);
    p.manufacturing = manufacturing;
    Bytes image;
    std::string error;
    EXPECT_TRUE(firmware::buildImage(p, image, error)) << error;
    return image;
}

void erase(sim::Enclosure& e) { std::fill(e.flash().begin(), e.flash().end(), 0xFF); }

bool wrote(const Rig& rig, size_t at, const Bytes& image) { return rig.flash(at, image.size()) == image; }

}  // namespace

TEST(SimBufferUpdate, OneButtonUpdateLeavesTheEmbeddedImageAndTheNewVersion) {
    Rig rig("qvr298,fw=31.01.01.10");
    ASSERT_EQ(rig.dev.flash.capacityKiB, 512u);
    ASSERT_TRUE(firmware::UpdateWithEmbeddedImage(rig.w, rig.dev));
    EXPECT_TRUE(rig.w.productSnHidden_);
    EXPECT_TRUE(rig.w.boxes.empty());
    const Bytes image = embeddedImage();
    EXPECT_EQ(firstDifferenceOutsideBankSignatures(rig.enc->flash().data(), image.data(), image.size()), -1);

    const uint64_t t0 = sys::nowMs();
    std::vector<std::string> found;
    ASSERT_TRUE(firmware::ResetAndReattach(rig.w, rig.dev, rig.scan(), found));
    // Off the bus for 3000 ms: the third scan finds it and the wait ends there.
    EXPECT_EQ(sys::nowMs() - t0, 2000u + 3 * 500);
    EXPECT_EQ(found, std::vector<std::string>{rig.session.bus().deviceOf(0).linuxPath});
    const Bytes info = rig.chipInfo();
    EXPECT_EQ(Bytes(info.begin() + 12, info.end()), (Bytes{0x1F, 0x01, 0x01, 0x0F}));
}

// Both banks are verified; only the bank signature blocks may read back otherwise.
TEST(SimBufferUpdate, OneButtonReadBackDifferences) {
    struct Case { uint32_t chunk, at; bool ok; };
    for (const Case& c : {Case{0x30000, 5, false}, Case{0x20000, 0x210, true}, Case{0x10000, 0, false}}) {
        SCOPED_TRACE(c.chunk + c.at);
        Rig rig("qvr298");
        rig.trace.alter = [&](const transport::Request& req, transport::Result&) {
            const uint32_t offset = uint32_t(req.cdb[3]) << 16 | uint32_t(req.cdb[4]) << 8 | req.cdb[5];
            if (req.cdb[0] == 0x3C && req.cdb[1] == 1 && offset == c.chunk) req.data[c.at] ^= 1;
        };
        EXPECT_EQ(firmware::UpdateWithEmbeddedImage(rig.w, rig.dev), c.ok);
    }
}

TEST(SimBufferUpdate, ReattachWaitsForExactlyOneDevice) {
    struct Case { const char* text; bool ok; size_t found; };
    for (const Case& c : {Case{"qvr298,twins=1", true, 2}, Case{"qvr298,noreturn=1", false, 0}}) {
        SCOPED_TRACE(c.text);
        Rig rig(c.text);
        const uint64_t t0 = sys::nowMs();
        std::vector<std::string> found{"stale"};
        EXPECT_EQ(firmware::ResetAndReattach(rig.w, rig.dev, rig.scan(), found), c.ok);
        EXPECT_EQ(found.size(), c.found);
        EXPECT_EQ(sys::nowMs() - t0, 2000u + 60 * 500);
        EXPECT_EQ(rig.w.messagesProcessed, 60);
    }
}

// From the ROM loader the manufacturing code of the chip's ROM variant is downloaded first; the
// image then programmed boots after the reset.
TEST(SimBufferUpdate, DownloadFromTheRomLoaderByRomVariant) {
    struct Case { const char* model; const char* code; const char* mfgVersion; };
    for (const Case& c : {Case{"qvr298", "298", "0100"}, Case{"qvr295", "295", "1100"}}) {
        SCOPED_TRACE(c.model);
        Rig rig(c.model, erase);
        ASSERT_EQ(rig.enc->bootState(), sim::BootState::RomCode);
        rig.w.setProductSn_ = false;
        const Bytes image = image29x(c.code, {31, 1, 1, 30});
        ASSERT_TRUE(firmware::DownloadViaBuffer(rig.w, rig.dev, 0, image.data(), image.size(), 0x40000, true));
        EXPECT_EQ(rig.w.statusHistory, (std::vector<std::string>{"Download to RAM...", "Programming Flash..."}));
        EXPECT_EQ(rig.w.status(), "Programming Flash..." + std::string(64, '.'));
        const Bytes info = rig.chipInfo();   // the manufacturing code still runs from RAM
        EXPECT_EQ(std::string(info.begin() + 12, info.end()), c.mfgVersion);
        EXPECT_TRUE(wrote(rig, 0, image));
        EXPECT_EQ(rig.trace.count(0xC3), 0u) << "no product record unless asked for";

        Bytes back(0x40000);
        ASSERT_TRUE(firmware::ReadFlashViaBuffer(rig.w, rig.dev, 0, back.data(), back.size(), 0x40000));
        EXPECT_EQ(back, image);
        ASSERT_TRUE(rig.reattach());
        EXPECT_EQ(rig.chipInfo()[15], 30);
    }
}

TEST(SimBufferUpdate, ImageForAnotherChipIsRefusedAfterTheDownload) {
    Rig rig("qvr295", erase);
    const Bytes image = embeddedImage();   // a QVR298 image
    EXPECT_FALSE(firmware::DownloadViaBuffer(rig.w, rig.dev, 0, image.data(), image.size(), 0x40000, true));
    EXPECT_NE(rig.w.debugText_.find("FW and Chip not match."), std::string::npos);
    EXPECT_EQ(rig.trace.count(0xC3), 0u);
    EXPECT_EQ(rig.flash(0, 0x1000), Bytes(0x1000, 0xFF));
}

// Code state 3 (manufacturing image in flash) takes the image without a download or an erase.
TEST(SimBufferUpdate, CodeState3TakesTheImageWithoutDownload) {
    Rig rig("qvr298", [](sim::Enclosure& e) {
        const Bytes mfg = image29x("298", {3, 0, 0, 1}, true);
        std::copy(mfg.begin(), mfg.end(), e.flash().begin());
    });
    ASSERT_EQ(rig.chipInfo()[6], 3);
    rig.trace.sent.clear();
    ASSERT_TRUE(firmware::UpdateWithEmbeddedImage(rig.w, rig.dev));
    EXPECT_EQ(rig.trace.count(0xDF), 0u) << "no chip erase";
    EXPECT_EQ(rig.trace.sent[0].cdb[1], 3) << "no download: the descriptor comes first";
    ASSERT_TRUE(rig.reattach());
    EXPECT_EQ(rig.chipInfo()[15], 15);
}

TEST(SimBufferUpdate, ManufacturingCodeInRamHasTheChipErasedFirst) {
    Rig rig("qvr298", erase);
    Bytes mfg(firmware::kMfgImageSize);
    ASSERT_EQ(firmware::LoadMfgImage(mfg.data(), mfg.size(), 0, 0, 2), mfg.size());
    ASSERT_TRUE(IDEAccess::QV_WriteBuffer(rig.dev.path, 6, 0, 0, mfg.data(), 0x10000));
    rig.enc->flash()[0x30000] = 0x00;   // data beyond what is programmed
    const Bytes image = embeddedImage();
    ASSERT_TRUE(firmware::DownloadViaBuffer(rig.w, rig.dev, 0, image.data(), image.size(), 0x20000, false));
    EXPECT_TRUE(wrote(rig, 0, Bytes(image.begin(), image.begin() + 0x20000)));
    EXPECT_EQ(rig.enc->flash()[0x30000], 0xFF);
}

// The descriptor decides whether the chip takes anything; a refusal leaves the flash untouched.
TEST(SimBufferUpdate, DescriptorRefusalsWriteNothing) {
    struct Case {
        const char* name;
        const char* text;
        bool romLoader, download;
        Bytes descriptor;   // empty: as the chip says
        bool unreadable;
        const char* status;
    };
    for (const Case& c : {
             Case{"download asked, firmware running", "qvr298", false, true, {}, false, "Offset Boundary error..."},
             Case{"no download, ROM loader", "qvr298", true, false, {}, false, "Offset Boundary error..."},
             Case{"ROM loader with 32 KiB", "qvr298", true, true, {0xFF, 0x00, 0x80, 0x00}, false, "Buffer Capacity error..."},
             Case{"descriptor unreadable", "qvr298", false, false, {}, true, "Read Buffer Descriptor error..."},
         }) {
        SCOPED_TRACE(c.name);
        Rig rig(c.text, c.romLoader ? erase : std::function<void(sim::Enclosure&)>{});
        rig.trace.alter = [&](const transport::Request& req, transport::Result& r) {
            if (req.cdb[0] != 0x3C || req.cdb[1] != 3) return;
            if (c.unreadable) r.scsiStatus = 2;
            if (!c.descriptor.empty()) std::copy(c.descriptor.begin(), c.descriptor.end(), req.data);
        };
        const Bytes before = rig.enc->flash();
        const size_t sentBefore = rig.trace.sent.size();
        const Bytes image = embeddedImage();
        EXPECT_FALSE(firmware::DownloadViaBuffer(rig.w, rig.dev, 0, image.data(), image.size(), 0x40000, c.download));
        EXPECT_EQ(rig.w.status(), c.status);
        EXPECT_EQ(rig.trace.sent.size(), sentBefore + 1) << "only the descriptor was asked for";
        EXPECT_TRUE(rig.enc->flash() == before);
    }
}

// The product record goes to the chip with the settings' VID and PID, and the product area it
// lands in survives programming a 512 KiB image over it.
TEST(SimBufferUpdate, ProductRecordIsWrittenAndItsAreaKept) {
    Rig rig("qvr298", erase);
    rig.w.settings_.vid = 0x1234;
    rig.w.settings_.pid = 0xABCD;
    rig.w.settings_.serialNum = "SN42";
    Bytes image = embeddedImage();
    image.resize(0x80000, 0x5A);   // image bytes where the product area is
    ASSERT_TRUE(firmware::DownloadViaBuffer(rig.w, rig.dev, 0, image.data(), image.size(), 0x80000, true));

    ASSERT_EQ(rig.trace.count(0xC3), 1u);
    const auto record = std::find_if(rig.trace.sent.begin(), rig.trace.sent.end(), [](auto& s) { return s.cdb[0] == 0xC3; });
    EXPECT_EQ(record->cdb, (Bytes{0xC3, 0x30, 0, 0, 0x12, 0x34, 0xAB, 0xCD, 0, 0x48, 0, 0}));
    Bytes expected(72, 0);
    expected[0] = 0x42;
    std::memcpy(expected.data() + 52, "SN42                ", 20);
    EXPECT_EQ(record->data, expected);

    EXPECT_EQ(rig.flash(0x44000, 72), expected);
    EXPECT_EQ(rig.flash(0x44000 + 72, 4096 - 72), Bytes(4096 - 72, 0xFF));
    EXPECT_TRUE(wrote(rig, 0, Bytes(image.begin(), image.begin() + 0x44000)));
    EXPECT_TRUE(wrote(rig, 0x45000, Bytes(image.begin() + 0x45000, image.end())));
}

// From the ROM loader the "Read/Write Buffer" update downloads the manufacturing code, then runs
// again without the download, which erases the chip once more: the product record written on the
// way is in the flash when the update reports its success.
TEST(SimBufferUpdate, ProductRecordSurvivesTheRunAfterTheDownload) {
    Rig rig("qvr298", erase);
    rig.w.settings_.serialNum = "SN7";
    rig.w.readWriteBuffer_ = true;
    const Bytes file = image29x("298", {31, 1, 1, 20});
    rig.w.firmwareFile_ = (std::filesystem::temp_directory_path() / "q55x_ProductRecordSurvives.bin").string();
    std::ofstream(rig.w.firmwareFile_, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    ASSERT_TRUE(firmware::RunDirectUpdate(rig.w, rig.dev)) << rig.w.status();
    std::filesystem::remove(rig.w.firmwareFile_);
    Bytes record(72, 0);
    record[0] = 0x42;
    std::memcpy(record.data() + 52, "SN7                 ", 20);
    EXPECT_EQ(rig.flash(0x44000, 72), record);
    EXPECT_TRUE(wrote(rig, 0, file));
}

// A length that is no whole number of 4096-byte chunks ends with a short chunk: nothing is read
// past the image, nothing past its end lands in flash.
TEST(SimBufferUpdate, LastChunkIsCutToTheLength) {
    Rig rig("qvr298");
    const Bytes full = embeddedImage();
    const Bytes image(full.begin(), full.begin() + 0x20100);
    ASSERT_TRUE(firmware::DownloadViaBuffer(rig.w, rig.dev, 0, image.data(), image.size(), 0x20100, false));
    EXPECT_TRUE(wrote(rig, 0, image));
    EXPECT_EQ(rig.flash(0x20100, 0xF00), Bytes(0xF00, 0xFF));
    EXPECT_EQ(rig.trace.sent.back().cdb[8], 0x00);   // 256 bytes: length bytes 00 01 00
    EXPECT_EQ(rig.trace.sent.back().cdb[7], 0x01);
}

// On a 128 KiB flash the manufacturing code still gives back 256 KiB; the caller's buffer holds
// only what it asked for.
TEST(SimBufferUpdate, SmallFlashReadBackStaysInsideTheCallersBuffer) {
    const std::string state = (std::filesystem::temp_directory_path() / "q55x_buffer_update_small.state").string();
    sim::EnclosureState s;
    s.model = "qvr298";
    s.flashPart = "MX25L1006E";
    s.flash.assign(128 * 1024, 0xFF);
    s.sectors = 1000;
    std::string error;
    ASSERT_TRUE(sim::saveStateFile(state, s, error)) << error;
    {
        Rig rig("qvr298,flash=c22011,state=" + state);
        rig.w.setProductSn_ = false;
        const Bytes full = embeddedImage();
        const Bytes image(full.begin(), full.begin() + 0x20000);
        ASSERT_TRUE(firmware::DownloadViaBuffer(rig.w, rig.dev, 0, image.data(), image.size(), 0x20000, true));
        Bytes back(0x20000 + 64, 0xEE);
        ASSERT_TRUE(firmware::ReadFlashViaBuffer(rig.w, rig.dev, 0, back.data(), 0x20000, 0x20000));
        EXPECT_EQ(rig.w.status(), "ReadFlash..." + std::string(64, '.')) << "256 KiB were read";
        EXPECT_EQ(Bytes(back.begin(), back.begin() + 0x20000), image);
        EXPECT_EQ(Bytes(back.begin() + 0x20000, back.end()), Bytes(64, 0xEE));
        EXPECT_FALSE(firmware::ReadFlashViaBuffer(rig.w, rig.dev, 0, back.data(), 0x1000, 0x2000));
    }
    std::filesystem::remove(state);
}

// NOT READY / becoming ready is ridden out up to the retry limit, at the start and in the middle
// of the transfers; a longer storm fails the update.
TEST(SimBufferUpdate, NotReadyStormsInsideTheTransfers) {
    struct Case { const char* text; uint32_t midStorm; bool ok; };
    for (const Case& c : {Case{"qvr298,notready=10", 0, true}, Case{"qvr298", 30, true}, Case{"qvr298", 31, false}}) {
        SCOPED_TRACE(std::string(c.text) + " storm " + std::to_string(c.midStorm));
        Rig rig(c.text);
        bool programmingStorm = false, readingStorm = false;
        rig.w.onMessages = [&] {
            const std::string& st = rig.w.status_;
            bool& done = st.rfind("Programming", 0) == 0 ? programmingStorm : readingStorm;
            if (!done && st.size() > 20 && st.back() == '.') {
                rig.enc->faults().notReady(c.midStorm);
                done = true;
            }
        };
        EXPECT_EQ(firmware::UpdateWithEmbeddedImage(rig.w, rig.dev), c.ok);
        EXPECT_EQ(rig.enc->faults().notReadyLeft(), 0u);
    }
}

TEST(SimBufferUpdate, PowerCutDuringAnUpdateNeverEndsInSuccess) {
    for (uint64_t k : {1u, 2u, 3u, 4u, 40u, 66u, 67u, 68u, 69u, 130u, 196u, 197u}) {
        SCOPED_TRACE(k);
        Rig rig("qvr298");
        rig.enc->faults().powerCutAt(rig.enc->commandCount() + k);
        const bool ok = firmware::UpdateWithEmbeddedImage(rig.w, rig.dev) && rig.reattach();
        EXPECT_FALSE(ok);
        EXPECT_TRUE(rig.enc->poweredOff());
    }
}

TEST(SimBufferUpdate, MacUpdateThreadOutput) {
    const std::vector<std::string> head{"update_func: check flash type.", "update_func: allocate resources.",
                                        "update_func: update flash."};
    struct Case { const char* name; const char* text; int result; std::vector<std::string> tail; bool damageBank1 = false; };
    for (const Case& c : {
             Case{"success", "qvr298", 0,
                  {"update_func: compare flash.", "update_func: update flash success.", "update_func: show success message."}},
             Case{"write fails", "qvr298,failop=3b,fail=3", -1, {"update_func: update falsh fail.", "update_func: update fails."}},
             Case{"read fails", "qvr298,failop=3c,fail=20", -1,
                  {"update_func: compare flash.", "update_func: read flash fail.", "update_func: update fails."}},
             Case{"bank 1 read back wrong", "qvr298", -1,
                  {"update_func: compare flash.", "update_func: data compare fail.", "update_func: update fails."}, true},
         }) {
        SCOPED_TRACE(c.name);
        Rig rig(c.text);
        rig.trace.alter = [&](const transport::Request& req, transport::Result&) {
            if (c.damageBank1 && req.cdb[0] == 0x3C && req.cdb[1] == 1 && req.cdb[3] == 0x03 && req.cdb[4] == 0) req.data[5] ^= 1;
        };
        const std::vector<uint8_t> record(4096, 0x42);   // a product record an earlier update wrote
        rig.setFlash(0x44000, record);
        std::vector<std::string> lines;
        auto oldSink = firmware::setMacOutputSink([&](std::string_view l) { lines.emplace_back(l); });
        std::vector<bool> shown;
        const int result = firmware::qvr298_update_func(rig.session.bus().deviceOf(0).makerObject,
                                                        [&](bool ok) { shown.push_back(ok); });
        firmware::setMacOutputSink(oldSink);
        EXPECT_EQ(result, c.result);
        std::vector<std::string> expected = head;
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(shown, std::vector<bool>{c.result == 0});
        if (c.result == 0) {
            EXPECT_TRUE(wrote(rig, 0, embeddedImage()));
            EXPECT_EQ(rig.flash(0x44000, 4096), record);
        }
    }
}

// After the reset the updated bridge is found by who it is. The bus is told as it is before the
// update and at the scan during the wait; "ours" is the updated bridge, at sg1 before.
TEST(BufferUpdate, UpdatedBridgeIsFoundByWhoItIs) {
    using Id = firmware::BridgeIdentity;
    struct Case { const char* what; std::vector<Id> before, during; const char* found; };
    const Id ours{"A1", "1-1", "sg1"};
    for (const Case& c : std::initializer_list<Case>{
             {"back at another node", {ours}, {{"A1", "1-1", "sg5"}}, "sg5"},
             {"a newcomer while away", {ours}, {{"B2", "1-2", "sg5"}}, ""},
             {"a twin on another port", {ours, {"A1", "1-2", "sg2"}}, {{"A1", "1-2", "sg2"}}, ""},
             {"back beside its twin", {ours, {"A1", "1-2", "sg2"}}, {{"A1", "1-2", "sg2"}, {"A1", "1-1", "sg6"}}, "sg6"},
             {"a twin arriving while away", {ours}, {{"A1", "1-3", "sg5"}}, ""},
             {"back as a twin arrives", {ours}, {{"A1", "1-3", "sg5"}, {"A1", "1-1", "sg6"}}, "sg6"},
             {"twins at one port", {{"", "1-1", "sg1"}}, {{"", "1-1", "sg5"}, {"", "1-1", "sg6"}}, ""},
             {"nothing known: a new node", {{"", "", "sg1"}}, {{"", "", "sg5"}}, ""},
             {"nothing known: its own node", {{"", "", "sg1"}}, {{"", "", "SG1"}}, "SG1"}}) {
        SCOPED_TRACE(c.what);
        const std::vector<Id>* bus = &c.before;
        const auto paths = [&] {
            std::vector<std::string> p;
            for (const Id& id : *bus) p.push_back(id.node);
            return p;
        };
        const auto identityOf = [&](const std::string& p) {
            for (const Id& id : *bus)
                if (id.node == p) return id;
            return Id{};
        };
        const firmware::DeviceScan scan = firmware::scanForUpdatedBridge(c.before.front(), paths(), paths, identityOf);
        bus = &c.during;
        EXPECT_EQ(scan(), *c.found ? std::vector<std::string>{c.found} : std::vector<std::string>{});
    }
}
