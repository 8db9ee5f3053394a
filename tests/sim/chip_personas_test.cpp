// The bridge chip personas: identification, boot from flash (the version an update leaves
// behind), the RAM buffer states of the QVR29x, the product record and the disk behind the bridge.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "image/format/crc.h"
#include "image/format/image_builder.h"
#include "sim/session.h"
#include "support/enclosure_rig.h"
#include "bridge/IDEAccess.h"
#include "bridge/qvaccess.h"

namespace {

using namespace IDEAccess;
using Bytes = std::vector<uint8_t>;

struct Rig : testing_support::EnclosureRig {
    using EnclosureRig::EnclosureRig;
    Bytes descriptor() {
        Bytes b(4, 0);
        EXPECT_TRUE(QV_ReadBuffer(path, 3, 0, 0, b.data(), 4));
        return b;
    }
};

Bytes image298(std::vector<uint8_t> version, bool manufacturing = false) {
    sim::ImageParams p;
    p.version = std::move(version);
    p.manufacturing = manufacturing;
    Bytes image;
    std::string error;
    EXPECT_TRUE(sim::buildImage(p, image, error)) << error;
    return image;
}

TEST(SimChip, Qvr298ChipInfoCarriesTheFirmwareVersionFromFlash) {
    Rig rig("qvr298,fw=31.01.01.10");
    int reported = 0;
    Bytes b(16, 0);
    ASSERT_TRUE(QV_GetChipInfo(rig.path, b.data(), 16, &reported));
    EXPECT_EQ(reported, 16);
    EXPECT_EQ(b[0], 0xF4);
    EXPECT_EQ(b[1], 0xE7);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 11), "298");
    EXPECT_EQ(Bytes(b.begin() + 12, b.end()), (Bytes{0x1F, 0x01, 0x01, 0x0A}));
    EXPECT_EQ(b[6], 1);   // running its firmware from flash
    EXPECT_EQ(rig.descriptor(), (Bytes{12, 0x08, 0x00, 0x00}));
    uint8_t status[20] = {};
    ASSERT_TRUE(QV_GetChipStatus(rig.path, status, 20));
    EXPECT_EQ(status[19], 1);
}

TEST(SimChip, EveryModelIntroducesItselfAsItsRowSays) {
    size_t count = 0;
    const sim::ChipPersona* personas = sim::chipPersonas(&count);
    for (size_t i = 0; i < count; ++i) {
        const sim::ChipPersona& p = personas[i];
        SCOPED_TRACE(p.model);
        Rig rig(p.model);
        Bytes inq(40, 0);
        ASSERT_TRUE(QV_Inquiry(rig.path, inq.data(), 40));
        EXPECT_EQ(std::string(inq.begin() + 8, inq.begin() + 16), "Corvane ");
        EXPECT_EQ(std::string(inq.begin() + 36, inq.end()), p.inquiryCode ? p.inquiryCode : std::string(4, '\0'));
        uint8_t gpio[2] = {};
        ASSERT_TRUE(GetGPIO(rig.path, gpio));
        EXPECT_EQ(gpio[0] | gpio[1] << 8, p.gpio);
        const Bytes info = rig.chipInfo();
        if (p.chipCode) {
            EXPECT_EQ(info[0], 0xF4);
            EXPECT_EQ(std::string(info.begin() + 8, info.begin() + 11), p.chipCode);
            EXPECT_EQ(info[2] << 8 | info[3], p.vid);
            EXPECT_EQ(info[4] << 8 | info[5], p.pid);
        } else {
            EXPECT_NE(info[0], 0xF4);
        }
        uint8_t odd[40] = {};
        EXPECT_EQ(QV_ODDInquiry(rig.path, odd, 40), p.oddString != nullptr);
        if (p.oddString) {
            EXPECT_EQ(std::memcmp(odd, p.oddString, std::strlen(p.oddString)), 0);
        }
        // A well-formed firmware of the family is in flash at the start (GPIO-only chips excepted).
        if (p.versionCount) {
            EXPECT_EQ(rig.enc->bootState(), sim::BootState::Firmware);
        }
    }
}

