#include <gtest/gtest.h>

#include <cstring>

#include "support/fake_backend.h"
#include "transport/scsi.h"
#include "transport/trace.h"

using namespace transport;
using testing_support::FakeBackend;
using testing_support::Reply;

namespace {

const Cdb kChipInfo{12, {0xE0, 0xF4, 0xE7}};
const Cdb kFlashStatus{12, {0xFF, 0x04, 0x12}};

struct TransportTest : ::testing::Test {
    FakeBackend fake;
    ScopedBackend scope{fake};
};

Reply withData(std::vector<uint8_t> d) {
    Reply r;
    r.dataIn = std::move(d);
    return r;
}

}  // namespace

TEST_F(TransportTest, OneByteReadTravelsAsTwoAndReturnsOnlyTheFirst) {
    for (bool sense : {false, true}) {
        SCOPED_TRACE(sense ? "sense variant" : "plain variant");
        fake.clear();
        fake.push(withData({0x03, 0x77}));
        uint8_t buf[2] = {0xAA, 0xAA};
        uint8_t senseBuf[18] = {};
        int got = -1;
        const bool ok = sense ? ScsiDataInSense("dev", kFlashStatus, buf, 1, &got, senseBuf, 18)
                              : ScsiDataIn("dev", kFlashStatus, buf, 1, &got);
        ASSERT_TRUE(ok);
        EXPECT_EQ(fake.sent().at(0).xferLen, 2u);
        EXPECT_EQ(buf[0], 0x03);
        EXPECT_EQ(buf[1], 0xAA) << "only one byte belongs to the caller";
        EXPECT_EQ(got, 2);
    }
}

TEST_F(TransportTest, OneByteWriteSendsTheByteFollowedByZero) {
    for (bool sense : {false, true}) {
        SCOPED_TRACE(sense ? "sense variant" : "plain variant");
        fake.clear();
        const uint8_t b[2] = {0x5A, 0xEE};
        int got = 0;
        ASSERT_TRUE(sense ? ScsiDataOutSense("dev", kChipInfo, b, 1, &got, nullptr, 0)
                          : ScsiDataOut("dev", kChipInfo, b, 1, &got));
        EXPECT_EQ(fake.sent().at(0).dataOut, (std::vector<uint8_t>{0x5A, 0x00}));
    }
}

TEST_F(TransportTest, TimeoutsAndSharingPerOperation) {
    struct Case {
        const char* what;
        int op;   // 0 In, 1 Out, 2 InSense, 3 OutSense
        Cdb cdb;
        uint32_t timeout;
        Sharing sharing;
    };
    const Cdb chipErase{12, {0xFF, 0x04, 0x13}};
    Cdb nvramMode3{12, {0xDF, 0x03}};
    nvramMode3[11] = 0xFB;
    Cdb nvramMode2 = nvramMode3;
    nvramMode2[1] = 0x02;
    const Case cases[] = {
        {"data in", 0, kChipInfo, 10, Sharing::Shared},
        {"flash chip erase", 1, chipErase, 100, Sharing::Exclusive},
        {"NVRAM write in mode 3", 1, nvramMode3, 100, Sharing::Exclusive},
        {"NVRAM write in mode 2", 1, nvramMode2, 50, Sharing::Exclusive},
        {"other data out", 1, kChipInfo, 50, Sharing::Exclusive},
        {"chip erase through data in", 0, chipErase, 10, Sharing::Shared},
        {"read buffer", 2, Cdb{10, {0x3C, 0x03}}, 10, Sharing::Exclusive},
        {"write buffer", 3, Cdb{10, {0x3B, 0x0E}}, 10, Sharing::Exclusive},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.clear();
        uint8_t buf[4] = {};
        int got = 0;
        switch (c.op) {
            case 0: ScsiDataIn("dev", c.cdb, buf, 4, &got); break;
            case 1: ScsiDataOut("dev", c.cdb, nullptr, 0, &got); break;
            case 2: ScsiDataInSense("dev", c.cdb, buf, 4, &got, nullptr, 0); break;
            case 3: ScsiDataOutSense("dev", c.cdb, buf, 4, &got, nullptr, 0); break;
        }
        ASSERT_EQ(fake.sent().size(), 1u);
        EXPECT_EQ(fake.sent()[0].timeoutSec, c.timeout);
        EXPECT_EQ(fake.sent()[0].sharing, c.sharing);
    }
}

