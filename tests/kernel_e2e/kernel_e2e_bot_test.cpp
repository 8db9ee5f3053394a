// The Bulk-Only Transport target behind the USB gadget: what usb-storage sends and what it must get
// back, checked without a kernel.
#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "sys/clock.h"
#include "kernel_e2e/bot_target.h"

namespace {

using kernel_e2e::BridgeTarget;
using kernel_e2e::Cbw;
using kernel_e2e::CswStatus;

std::vector<uint8_t> cbwBytes(uint32_t tag, uint32_t len, uint8_t flags, uint8_t lun, std::vector<uint8_t> cdb) {
    std::vector<uint8_t> b(31, 0);
    const uint8_t head[] = {'U', 'S', 'B', 'C'};
    std::copy(std::begin(head), std::end(head), b.begin());
    for (int i = 0; i < 4; ++i) {
        b[4 + i] = static_cast<uint8_t>(tag >> (8 * i));
        b[8 + i] = static_cast<uint8_t>(len >> (8 * i));
    }
    b[12] = flags;
    b[13] = lun;
    b[14] = static_cast<uint8_t>(cdb.size());
    std::copy_n(cdb.begin(), std::min<size_t>(cdb.size(), 16), b.begin() + 15);
    return b;
}

Cbw command(std::vector<uint8_t> cdb, uint32_t len, bool in) {
    Cbw c;
    c.dataLength = len;
    c.dataIn = in;
    c.cdbLen = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), c.cdb.begin());
    return c;
}

struct Fixture {
    explicit Fixture(const std::string& text) : scoped(clock) {
        sim::EnclosureConfig config;
        std::string error;
        EXPECT_TRUE(sim::parseEnclosureConfig(text, config, error)) << error;
        enclosure = sim::Enclosure::create(config, error);
        EXPECT_TRUE(enclosure) << error;
        target = std::make_unique<BridgeTarget>(*enclosure);
    }
    kernel_e2e::TargetReply run(std::vector<uint8_t> cdb, std::vector<uint8_t>& data, bool in, uint32_t received = 0) {
        return target->execute(command(std::move(cdb), static_cast<uint32_t>(data.size()), in), data.data(), received);
    }
    sys::VirtualClock clock{1000};
    sys::ScopedClock scoped;
    std::unique_ptr<sim::Enclosure> enclosure;
    std::unique_ptr<BridgeTarget> target;
};

TEST(BulkOnlyWrapper, CommandWrapperIsCheckedBeforeItsBytesAreUsed) {
    const std::vector<uint8_t> inquiry = {0x12, 0, 0, 0, 36, 0};
    Cbw c;
    const auto good = cbwBytes(0xA1B2C3D4, 36, 0x80, 0, inquiry);
    ASSERT_TRUE(kernel_e2e::parseCbw(good.data(), good.size(), c));
    EXPECT_EQ(c.tag, 0xA1B2C3D4u);
    EXPECT_EQ(c.dataLength, 36u);
    EXPECT_TRUE(c.dataIn);
    EXPECT_EQ(c.cdbLen, 6);
    EXPECT_EQ(c.cdb[4], 36);

    struct Case { const char* what; std::vector<uint8_t> bytes; };
    auto badSignature = good;
    badSignature[3] = 'S';
    auto longer = good;
    longer.push_back(0);
    for (const Case& k : std::initializer_list<Case>{
             {"signature", badSignature},
             {"30 bytes", std::vector<uint8_t>(good.begin(), good.end() - 1)},
             {"32 bytes", longer},
             {"no CDB", cbwBytes(1, 0, 0, 0, {})},
             {"CDB of 17 bytes", cbwBytes(1, 0, 0, 0, std::vector<uint8_t>(17, 0))},
             {"reserved flag bits", cbwBytes(1, 0, 0x40, 0, inquiry)},
             {"LUN above 15", cbwBytes(1, 0, 0, 0x10, inquiry)}}) {
        SCOPED_TRACE(k.what);
        EXPECT_FALSE(kernel_e2e::parseCbw(k.bytes.data(), k.bytes.size(), c));
    }
}

TEST(BulkOnlyWrapper, StatusWrapperBytes) {
    const auto csw = kernel_e2e::makeCsw(0x11223344, 0x1000, CswStatus::Failed);
    const std::vector<uint8_t> want = {'U', 'S', 'B', 'S', 0x44, 0x33, 0x22, 0x11, 0x00, 0x10, 0x00, 0x00, 0x01};
    EXPECT_EQ(std::vector<uint8_t>(csw.begin(), csw.end()), want);
}