TEST(SimChip, UpdateWrittenWithDirectCommandsShowsAfterTheReset) {
    Rig rig("qvr298,fw=31.01.01.10");
    const Bytes image = image298({31, 1, 1, 21});
    for (uint32_t a = 0; a < image.size(); a += 8192) {
        const uint8_t mode = a == 0 ? 3 : 0;   // chip erase in front of the first write
        ASSERT_TRUE(QV_SetNVRAM_529(rig.path, a, image.data() + a, 8192, mode));
        rig.session.clock().advanceMs(10000);   // the flash is done before the next command
    }
    // Nothing changes until the chip restarts.
    EXPECT_EQ(rig.chipInfo()[15], 10);
    rig.resetAndWait();
    const Bytes info = rig.chipInfo();
    EXPECT_EQ(Bytes(info.begin() + 12, info.end()), (Bytes{31, 1, 1, 21}));
    EXPECT_EQ(rig.enc->resetCount(), 1);
}

TEST(SimChip, BootFallsBackToTheOtherBankOrTheRomCode) {
    struct Case { const char* name; std::function<void(Bytes&)> damage; sim::BootState state; uint8_t byte6; };
    for (const Case& c : {
             Case{"bank 0 cut short", [](Bytes& f) { std::fill(f.begin() + 0x10000, f.begin() + 0x20000, 0xFF); },
                  sim::BootState::Firmware, 1},
             Case{"both banks cut short", [](Bytes& f) { std::fill(f.begin() + 0x10000, f.begin() + 0x40000, 0xFF); },
                  sim::BootState::RomCode, 2},
             Case{"bank CRC wrong", [](Bytes& f) { f[0x100] ^= 1; f[0x20100] ^= 1; }, sim::BootState::RomCode, 2},
             Case{"erased", [](Bytes& f) { std::fill(f.begin(), f.end(), 0xFF); }, sim::BootState::RomCode, 2},
         }) {
        SCOPED_TRACE(c.name);
        Rig rig("qvr298");
        c.damage(rig.enc->flash());
        rig.resetAndWait();
        EXPECT_EQ(rig.enc->bootState(), c.state);
        const Bytes info = rig.chipInfo();
        EXPECT_EQ(info[6], c.byte6);
        if (c.state == sim::BootState::RomCode) {
            EXPECT_EQ(std::string(info.begin() + 12, info.end()), "0000");
            EXPECT_EQ(rig.descriptor(), (Bytes{0xFF, 0x01, 0x00, 0x00}));
            uint8_t status[20] = {};
            ASSERT_TRUE(QV_GetChipStatus(rig.path, status, 20));
            EXPECT_EQ(status[19], 0);
        }
    }
}

TEST(SimChip, RomLoaderRunsADownloadedManufacturingImageUntilReset) {
    Rig rig("qvr298");
    std::fill(rig.enc->flash().begin(), rig.enc->flash().end(), 0xFF);
    rig.resetAndWait();
    Bytes mfg = image298({0, 1, 0, 7}, true);
    mfg.resize(0x10000);
    // The program command is refused while only the ROM loader runs.
    EXPECT_FALSE(QV_WriteBuffer(rig.path, 14, 0, 0, mfg.data(), 4096));
    ASSERT_TRUE(QV_WriteBuffer(rig.path, 6, 0, 0, mfg.data(), 0x10000));
    EXPECT_EQ(rig.enc->bootState(), sim::BootState::ManufacturingRam);
    const Bytes info = rig.chipInfo();
    EXPECT_EQ(info[6], 2);
    EXPECT_EQ(info[7], 0);
    EXPECT_EQ(std::string(info.begin() + 8, info.begin() + 11), "298");
    EXPECT_EQ(std::string(info.begin() + 12, info.end()), "0107");
    EXPECT_EQ(rig.descriptor()[0], 12);
    rig.resetAndWait();
    EXPECT_EQ(rig.enc->bootState(), sim::BootState::RomCode);
}

