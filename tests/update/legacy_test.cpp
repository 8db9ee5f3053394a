// UpdateFlashLegacy: the erase by file size and AMIC model, the settings bytes at 0x8000 kept and
// verified, and every failure's text.
#include <gtest/gtest.h>

#include "update/family_rig.h"

using namespace family_tests;

TEST(SimFamilyLegacy, ChipEraseForLargeFilesSettingsKeptForSmallOnes) {
    {   // 70000 bytes: one chip erase, the settings at 0x8000 neither read nor restored.
        Rig rig("qv84556,flash=c22011");
        const Bytes file = pattern(70000, 10);
        rig.pick(file);
        ASSERT_TRUE(firmware::UpdateFlashLegacy(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.recorder.chipErases(), 1);
        EXPECT_TRUE(rig.recorder.unitErases().empty());
        for (const auto& r : rig.recorder.reads()) EXPECT_NE(r.at, 0x8000u) << r;
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
        EXPECT_EQ(rig.recorder.chipErases(), 0);
        EXPECT_EQ(rig.flash(0, file.size()), file);
        EXPECT_EQ(rig.flash(0x8000, 512), settings);
        EXPECT_EQ(rig.w.debugText_, "NVRAM O.K.\nwrite NVRAM O.K.\n");
    }
    {   // Settings that cannot be read for a file that would need them back: nothing is erased.
        Rig rig("qv84556");
        rig.pick(pattern(20000, 13));
        rig.recorder.refuse([](const Bytes& c) { return c[0] == 0xFF && c[2] == 0x10 && be24(&c[3]) == 0x8000; });
        EXPECT_FALSE(firmware::UpdateFlashLegacy(rig.w, rig.dev));
        EXPECT_EQ(rig.w.debugText_, "NVRAM fail\n");
        EXPECT_EQ(rig.w.status(), "Backup NVRAM command fail!");
        EXPECT_TRUE(rig.recorder.unitErases().empty());
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
        rig.recorder.spoilRead([&](const Bytes& cdb) { return be24(&cdb[3]) == 0x8000 && (everyOther ? ++reads % 2 : ++reads == 1); });
        EXPECT_EQ(firmware::UpdateFlashLegacy(rig.w, rig.dev), !everyOther);
        EXPECT_EQ(rig.flash(0x8000, 512), settings);
        if (everyOther) {
            EXPECT_EQ(rig.w.status(), "Backup NVRAM command fail!");
            EXPECT_TRUE(rig.recorder.unitErases().empty());
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
        EXPECT_EQ(rig.recorder.unitErases(), c.erased);
        EXPECT_EQ(rig.flash(0, file.size()), file);
    }
}

TEST(SimFamilyLegacy, FailuresAreReported) {
    {
        Rig rig("qv84556");
        rig.pick(pattern(40000, 15));
        rig.recorder.refuse([](const Bytes& c) { return c[0] == 0xFF && c[2] == 0x11; });
        EXPECT_FALSE(firmware::UpdateFlashLegacy(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), "Programming Fail!!");
        EXPECT_TRUE(rig.w.boxes.empty());
    }
    {   // A chip erase the flash is still busy with after the wait: the erase command's text.
        Rig rig("qv84556,flash=ef4018");
        rig.pick(pattern(70000, 17));
        EXPECT_FALSE(firmware::UpdateFlashLegacy(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), "Not ready after Erase flash cmd success");
        EXPECT_TRUE(rig.recorder.writes().empty());
    }
    {   // The final read-back differs: the text is appended to what the status line says.
        Rig rig("qv84556");
        rig.pick(pattern(40000, 16));
        int reads = 0;
        rig.recorder.spoilRead([&](const Bytes& c) { return be24(&c[3]) == 0 && ++reads == 2; });
        EXPECT_FALSE(firmware::UpdateFlashLegacy(rig.w, rig.dev));
        EXPECT_TRUE(rig.w.status().ends_with("Compare Fail!!\r\n\r\n")) << rig.w.status();
        EXPECT_TRUE(rig.w.boxes.empty());
    }
}
