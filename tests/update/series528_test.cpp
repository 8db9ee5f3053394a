// UpdateFlash_528Series and its SST form (UpdateFlashSst), on both programs: the pages, the tail
// and the kept NVRAM in flash afterwards, the commands the bridge saw, the texts of each failure.
#include <gtest/gtest.h>

#include "update/family_rig.h"

using namespace family_tests;

TEST(SimFamily528, PagesTailAndTheKeptNvram) {
    {   // 4 KiB of code, no NVRAM of its own: the chip's NVRAM, the code, zeros; one unit, one page.
        Rig rig("qvd528");
        const Bytes nvram = chipNvram(1);
        rig.setFlash(0, nvram);
        const Bytes code = pattern(4096, 2);
        rig.pick(code);
        ASSERT_TRUE(firmware::UpdateFlash_528Series(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.recorder.unitErases(), std::vector<uint32_t>{0});
        EXPECT_EQ(rig.recorder.writes(), (std::vector<Recorder::Stretch>{{0, 16384}}));
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
        EXPECT_EQ(rig.recorder.unitErases(), (std::vector<uint32_t>{0, 32768}));
        EXPECT_EQ(rig.recorder.reads().front(), (Recorder::Stretch{0, 16384})) << "the erase check, not a backup";
    }
    {   // 4 x 16 KiB of code behind its own NVRAM, kept: four pages and the 4 KiB tail.
        Rig rig("qvd528,flash=c22011");
        const Bytes nvram = chipNvram(4);
        rig.setFlash(0, nvram);
        const Bytes file = cat(sample("qvd528_with_nvram"), pattern(4096, 5));
        rig.pick(file);
        ASSERT_TRUE(firmware::UpdateFlash_528Series(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.recorder.unitErases(), (std::vector<uint32_t>{0, 32768, 65536}));
        EXPECT_EQ(rig.recorder.writes(), (std::vector<Recorder::Stretch>{
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
        {"backup read", [&](Recorder& r) { r.refuse(serialSub(0x10)); }, "Backup NVRAM command fail!"},
        {"erase", [&](Recorder& r) { r.refuse(serialSub(0x14)); }, "Erase command fail!!"},
        // Reads 1 and 2 are the backup of the NVRAM and its confirming second read.
        {"erased read", [&](Recorder& r) { r.refuse([&](const Bytes& c) { return serialSub(0x10)(c) && ++reads == 3; }); },
         "Read back after erase fail!!"},
        {"not erased", [&](Recorder& r) { r.spoilRead([&](const Bytes&) { return ++reads == 3; }); }, "Data not 0xff !!"},
        {"write after the erase", [&](Recorder& r) { r.refuse(serialSub(0x11)); }, "Write command fail!"},
        {"compare", [&](Recorder& r) { r.spoilRead([&](const Bytes&) { return ++reads == 7; }); }, "Data compare fail !!"},
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
        rig.recorder.refuse([](const Bytes& c) { return c[0] == 0xFF && c[2] == 0x20; });
        EXPECT_FALSE(firmware::UpdateFlash_528Series(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), "Enable ATMEL flash write enable fail!!");
        EXPECT_TRUE(rig.recorder.unitErases().empty());
    }
}

// A file shorter than the NVRAM has none to give, the box ticked, forced (SST form) or absent
// (macOS, the chip's NVRAM without its mark): the chip's stays, and the update is refused.
TEST(SimFamily528, ShortFileNeverReplacesTheNvram) {
    for (int form : {0, 1, 2}) {   // the 528 form, the SST form, macOS
        Rig rig(form == 2 ? "qvd528" : "qvr227");
        Bytes nvram = chipNvram(9), file = pattern(256, 3);
        nvram[127] = 'X';
        rig.setFlash(0, nvram);
        rig.pick(file);
        rig.w.includeNvram_ = true;
        EXPECT_FALSE(form == 2   ? firmware::UpdateFlash_528Series(rig.makerObject, vendor::chipTypeOfCode("528"), file.data(), 256)
                     : form == 1 ? firmware::UpdateFlashSst(rig.w, rig.dev)
                                 : firmware::UpdateFlash_528Series(rig.w, rig.dev));
        EXPECT_EQ(rig.flash(0, 4096), nvram) << form;
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
        rig.recorder.spoilRead([&](const Bytes& cdb) {
            ++reads;
            return c.spoiltRead ? reads == c.spoiltRead : rig.recorder.unitErases().empty() && be24(&cdb[3]) == 0 && reads % 2;
        });
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
            EXPECT_TRUE(rig.recorder.unitErases().empty()) << "nothing is erased without a good copy";
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
        EXPECT_TRUE(rig.recorder.writes().empty()) << "pages go by SPI cycles, not the bridge's write";
        EXPECT_EQ(rig.boxes(), Lines{kPowerCycleBox});
    }
}

// SST parts come up protected and the bridge's unit erase does not clear that: both programs
// unlock the part first (the macOS program, which has no data phase, with the status byte in the
// cycle), and the firmware lands behind the kept NVRAM.
TEST(SimFamily528, ProtectedSstPartIsUnlockedByBothPrograms) {
    const sys::ResourceLoader previous = sys::setResourceLoader(firmware::catalogResources());
    for (bool mac : {false, true}) {
        SCOPED_TRACE(mac ? "macOS" : "Windows");
        Rig rig("qvd528,flash=bf48");
        const Bytes nvram = chipNvram(7);
        rig.setFlash(0, nvram);
        const Bytes file = mac ? sample("QVD528UFW") : sample("qvd528_with_nvram");
        bool ok;
        if (mac) {
            const firmware::MacOutputSink sink = firmware::setMacOutputSink([](std::string_view) {});
            ok = firmware::qvd528_update_func(rig.session.bus().deviceOf(0).makerObject, {}) == 0;
            firmware::setMacOutputSink(sink);
        } else {
            rig.pick(file);
            ok = firmware::UpdateFlash_528Series(rig.w, rig.dev);
        }
        ASSERT_TRUE(ok) << rig.w.status();
        EXPECT_EQ(rig.flash(0, 4096), nvram);
        EXPECT_EQ(rig.flash(4096, file.size() - 4096), Bytes(file.begin() + 4096, file.end()));
    }
    sys::setResourceLoader(previous);
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
        rig.recorder.refuse([](const Bytes& c) { return c[0] == 0xFF && c[2] == 0x14; });
        std::vector<bool> shown;
        EXPECT_EQ(firmware::qvd528_update_func(rig.session.bus().deviceOf(0).makerObject,
                                               [&](bool ok) { shown.push_back(ok); }),
                  -1);
        firmware::setMacOutputSink(before);
        EXPECT_EQ(shown, std::vector<bool>{false});
    }
    sys::setResourceLoader(previous);
}

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
    // macOS, same rules: a QVD523 keeps bytes 128-207; an image past the flash is refused unwritten.
    for (auto [enclosure, type, size] : {std::tuple{"qvd528", 7, 0}, {"qvd523", 11, 0}, {"qvd528", 7, 0x10000}}) {
        Rig rig(enclosure);
        const Bytes nvram = chipNvram(41);
        rig.setFlash(0, nvram);
        Bytes image = sample(type == 7 ? "qvd528_code_only" : "qvd523_with_nvram");
        if (type == 11) image.erase(image.begin(), image.begin() + 4096);
        if (size) image.resize(size, 0x5A);
        EXPECT_EQ(firmware::UpdateFlash_528Series(rig.makerObject, type, image.data(), image.size()), size == 0);
        EXPECT_EQ(rig.flash(0, 4096), nvram);
        EXPECT_EQ(size ? rig.recorder.wroteNothing() : rig.flash(4096, image.size()) == image, true) << enclosure;
    }
}

// Mutants of the procedures, kept to this test: status polls answered "ready" without the flash's
// word, or a write enable or status write that never reaches the flash. The flash catches each; the
// gentle flash of old let the skipped wait pass.
TEST(SimFamily528, MutantsThatSkipAWaitOrAWriteEnableFail) {
    const auto spi = [](uint8_t op) { return [op](const Bytes& c) { return c[0] == 0xFF && c[2] == 0x20 && c[5] == op; }; };
    struct Case { const char* mutant; const char* enclosure; std::function<bool(const Bytes&)> swallow; bool passes; };
    for (const Case& c : std::initializer_list<Case>{{"status reads ready", "qvd528", {}, false},
                                                     {"status reads ready, gentle", "qvd528,gentle=1", {}, true},
                                                     {"write enable swallowed", "qvd523,flash=bf48", spi(0x06), false},
                                                     {"status write swallowed", "qvd523,flash=bf48", spi(0x01), false}}) {
        SCOPED_TRACE(c.mutant);
        Rig rig(c.enclosure);
        rig.pick(sample(c.swallow ? "qvd523_with_nvram" : "qvd528_with_nvram"));
        rig.commands.swallow = c.swallow;
        rig.commands.alter = [&](const transport::Request& q, transport::Result&) { if (!c.swallow && q.cdb[0] == 0xFF && q.cdb[2] == 0x12 && q.data) q.data[0] = 0; };
        EXPECT_EQ(c.swallow ? firmware::UpdateFlashSst(rig.w, rig.dev) : firmware::UpdateFlash_528Series(rig.w, rig.dev), c.passes);
    }
}