TEST(SimChip, BufferProgrammingLandsExactlyOverOldFirmware) {
    Rig rig("qvr298,fw=31.01.01.10");
    const Bytes image = image298({31, 1, 1, 15});
    const uint64_t t0 = sys::nowMs();
    for (uint32_t a = 0; a < image.size(); a += 4096)
        ASSERT_TRUE(QV_WriteBuffer(rig.path, 14, 0, a, image.data() + a, 4096));
    // The chip held each command until its flash was done: time passed, the flash is idle.
    EXPECT_GE(sys::nowMs() - t0, 64u * 150);
    uint8_t status = 0xFF;
    ASSERT_TRUE(QV_SerialFlashStatus(rig.path, &status));
    EXPECT_EQ(status & 1, 0);
    Bytes back(image.size());
    for (uint32_t a = 0; a < back.size(); a += 4096)
        ASSERT_TRUE(QV_ReadBuffer(rig.path, 1, 0, a, back.data() + a, 4096));
    EXPECT_EQ(back, image);
    // A misaligned offset or one past the capacity is refused.
    EXPECT_FALSE(QV_WriteBuffer(rig.path, 14, 0, 0x800, image.data(), 4096));
    EXPECT_FALSE(QV_ReadBuffer(rig.path, 1, 0, 0x80000, back.data(), 4096));
    ASSERT_TRUE(QV_WriteBuffer(rig.path, 15, 0, 0, nullptr, 0));   // activate
    rig.session.clock().advanceMs(3000);
    rig.path = rig.session.bus().deviceOf(0).windowsPath;
    EXPECT_EQ(rig.chipInfo()[15], 15);
}

TEST(SimChip, ManufacturingImageInFlashRunsAsCodeState3) {
    Rig rig("qvr298");
    const Bytes mfg = image298({3, 0, 0, 1}, true);
    std::copy(mfg.begin(), mfg.end(), rig.enc->flash().begin());
    rig.resetAndWait();
    const Bytes info = rig.chipInfo();
    EXPECT_EQ(info[6], 3);
    EXPECT_EQ(std::string(info.begin() + 12, info.end()), "3001");
    EXPECT_EQ(rig.descriptor()[0], 12);
}

TEST(SimChip, ProductRecordLandsInTheProductArea) {
    Rig rig("qvr298");
    Bytes record(72, 0);
    record[0] = 0x41;
    EXPECT_FALSE(QV_WriteProductInfo(rig.path, 0x728D, 0x2980, record.data()));
    record[0] = 0x42;
    std::memcpy(record.data() + 52, "SN0123456789        ", 20);
    ASSERT_TRUE(QV_WriteProductInfo(rig.path, 0x728D, 0x2980, record.data()));
    Bytes area(4096);
    ASSERT_TRUE(QV_ReadBuffer(rig.path, 1, 0, 0x44000, area.data(), 4096));
    EXPECT_EQ(Bytes(area.begin(), area.begin() + 72), record);
    EXPECT_EQ(area[72], 0xFF);
}

TEST(SimChip, SingleBankChipsBootFromTheirCrcCheckedRegion) {
    struct Case { const char* model; uint32_t end; };
    for (Case c : {Case{"qvr256,fw=2.3.9", 0xC000}, Case{"qvr253,fw=2.3.9", 0x8000}}) {
        SCOPED_TRACE(c.model);
        Rig rig(c.model);
        Bytes info = rig.chipInfo();
        EXPECT_EQ(Bytes(info.begin() + 12, info.begin() + 15), (Bytes{2, 3, 9}));
        uint8_t reg[4] = {};
        ASSERT_TRUE(GetRegister(rig.path, 0x70F0, reg, 4));
        EXPECT_EQ(reg[3] & 1, 1);
        // The kept NVRAM follows the code region, in both copies.
        EXPECT_EQ(rig.enc->nvram()[126], 'Q');
        uint8_t sig[4] = {};
        ASSERT_TRUE(QV_GetNVRAM_529(rig.path, c.end - 16, sig, 4));
        EXPECT_EQ(Bytes(sig, sig + 4), (Bytes{0x55, 0xAA, 0xAA, 0x55}));
        // Both copies damaged: internal code, flag down.
        rig.enc->flash()[0x100] ^= 0xFF;
        rig.enc->flash()[0x10100] ^= 0xFF;
        rig.resetAndWait();
        EXPECT_EQ(rig.enc->bootState(), sim::BootState::RomCode);
        ASSERT_TRUE(GetRegister(rig.path, 0x70F0, reg, 4));
        EXPECT_EQ(reg[3] & 1, 0);
    }
}

