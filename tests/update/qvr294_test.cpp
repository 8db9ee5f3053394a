// UpdateFlash294: the QVR294's chip-buffer commands with their pauses, the bank stamp, the retries.
#include <gtest/gtest.h>

#include "update/family_rig.h"

using namespace family_tests;

TEST(SimFamily294, ChipBufferCommandsAndTheirPauses) {
    Rig rig("qvr294");
    const Bytes file = sample("qvr294_31.05.00.01");
    rig.pick(file);
    const uint64_t t0 = rig.session.clock().nowMs();
    ASSERT_TRUE(firmware::UpdateFlash294(rig.w, rig.dev)) << rig.w.status();
    EXPECT_EQ(rig.flash(0, file.size()), file);
    EXPECT_EQ(rig.boxes(), Lines{kPowerCycleBox});
    const std::vector<Bytes> c = rig.recorder.cdbs294();
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
        rig.recorder.refuse([&](const Bytes& c) { return c[0] == 0xB3 && !refused && (refused = true); });
        ASSERT_TRUE(firmware::UpdateFlash294(rig.w, rig.dev)) << rig.w.status();
        EXPECT_EQ(rig.flash(0, 0x200), Bytes(file.begin(), file.begin() + 0x200));
        EXPECT_EQ(rig.flash(0x200, 4), (Bytes{0x5A, 0xC3, 0x69, 0xE1})) << "bank 0 stamped";
        EXPECT_EQ(rig.flash(0x400, 3072 - 0x400), cat(Bytes(file.begin() + 0x400, file.end()), Bytes(72, 0)));
        EXPECT_EQ(rig.flash(3072, 512), Bytes(512, 0xFF)) << "nothing past the file's last page";
        const std::vector<Bytes> cdbs = rig.recorder.cdbs294();
        EXPECT_EQ(std::count_if(cdbs.begin(), cdbs.end(), [](const Bytes& c) { return c[0] == 0xB4; }), 2);
    }
    {   // Three failed read-backs: false, the last text, no box.
        Rig rig("qvr294");
        rig.pick(pattern(4096, 21));
        rig.recorder.refuse([](const Bytes& c) { return c[0] == 0xB5; });
        EXPECT_FALSE(firmware::UpdateFlash294(rig.w, rig.dev));
        EXPECT_EQ(rig.w.status(), "Read FW fail!");
        EXPECT_TRUE(rig.w.boxes.empty());
    }
}
