// UpdateFlash525Over1394: 256-byte direct writes that erase in front of 0 and 0x8000, and only a
// verified write is a success.
#include <gtest/gtest.h>

#include "update/family_rig.h"
#include "update/flash_backup.h"

using namespace family_tests;

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
        firmware::RecordingWindow quiet;
        std::vector<uint8_t> all;
        std::string error;
        ASSERT_TRUE(firmware::readFlash(quiet, rig.dev, 0, all, error)) << error;
        EXPECT_EQ(all, rig.enc->flash());
        EXPECT_TRUE(rig.recorder.reads().empty());
        ASSERT_FALSE(rig.recorder.directReads().empty());
        for (uint32_t n : rig.recorder.directReads()) EXPECT_EQ(n, 256u);
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
            rig.recorder.refuse([](const Bytes& c) { return c[0] == 0xDF && c[11] == 0xFB && be24(&c[8]) == 0x4000; });
        else
            rig.recorder.spoilRead([](const Bytes& c) { return be24(&c[8]) == 0; });
        EXPECT_FALSE(firmware::UpdateFlash525Over1394(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), writeFails ? "Write Bin File fail!" : "Data compare fail !!");
        EXPECT_TRUE(rig.w.boxes.empty());
    }
}