TEST(SimChip, DiskBehindTheBridge) {
    struct Case { const char* text; uint64_t sectors; uint32_t sectorSize; };
    for (Case c : {Case{"qvr298", 1953525168, 512}, Case{"qvr298,disk=100000,sector=4096", 100000, 4096},
                   Case{"qvr298,disk=4000000000", 4000000000ull, 512}}) {
        SCOPED_TRACE(c.text);
        Rig rig(c.text);
        uint8_t id[512] = {};
        ASSERT_TRUE(QV_GetDiskIdentify(rig.path, id));
        const auto word = [&](int w) { return uint32_t(id[2 * w] | id[2 * w + 1] << 8); };
        EXPECT_EQ(word(60) | word(61) << 16, std::min<uint64_t>(c.sectors, 0x0FFFFFFF));
        EXPECT_EQ(uint64_t(word(100)) | uint64_t(word(101)) << 16 | uint64_t(word(102)) << 32, c.sectors);
        EXPECT_EQ(c.sectorSize > 512 ? 2 * (word(117) | word(118) << 16) : 512u, c.sectorSize);
        uint8_t cap[16] = {};
        ASSERT_TRUE(QV_ReadCapacity16(rig.path, cap));
        uint64_t last = 0;
        for (int i = 0; i < 8; ++i) last = last << 8 | cap[i];
        EXPECT_EQ(last, c.sectors - 1);

        const int n = static_cast<int>(2 * c.sectorSize);
        Bytes data(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) data[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7);
        const uint64_t lba = c.sectors - 2;
        ASSERT_TRUE(QV_DiskWriteDmaExt(rig.path, lba, data.data(), n, static_cast<int>(c.sectorSize)));
        Bytes back(static_cast<size_t>(n));
        ASSERT_TRUE(QV_DiskReadDmaExt(rig.path, lba, back.data(), n, static_cast<int>(c.sectorSize)));
        EXPECT_EQ(back, data);
        EXPECT_FALSE(QV_DiskReadDmaExt(rig.path, lba + 1, back.data(), n, static_cast<int>(c.sectorSize)));
        ASSERT_TRUE(QV_DiskReadDmaExt(rig.path, 5, back.data(), n, static_cast<int>(c.sectorSize)));
        EXPECT_EQ(back, Bytes(static_cast<size_t>(n), 0));
    }
}

TEST(SimChip, Qvr294ChipBufferCarriesPiecesToAndFromFlash) {
    Rig rig("qvr294");
    Bytes piece(512);
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<uint8_t>(i ^ 0x5A);
    ASSERT_TRUE(QV_FlashErase294(rig.path, 0, 0, 3));
    rig.session.clock().advanceMs(5000);
    ASSERT_TRUE(QV_BufferDownload294(rig.path, 100, 1, piece.data()));
    ASSERT_TRUE(QV_FlashProgram294(rig.path, 100, 0x1000, 256, 51200));
    rig.session.clock().advanceMs(20);   // as the procedure waits between the two halves
    ASSERT_TRUE(QV_FlashProgram294(rig.path, 100, 0x1100, 256, 51456));
    rig.session.clock().advanceMs(20);
    Bytes up(512, 0);
    ASSERT_TRUE(QV_FlashLoad294(rig.path, 100, 0x1000, 512, 51200));
    ASSERT_TRUE(QV_BufferUpload294(rig.path, 100, 1, up.data()));
    EXPECT_EQ(up, piece);
    EXPECT_FALSE(QV_FlashProgram294(rig.path, 100, 0x1000, 512, 0xFF00));   // past the chip buffer
}

TEST(SimChip, MacWrappersReachTheSameChip) {
    Rig rig("qvr298,fw=31.01.01.10");
    uint64_t slots[256] = {};
    int count = 0;
    ASSERT_EQ(getDeviceList(slots, &count), 0);
    ASSERT_EQ(count, 1);
    const uint32_t dev = static_cast<uint32_t>(slots[0]);
    ASSERT_EQ(openConnection(dev), 0);
    uint8_t info[16] = {};
    ASSERT_TRUE(qvaccess::QV_GetChipInfo(dev, info, 16));
    EXPECT_EQ(info[12], 0x1F);
    EXPECT_TRUE(qvaccess::QV_Is256ExternalCode(dev));
    ASSERT_EQ(qvWarmBoot(dev), 0);
    EXPECT_TRUE(rig.session.bus().devices().empty());
    closeConnection(dev);
}

}  // namespace
