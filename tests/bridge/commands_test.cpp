// The bytes each wrapper puts on the wire, per program, checked against the command catalogue.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/fake_backend.h"
#include "sys/debug.h"
#include "transport/maclib/qvlib.h"
#include "bridge/IDEAccess.h"
#include "bridge/qvaccess.h"

using testing_support::FakeBackend;
using testing_support::hex;

namespace {

// Names the transport operation a request came through.
std::string opOf(const testing_support::Sent& s) {
    if (s.sharing == transport::Sharing::Shared) return "In";
    if (s.senseLen) return s.dir == transport::Direction::In ? "InS" : "OutS";
    return "Out";
}

struct WinCase {
    const char* name;
    std::function<bool(const char*)> call;
    const char* cdb;
    const char* op;
    uint32_t xfer;
};

}  // namespace

TEST(IDEAccessCommands, CdbBytesOperationAndLength) {
    uint8_t buf[4096] = {};
    static const uint8_t record72[72] = {0x42};
    vendor::_VenderCmdPara para;
    para.chipEraseOp = 0x60;
    para.blockEraseOp = 0x52;
    para.programOp = 0xAF;
    para.sectorEraseOp = 0x20;
    using namespace IDEAccess;
    const WinCase cases[] = {
        {"inquiry", [&](auto p) { return QV_Inquiry(p, buf, 40); }, "120000002800000000000000", "In", 40},
        {"read capacity 16", [&](auto p) { return QV_ReadCapacity16(p, buf); }, "9e100000000000000000000000100000", "In", 16},
        {"read buffer descriptor", [&](auto p) { return QV_ReadBuffer(p, 3, 0, 0, buf, 4); }, "3c030000000000000400", "InS", 4},
        {"read buffer data", [&](auto p) { return QV_ReadBuffer(p, 1, 0, 0x44000, buf, 4096); }, "3c010004400000100000", "InS", 4096},
        {"write buffer program", [&](auto p) { return QV_WriteBuffer(p, 14, 0, 0x21000, buf, 4096); }, "3b0e0002100000100000", "OutS", 4096},
        {"write buffer activate", [&](auto p) { return QV_WriteBuffer(p, 15, 3, 0x1000, buf, 4096); }, "3b0f0000000000000000", "OutS", 0},
        {"identify", [&](auto p) { return QV_GetDiskIdentify(p, buf); }, "a1080b0000000000 40ec0000", "In", 512},
        {"read dma ext", [&](auto p) { return QV_DiskReadDmaExt(p, 0x0102030405ull, buf, 1024, 512); }, "85150b0000 0002 02 05 01 04 00 03 602500", "In", 1024},
        {"write dma ext", [&](auto p) { return QV_DiskWriteDmaExt(p, 0x10, buf, 512, 512); }, "8517030000 0001 00 10 00 00 00 00 603500", "Out", 512},
        {"chip info", [&](auto p) { return QV_GetChipInfo(p, buf, 16); }, "e0f4e7000000000000000000", "In", 16},
        {"chip info alt", [&](auto p) { return QV_GetChipInfoAlt(p, buf, 16); }, "fef4e7000000000000000000", "In", 16},
        {"odd inquiry", [&](auto p) { return QV_ODDInquiry(p, buf, 40); }, "ff0430080000000000000000", "In", 40},
        {"chip reset", [&](auto p) { return QV_ChipReset256(p); }, "ff0426515600000000000000", "In", 0},
        {"chip status", [&](auto p) { return QV_GetChipStatus(p, buf, 20); }, "ff04a0140000000000000000", "In", 20},
        {"flash prepare", [&](auto p) { return QV_FlashPrepare(p); }, "ff0425000000000000000000", "Out", 0},
        {"prepare flash probe", [&](auto p) { return QV_PrepareFlashProbe(p); }, "df01000000000000000000fc", "In", 0},
        {"product info", [&](auto p) { return QV_WriteProductInfo(p, 0x728D, 0x7A3C, record72); }, "c3300000728d7a3c00480000", "Out", 72},
        {"gpio", [&](auto p) { return GetGPIO(p, buf); }, "df10000002000000000000ff", "In", 2},
        {"get register", [&](auto p) { return GetRegister(p, 0x7038, buf, 4); }, "df10000004007038000000fd", "In", 4},
        {"set register", [&](auto p) { return SetRegister(p, 0x506A, buf, 1); }, "df0000000100506a000000fe", "Out", 2},
        {"get nvram", [&](auto p) { return QV_GetNVRAM_529(p, 0x10000, buf, 4096); }, "df10001000000000010000fa", "In", 4096},
        {"set nvram masks the mode", [&](auto p) { return QV_SetNVRAM_529(p, 0, buf, 0, uint8_t{0x7B}); }, "df03000000000000000000fb", "Out", 0},
        {"set nvram keeps bit 7", [&](auto p) { return QV_SetNVRAM_529(p, 0, buf, 4096, uint8_t{0x82}); }, "df82001000000000000000fb", "Out", 4096},
        {"set nvram second form", [&](auto p) { return QV_SetNVRAM_529(p, 0x8000, buf, 256, true); }, "df01000100000000008000fb", "Out", 256},
        {"set para 16-bit", [&](auto p) { return QV_SerialFlashSetPara256(p, para, true); }, "ff040f6052af200020000000", "Out", 0},
        {"set para 8-bit", [&](auto p) { return QV_SerialFlashSetPara256(p, para, false); }, "ff040f6052af200800000000", "Out", 0},
        {"flash read", [&](auto p) { return QV_SerialFlashRead(p, 0x012345, buf, 512); }, "ff0410012345000000000000", "In", 512},
        {"flash write", [&](auto p) { return QV_SerialFlashWrite(p, 0x4000, buf, 16); }, "ff0411004000000000000000", "Out", 16},
        {"flash status", [&](auto p) { return QV_SerialFlashStatus(p, buf); }, "ff0412000000000000000000", "In", 2},
        {"chip erase", [&](auto p) { return QV_SerialFlashChipErase(p); }, "ff0413000000000000000000", "Out", 0},
        {"sector erase", [&](auto p) { return QV_SerialFlashSectorErase(p, 0x8000); }, "ff0414008000000000000000", "Out", 0},
        {"read id with flag", [&](auto p) { return QV_SerialFlashReadID(p, 4, 0xAB, true, buf); }, "ff041504ab03000000000000", "In", 4},
        {"read id without flag", [&](auto p) { return QV_SerialFlashReadID(p, 3, 0x15, false, buf); }, "ff0415031500000000000000", "In", 3},
        {"write enable", [&](auto p) { return QV_SerialFlashWriteEnable(p); }, "ff0420010006000000000000", "Out", 0},
        {"status write", [&](auto p) { return QV_SerialFlashWriteStatusAMC(p); }, "ff0420020001000000000000", "Out", 2},
        {"page program header", [&](auto p) { return QV_SerialFlashCommand(p, {0x02, 0x01, 0x23, 0x00}, true); }, "ff0420040102012300000000", "Out", 0},
        {"response", [&](auto p) { return QV_SerialFlashResponse(p, 4, buf, 4); }, "ff0421000000000004000000", "In", 4},
        {"data phase", [&](auto p) { return QV_SerialFlashData(p, buf, 256); }, "ff0422000000000100000000", "Out", 256},
        {"flash type", [&](auto p) { return QV_SerialFlashType(p, buf); }, "ff0423040000000000000000", "In", 4},
        {"erase 294 mode 3", [&](auto p) { return QV_FlashErase294(p, 0, 0, 3); }, "b40000000000000000310060", "In", 0},
        {"erase 294 mode 2", [&](auto p) { return QV_FlashErase294(p, 0, 0x1000, 2); }, "b40000001000000000312152", "In", 0},
        {"download 294", [&](auto p) { return QV_BufferDownload294(p, 100, 1, buf); }, "b20000000064000001000000", "Out", 512},
        {"program 294", [&](auto p) { return QV_FlashProgram294(p, 100, 0x200, 256, 51456); }, "b3640000020001 00c900e502", "In", 0},
        {"load 294", [&](auto p) { return QV_FlashLoad294(p, 100, 0x400, 512, 51200); }, "b6640000040002 00c8000000", "In", 0},
        {"upload 294", [&](auto p) { return QV_BufferUpload294(p, 100, 1, buf); }, "b56401000000000000000000", "In", 512},
    };
    for (const WinCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBackend fake;
        transport::ScopedBackend scope(fake);
        EXPECT_TRUE(c.call("\\\\?\\usbstor#disk"));
        ASSERT_EQ(fake.sent().size(), 1u);
        std::string want = c.cdb;
        std::erase(want, ' ');
        EXPECT_EQ(hex(fake.sent()[0].cdb), want);
        EXPECT_EQ(opOf(fake.sent()[0]), c.op);
        EXPECT_EQ(fake.sent()[0].xferLen, c.xfer);
    }
}