TEST(BridgeTarget, VendorCommandReachesTheChipWithItsTwelveBytes) {
    Fixture f("qvr298,fw=31.01.01.10");
    std::vector<uint8_t> data(16, 0xEE);
    const auto r = f.run({0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data, true);
    EXPECT_EQ(r.status, CswStatus::Passed);
    EXPECT_EQ(r.moved, 16u);
    EXPECT_EQ(r.residue, 0u);
    EXPECT_EQ(data, f.enclosure->chipInfo());
}

TEST(BridgeTarget, SenseOfAFailureIsHeldForOneRequestSense) {
    Fixture f("qvr298");
    std::vector<uint8_t> data(4, 0xEE), sense(18, 0xEE);
    auto r = f.run({0xC7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data, true);
    EXPECT_EQ(r.status, CswStatus::Failed);
    EXPECT_EQ(r.residue, 4u);   // nothing of the data phase counts

    r = f.run({0x03, 0, 0, 0, 18, 0}, sense, true);
    EXPECT_EQ(r.status, CswStatus::Passed);
    EXPECT_EQ(r.moved, 18u);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], 0x05);    // ILLEGAL REQUEST
    EXPECT_EQ(sense[12], 0x20);   // invalid command operation code

    r = f.run({0x03, 0, 0, 0, 18, 0}, sense, true);
    EXPECT_EQ(sense[2], 0x00) << "the sense is consumed by the first REQUEST SENSE";

    // A good command between the failure and REQUEST SENSE replaces the old sense; a short
    // allocation length is honoured and the rest is residue.
    f.run({0xC7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data, true);
    f.run({0x00, 0, 0, 0, 0, 0}, data, false);
    std::vector<uint8_t> small(18, 0xEE);
    r = f.run({0x03, 0, 0, 0, 8, 0}, small, true);
    EXPECT_EQ(r.moved, 8u);
    EXPECT_EQ(r.residue, 10u);
    EXPECT_EQ(small[2], 0x00);
}

TEST(BridgeTarget, ReadCapacity10FromTheDiskBehindTheBridge) {
    struct Case { const char* sim; uint32_t lastLba; uint32_t blockSize; };
    for (const Case& c : std::initializer_list<Case>{
             {"qvr298", 1953525167u, 512},                       // 1 TB
             {"qvr298,disk=2048,sector=4096", 2047u, 4096},
             {"qvr298,disk=5000000000", 0xFFFFFFFFu, 512}}) {   // past 2 TiB: on to READ CAPACITY(16)
        SCOPED_TRACE(c.sim);
        Fixture f(c.sim);
        std::vector<uint8_t> data(8, 0xEE);
        const auto r = f.run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data, true);
        ASSERT_EQ(r.status, CswStatus::Passed);
        EXPECT_EQ(r.moved, 8u);
        EXPECT_EQ(uint32_t(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3], c.lastLba);
        EXPECT_EQ(uint32_t(data[4]) << 24 | data[5] << 16 | data[6] << 8 | data[7], c.blockSize);
    }
}

TEST(BridgeTarget, Read10AndWrite10ReachTheDisk) {
    // Every byte of the 32-bit LBA and of the 16-bit count counts: 258 sectors at 0x01020304.
    Fixture f("qvr298,disk=33554432");
    std::vector<uint8_t> out(258 * 512);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7 + i / 512);
    auto r = f.run({0x2A, 0, 0x01, 0x02, 0x03, 0x04, 0, 0x01, 0x02, 0}, out, false, static_cast<uint32_t>(out.size()));
    ASSERT_EQ(r.status, CswStatus::Passed);
    EXPECT_EQ(r.residue, 0u);
    std::vector<uint8_t> back(out.size());
    ASSERT_TRUE(f.enclosure->disk().read(0x01020304, 258, back.data()));
    EXPECT_EQ(back, out);

    std::vector<uint8_t> in(out.size(), 0xEE);
    r = f.run({0x28, 0, 0x01, 0x02, 0x03, 0x04, 0, 0x01, 0x02, 0}, in, true);
    ASSERT_EQ(r.status, CswStatus::Passed);
    EXPECT_EQ(in, out);

    // Past the end of the disk: refused, with the disk's sense for usb-storage's REQUEST SENSE.
    in.assign(1024, 0);
    r = f.run({0x28, 0, 0x01, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0}, in, true);
    EXPECT_EQ(r.status, CswStatus::Failed);
    std::vector<uint8_t> sense(18);
    f.run({0x03, 0, 0, 0, 18, 0}, sense, true);
    EXPECT_EQ(sense[2], 0x05);
    EXPECT_EQ(sense[12], 0x21);
}

TEST(BridgeTarget, FaultsShowAsTheHostWouldSeeThem) {
    {
        Fixture f("qvr298,short=1");
        std::vector<uint8_t> data(16);
        const auto r = f.run({0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data, true);
        EXPECT_EQ(r.status, CswStatus::Passed);
        EXPECT_GT(r.residue, 0u) << "a short transfer must reach SG_IO as a residual";
        EXPECT_EQ(r.moved + r.residue, 16u);
    }
    {
        Fixture f("qvr298,powercut=1");
        std::vector<uint8_t> data(16);
        const auto r = f.run({0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data, true);
        EXPECT_EQ(r.status, CswStatus::Failed);
        EXPECT_EQ(r.bus, sim::CommandOutcome::PowerCut);
        EXPECT_EQ(r.residue, 16u);
    }
    {
        Fixture f("qvr298");
        std::vector<uint8_t> none;
        const auto r = f.run({0xFF, 0x04, 0x26, 'Q', 'V', 0, 0, 0, 0, 0, 0, 0}, none, false);
        EXPECT_EQ(r.status, CswStatus::Passed);
        EXPECT_EQ(r.bus, sim::CommandOutcome::Reset) << "the chip reset takes the gadget off the bus";
    }
}

}  // namespace
