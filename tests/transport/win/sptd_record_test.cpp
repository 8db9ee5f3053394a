// The pass-through request record as the Windows program hands it to the system.
#include <gtest/gtest.h>

#include <cstdint>

#include "transport/win/sptd_record.h"

using namespace transport;

TEST(SptdRecord, FieldsForADataInCommand) {
    uint8_t cdb[12] = {0xE0, 0xF4, 0xE7};
    alignas(8192) static uint8_t data[16];
    Request req;
    req.cdb = cdb;
    req.cdbLen = 12;
    req.dir = Direction::In;
    req.data = data;
    req.xferLen = 16;
    req.timeoutSec = 10;
    win::SptdWithSense rec;
    const ULONG size = win::buildSptd(req, rec);
    EXPECT_EQ(size, win::kSptdLength);
    EXPECT_EQ(rec.sptd.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(rec.sptd.PathId, 0);
    EXPECT_EQ(rec.sptd.TargetId, 1);
    EXPECT_EQ(rec.sptd.Lun, 0);
    EXPECT_EQ(rec.sptd.CdbLength, 12);
    EXPECT_EQ(rec.sptd.SenseInfoLength, 0);
    EXPECT_EQ(rec.sptd.DataIn, 1);
    EXPECT_EQ(rec.sptd.DataTransferLength, 16u);
    EXPECT_EQ(rec.sptd.TimeOutValue, 10u);
    EXPECT_EQ(rec.sptd.DataBuffer, data);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(rec.sptd.DataBuffer) % 8192, 0u);
    EXPECT_EQ(rec.sptd.SenseInfoOffset, offsetof(win::SptdWithSense, sense));
    EXPECT_EQ(rec.sptd.Cdb[0], 0xE0);
    EXPECT_EQ(rec.sptd.Cdb[2], 0xE7);
    EXPECT_EQ(rec.sptd.Cdb[12], 0);
}

TEST(SptdRecord, SenseVariantAndCommandsWithoutData) {
    uint8_t cdb[10] = {0x3B, 0x0E};
    Request req;
    req.cdb = cdb;
    req.cdbLen = 10;
    req.dir = Direction::None;
    req.timeoutSec = 100;
    req.senseLen = 32;
    win::SptdWithSense rec;
    EXPECT_EQ(win::buildSptd(req, rec), win::kSptdWithSenseSize);
    EXPECT_EQ(rec.sptd.SenseInfoLength, 32);
    EXPECT_EQ(rec.sptd.DataIn, 0) << "commands without data travel as data-out";
    EXPECT_EQ(rec.sptd.DataBuffer, nullptr);
    EXPECT_EQ(rec.sptd.DataTransferLength, 0u);
    EXPECT_EQ(rec.sptd.TimeOutValue, 100u);
    EXPECT_EQ(rec.sptd.CdbLength, 10);
}

TEST(SptdRecord, LayoutFollowsTheCompiler) {
    // The classic sizes hold in a 32-bit build; a 64-bit build has its own, taken from the layout.
    if (sizeof(void*) == 4) {
        EXPECT_EQ(win::kSptdLength, 44u);
        EXPECT_EQ(win::kSenseOffset, 48u);
        EXPECT_EQ(win::kSptdWithSenseSize, 80u);
    } else {
        EXPECT_EQ(win::kSptdLength, 56u);
        EXPECT_EQ(win::kSenseOffset, 60u);
        EXPECT_EQ(win::kSptdWithSenseSize, 96u);
    }
}