TEST(IDEAccessCommands, FlashTypeChkIdIsPrologueThenResponseAndFailsWithEither) {
    for (int failing : {0, 1, 2}) {
        SCOPED_TRACE(failing);
        FakeBackend fake;
        transport::ScopedBackend scope(fake);
        testing_support::Reply good;
        good.dataIn = {0xEF, 0x40, 0x18, 0x00};
        const auto bad = testing_support::checkCondition({0x70, 0, 5});
        fake.push(failing == 1 ? bad : testing_support::Reply{});
        fake.push(failing == 2 ? bad : good);
        uint8_t id[4] = {};
        EXPECT_EQ(IDEAccess::QV_FlashTypeChkID("dev", 0x9F, id, 4), failing == 0);
        ASSERT_GE(fake.sent().size(), 1u);
        EXPECT_EQ(hex(fake.sent()[0].cdb), "ff042001019f000000000000");
        if (failing == 0) {
            EXPECT_EQ(hex(fake.sent()[1].cdb), "ff0421000000000004000000");
            EXPECT_EQ(id[0], 0xEF);
        }
    }
}

TEST(IDEAccessCommands, BufferTransferRidesOutBecomingReadyThenReportsOnce) {
    std::vector<std::string> debug;
    auto oldSink = sys::setDebugSink([&](std::string_view s) { debug.emplace_back(s); });
    int pumped = 0;
    auto oldPump = sys::setMessagePump([&] { ++pumped; });

    FakeBackend fake;
    transport::ScopedBackend scope(fake);
    uint8_t buf[4];

    // Ready after five refusals: one success, nothing reported.
    fake.pushN(testing_support::becomingReady(), 5);
    EXPECT_TRUE(IDEAccess::QV_ReadBuffer("dev", 3, 0, 0, buf, 4));
    EXPECT_EQ(fake.sent().size(), 6u);
    EXPECT_TRUE(debug.empty());

    // Never ready: 31 attempts in all, messages processed between them, one debug line.
    fake.clear();
    pumped = 0;
    fake.pushN(testing_support::becomingReady(), 40);
    EXPECT_FALSE(IDEAccess::QV_ReadBuffer("dev", 3, 0, 0, buf, 4));
    EXPECT_EQ(fake.sent().size(), 31u);
    EXPECT_EQ(pumped, 30);
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0], "QV_ReadBuffer.SenseData 12: 70.00.02.00.00.00.00.0A.00.00.00.00.04.01.00.00.00.00\n");

    // Any other failure ends the loop at once.
    fake.clear();
    debug.clear();
    fake.push(testing_support::checkCondition({0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24}));
    EXPECT_FALSE(IDEAccess::QV_WriteBuffer("dev", 14, 0, 0, buf, 4));
    EXPECT_EQ(fake.sent().size(), 1u);
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0].rfind("QV_WriteBuffer.SenseData 12: 70.00.05.", 0), 0u);

    sys::setDebugSink(oldSink);
    sys::setMessagePump(oldPump);
}

