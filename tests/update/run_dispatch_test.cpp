// The Run button's choice of procedure, row by row of the chip table, with the probes it sends,
// and the refusals that come before anything is erased.
#include <gtest/gtest.h>

#include "update/family_rig.h"

using namespace family_tests;

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
        {8, 1, 5, false, "\\\\?\\usbstor#disk", RunProcedure::Legacy},
        {8, 1, 2, true, "\\\\?\\usbstor#disk", RunProcedure::Sst},
        {8, 1, 5, false, "/dev/sg1", RunProcedure::None},   // a bus nobody told: not taken for USB
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
        EXPECT_TRUE(rig.recorder.unitErases().empty());
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