TEST_F(TransportTest, SuccessNeedsEveryLayerToAgree) {
    struct Case {
        const char* what;
        Reply reply;
        bool ok;
    };
    Reply good;
    Reply platformFailed;
    platformFailed.platformOk = false;
    Reply leftError;
    leftError.lastError = 87;
    Reply hostError;
    hostError.hostStatus = 0x07;
    const Case cases[] = {
        {"GOOD", good, true},
        {"CHECK CONDITION with a successful call", testing_support::checkCondition({0x70, 0, 0x05}), false},
        {"call failed", platformFailed, false},
        {"system error left behind", leftError, false},
        {"transport error", hostError, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.push(c.reply);
        uint8_t buf[16];
        int got = 0;
        EXPECT_EQ(ScsiDataIn("dev", kChipInfo, buf, 16, &got), c.ok);
    }
}

// A device may answer with fewer bytes than a data-in command allows (an 8-byte string where 40
// were allowed): that succeeds, the caller learns how many came and finds zeros after them, even
// in its own buffer. Data that did not all go out is a failed command.
TEST_F(TransportTest, ShortRepliesSucceedWithTheirLengthShortWritesFail) {
    for (const bool sense : {false, true}) {
        SCOPED_TRACE(sense ? "sense variant" : "plain variant");
        Reply shortReply = withData({0xF4, 0xE7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
        shortReply.residual = 4;
        fake.push(shortReply);
        uint8_t buf[16];
        std::memset(buf, 0xAA, sizeof buf);
        uint8_t senseBuf[18] = {};
        int got = -1;
        EXPECT_TRUE(sense ? ScsiDataInSense("dev", kChipInfo, buf, 16, &got, senseBuf, 18)
                          : ScsiDataIn("dev", kChipInfo, buf, 16, &got));
        EXPECT_EQ(got, 12);
        EXPECT_EQ(std::vector<uint8_t>(buf + 10, buf + 16), (std::vector<uint8_t>{9, 10, 0, 0, 0, 0}));
    }
    const uint8_t data[16] = {1};
    for (const bool sense : {false, true}) {
        Reply partlySent;
        partlySent.residual = 4;
        fake.push(partlySent);
        int got = 0;
        EXPECT_FALSE(sense ? ScsiDataOutSense("dev", Cdb{10, {0x3B, 0x0E}}, data, 16, &got, nullptr, 0)
                           : ScsiDataOut("dev", Cdb{12, {0xFF, 0x04, 0x11}}, data, 16, &got));
    }
    // The pad byte of a one-byte write may come back as a residue: that alone is no loss.
    for (const uint32_t residual : {1u, 2u}) {
        fake.push(Reply{.residual = residual});
        EXPECT_EQ(ScsiDataOut("dev", kChipInfo, data, 1, nullptr), residual == 1) << residual;
    }
}

TEST_F(TransportTest, UnopenablePathLeavesTheReportedLengthUntouched) {
    for (int op = 0; op < 4; ++op) {
        SCOPED_TRACE(op);
        fake.push(testing_support::unopenable());
        uint8_t buf[8] = {};
        int got = 1234;
        bool ok = true;
        switch (op) {
            case 0: ok = ScsiDataIn("nope", kChipInfo, buf, 8, &got); break;
            case 1: ok = ScsiDataOut("nope", kChipInfo, buf, 8, &got); break;
            case 2: ok = ScsiDataInSense("nope", kChipInfo, buf, 8, &got, nullptr, 0); break;
            case 3: ok = ScsiDataOutSense("nope", kChipInfo, buf, 8, &got, nullptr, 0); break;
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(got, 1234);
    }
}

TEST_F(TransportTest, NoDataMeansNullBufferAndZeroLength) {
    int got = -1;
    EXPECT_TRUE(ScsiDataOut("dev", Cdb{12, {0xFF, 0x04, 0x26, 'Q', 'V'}}, nullptr, 0, &got));
    EXPECT_TRUE(ScsiDataIn("dev", kChipInfo, nullptr, 0, &got));
    for (const auto& s : fake.sent()) {
        EXPECT_TRUE(s.dataWasNull);
        EXPECT_EQ(s.xferLen, 0u);
        EXPECT_EQ(s.dir, Direction::None);
    }
    EXPECT_EQ(got, 0);
}

TEST_F(TransportTest, RefusesBadLengthsWithoutSending) {
    uint8_t buf[4];
    int got = 7;
    EXPECT_FALSE(ScsiDataIn("dev", kChipInfo, buf, -1, &got));
    EXPECT_FALSE(ScsiDataIn("dev", kChipInfo, nullptr, 4, &got));
    EXPECT_FALSE(ScsiDataIn("dev", Cdb{3, {0x12}}, buf, 4, &got));
    EXPECT_TRUE(fake.sent().empty());
    EXPECT_EQ(got, 7);
}

TEST_F(TransportTest, SenseIsCopiedOnFailureAndOutSenseReportsLengthOnlyOnSuccess) {
    fake.push(testing_support::becomingReady());
    uint8_t sense[18] = {};
    uint8_t buf[8] = {};
    int got = 99;
    EXPECT_FALSE(ScsiDataOutSense("dev", Cdb{10, {0x3B, 0x0E}}, buf, 8, &got, sense, 18));
    EXPECT_EQ(sense[2], 0x02);
    EXPECT_EQ(sense[12], 0x04);
    EXPECT_EQ(sense[13], 0x01);
    EXPECT_EQ(got, 99);
    EXPECT_EQ(fake.sent().back().senseLen, 32);

    fake.push(testing_support::becomingReady());
    EXPECT_FALSE(ScsiDataInSense("dev", Cdb{10, {0x3C, 0x01}}, buf, 8, &got, sense, 18));
    EXPECT_EQ(got, 8) << "the data-in sense variant always reports the length";
}

TEST(TraceFormat, OneJsonObjectWithTheAgreedKeys) {
    const Cdb c{12, {0xE0, 0xF4, 0xE7}};
    TraceEntry e;
    e.op = "ScsiDataIn";
    e.path = "\\\\?\\usbstor#x";
    e.cdb = &c;
    e.dir = Direction::In;
    e.len = 16;
    e.xfer = 16;
    e.timeoutSec = 10;
    e.ok = true;
    EXPECT_EQ(traceLine(e),
              R"({"op":"ScsiDataIn","path":"\\\\?\\usbstor#x","cdb":"e0f4e7000000000000000000","dir":"in",)"
              R"("len":16,"xfer":16,"timeout":10,"ok":true,"status":0,"sense":""})");
    const uint8_t data[2] = {0x01, 0x00};
    e.dir = Direction::Out;
    e.data = data;
    e.dataLen = 2;
    EXPECT_NE(traceLine(e).find(R"("data":"0100")"), std::string::npos);
}