// What a read brings back is kept, written back or compared when it is flash, NVRAM, buffer or
// disk contents: such a read that comes back short has failed (two short reads of the NVRAM
// would agree on the zeros after them). Identification replies may be short.
TEST(IDEAccessCommands, ContentReadsMustComeBackWhole) {
    FakeBackend fake;
    transport::ScopedBackend scope(fake);
    uint8_t buf[512] = {};
    const std::pair<const char*, std::function<bool()>> contentReads[] = {
        {"QV_SerialFlashRead", [&] { return IDEAccess::QV_SerialFlashRead("d", 0, buf, 512); }},
        {"QV_GetNVRAM_529", [&] { return IDEAccess::QV_GetNVRAM_529("d", 0, buf, 512); }},
        {"QV_ReadBuffer", [&] { return IDEAccess::QV_ReadBuffer("d", 2, 0, 0, buf, 512); }},
        {"QV_BufferUpload294", [&] { return IDEAccess::QV_BufferUpload294("d", 0, 1, buf); }},
        {"QV_DiskReadDmaExt", [&] { return IDEAccess::QV_DiskReadDmaExt("d", 0, buf, 512, 512); }},
        {"QV_GetDiskIdentify", [&] { return IDEAccess::QV_GetDiskIdentify("d", buf); }},
        {"QV_ReadCapacity16", [&] { return IDEAccess::QV_ReadCapacity16("d", buf); }},
    };
    testing_support::Reply shortReply;
    shortReply.residual = 8;
    for (const auto& [name, read] : contentReads) {
        SCOPED_TRACE(name);
        fake.push(shortReply);
        EXPECT_FALSE(read());
        fake.push({});
        EXPECT_TRUE(read());
    }
    fake.push(shortReply);
    int reported = 0;
    EXPECT_TRUE(IDEAccess::QV_GetChipInfo("d", buf, 16, &reported));
    EXPECT_EQ(reported, 8);
}

