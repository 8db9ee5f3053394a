// UpdateDiskResident: the q556E's firmware area below the end of its disk, its marker, and the
// failures the procedure names.
#include <gtest/gtest.h>

#include "update/family_rig.h"

using namespace family_tests;

TEST(SimFamilyDisk, AreaBelowTheEndOfTheDisk) {
    struct Case {
        const char* enclosure;
        uint64_t sectors;
        uint32_t blockSize;
    };
    for (const Case& c : {Case{"qv84556e,flash=none,disk=256005,writecache=1", 256005, 512},
                          Case{"qv84556e,flash=none,disk=100000,sector=4096", 100000, 4096},
                          Case{"qv84556e,flash=none,disk=5000000000", 5000000000ull, 512}}) {
        SCOPED_TRACE(c.enclosure);
        Rig rig(c.enclosure);
        ASSERT_EQ(firmware::chooseRunProcedure(rig.dev, ""), RunProcedure::DiskResident);
        const Bytes file = pattern(100000, 22);
        rig.pick(file);
        ASSERT_TRUE(firmware::runChosenProcedure(RunProcedure::DiskResident, rig.w, rig.dev)) << rig.w.status();
        rig.enc->disk().loseCache();   // the power cycle the user is asked for
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
            rig.recorder.refuse([](const Bytes& b) { return b[0] == 0x85 && b[14] == 0x35; });
        else
            rig.recorder.spoilRead([](const Bytes&) { return true; });
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