TEST(IDEAccessCommands, OddInquiryRefusesShortLengths) {
    FakeBackend fake;
    transport::ScopedBackend scope(fake);
    uint8_t buf[8];
#ifdef NDEBUG
    EXPECT_FALSE(IDEAccess::QV_ODDInquiry("dev", buf, 7));
    EXPECT_TRUE(fake.sent().empty());
#else
    EXPECT_DEATH(IDEAccess::QV_ODDInquiry("dev", buf, 7), "length >= 0x08");
#endif
    EXPECT_TRUE(IDEAccess::QV_ODDInquiry("dev", buf, 8));
}

namespace {

struct OneMacDevice final : maclib::MakerDeviceSource {
    std::vector<maclib::MakerDevice> list() override { return {{0x1234, "mac-dev"}}; }
};

struct MacCase {
    const char* name;
    std::function<bool(uint32_t)> call;
    const char* cdb;
    transport::Direction dir;
    uint32_t xfer;
};

}  // namespace

TEST(QvaccessCommands, TwelveByteCdbsAndDirectionCodes) {
    OneMacDevice source;
    maclib::setMakerDeviceSource(&source);
    uint8_t buf[4096] = {};
    vendor::_VenderCmdPara para;
    using namespace qvaccess;
    using D = transport::Direction;
    const MacCase cases[] = {
        {"read buffer padded to 12", [&](auto d) { return QV_ReadBuffer(d, 3, 0, 0, buf, 4); }, "3c0300000000000004000000", D::In, 4},
        {"write buffer padded to 12", [&](auto d) { return QV_WriteBuffer(d, 14, 0, 0x1000, buf, 4096); }, "3b0e00001000001000000000", D::Out, 4096},
        {"activate", [&](auto d) { return QV_WriteBuffer(d, 15, 0, 0x1000, buf, 4096); }, "3b0f00000000000000000000", D::None, 0},
        {"identify uses A0", [&](auto d) { return QV_GetDiskIdentify(d, buf); }, "a1080b0000000000a0ec0000", D::In, 512},
        {"status is four bytes", [&](auto d) { return QV_SerialFlashStatus(d, buf); }, "ff0412000000000000000000", D::In, 4},
        {"nvram read leaves the top length byte", [&](auto d) { return QV_GetNVRAM_529(d, 0xC000, buf, 256); }, "df10000100000000 00c000fa", D::In, 256},
        {"nvram write", [&](auto d) { return QV_SetNVRAM_529(d, 0, buf, 0, uint8_t{3}); }, "df03000000000000000000fb", D::None, 0},
        {"chip reset", [&](auto d) { return QV_ChipReset256(d); }, "ff0426515600000000000000", D::None, 0},
        {"write enable", [&](auto d) { return QV_SerialFlashWriteEnable(d); }, "ff0420010006000000000000", D::None, 0},
        {"para 16-bit", [&](auto d) { return QV_SerialFlashSetPara256(d, para, true); }, "ff040fc7d802200020000000", D::None, 0},
    };
    for (const MacCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBackend fake;
        transport::ScopedBackend scope(fake);
        EXPECT_TRUE(c.call(0x1234));
        ASSERT_EQ(fake.sent().size(), 1u);
        std::string want = c.cdb;
        std::erase(want, ' ');
        EXPECT_EQ(hex(fake.sent()[0].cdb), want);
        EXPECT_EQ(fake.sent()[0].dir, c.dir);
        EXPECT_EQ(fake.sent()[0].xferLen, c.xfer);
    }
    maclib::setMakerDeviceSource(nullptr);
}

TEST(QvaccessCommands, ChkIdFailsOnlyWhenThePrologueFails) {
    OneMacDevice source;
    maclib::setMakerDeviceSource(&source);
    FakeBackend fake;
    transport::ScopedBackend scope(fake);
    uint8_t id[4];
    fake.push({});
    fake.push(testing_support::checkCondition({0x70, 0, 5}));
    EXPECT_TRUE(qvaccess::QV_FlashTypeChkID(0x1234, 0x9F, id, 4));
    fake.push(testing_support::checkCondition({0x70, 0, 5}));
    EXPECT_FALSE(qvaccess::QV_FlashTypeChkID(0x1234, 0x9F, id, 4));
    EXPECT_EQ(fake.sent().size(), 3u);
    EXPECT_FALSE(qvaccess::QV_GetChipInfo(0x9999, id, 4)) << "unknown device object";
    maclib::setMakerDeviceSource(nullptr);
}
