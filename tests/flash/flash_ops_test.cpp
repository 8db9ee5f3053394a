// The flash waits, the write enable and the SPI cycles counted command by command on a scripted
// flash, and the RAM buffer transfers against descriptors the emulator does not produce.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sys/bytes.h"
#include "support/scripted_device.h"
#include "sys/clock.h"
#include "transport/cdb.h"
#include "transport/maclib/qvlib.h"
#include "flash/flash_buffer_ops.h"
#include "flash/flash_ops.h"

using namespace testing_support;

namespace {

constexpr const char* kPath = "\\\\?\\usbstor#disk&ven_corvane";
constexpr uint32_t kDev = 0x77;
constexpr const char* kStatusRead = "ff0412000000000000000000";
constexpr const char* kWriteEnable = "ff0420010006000000000000";
constexpr const char* kStatusWrite = "ff0420020001000000000000:0100";

struct OneMacDevice final : maclib::MakerDeviceSource {
    std::vector<maclib::MakerDevice> list() override { return {{kDev, "mac-dev"}}; }
};

// A flash whose status is scripted by read number; records each command (CDB, and ":" with the
// data it sends) and the clock time of each status read.
struct ScriptedFlash final : transport::Backend {
    std::function<uint8_t(int)> status = [](int) { return uint8_t{0}; };
    std::string refused;
    std::vector<std::string> wire;
    std::vector<uint64_t> statusTimes;

    transport::Result execute(const transport::Request& req) override {
        std::string cmd = sys::toHex(req.cdb, req.cdbLen);
        if (req.dir == transport::Direction::Out && req.data) cmd.append(":").append(sys::toHex(req.data, req.xferLen));
        wire.push_back(cmd);
        transport::Result r;
        r.opened = r.platformOk = true;
        r.reported = req.xferLen;
        if (!refused.empty() && cmd.rfind(refused, 0) == 0) r.scsiStatus = 2;
        if (cmd == kStatusRead && req.data) {
            req.data[0] = status(static_cast<int>(statusTimes.size()));
            statusTimes.push_back(sys::nowMs());
        }
        return r;
    }
};

class FlashOps : public ::testing::Test {
protected:
    void SetUp() override { maclib::setMakerDeviceSource(&source_); }
    void TearDown() override { maclib::setMakerDeviceSource(nullptr); }
    sys::VirtualClock clock_{0};
    sys::ScopedClock scopedClock_{clock_};
    OneMacDevice source_;
};

}  // namespace

// The condition appears at status read `at` (0 = the first read): found up to the last allowed
// re-read, missed one later; re-reads fall on each program's interval and order.
TEST_F(FlashOps, WaitsCountReReadsAndKeepTheirIntervalAndOrder) {
    struct Case {
        const char* name;
        std::function<bool()> wait;
        uint8_t pending, satisfied;
        unsigned rereads, intervalMs;
        bool readThenWait;
    };
    const Case cases[] = {
        {"windows ready", [] { return IDEAccess::WaitFlashReady(kPath); }, 0x03, 0x02, 500, 10, false},
        {"mac ready", [] { return qvaccess::fn_WAIT_DEVICE_READY(kDev); }, 0x03, 0x02, 500, 10, true},
        {"windows latch", [] { return IDEAccess::WaitFlashWriteEnabled(kPath); }, 0x01, 0x03, 300, 10, false},
        {"mac latch", [] { return qvaccess::fn_WAIT_DEVICE_READY_ATM(kDev, 2); }, 0x01, 0x03, 300, 1, false},
        {"windows status clear", [] { return IDEAccess::WaitFlashStatusClear(kPath); }, 0x04, 0x01, 300, 10, false},
        {"mac status clear", [] { return qvaccess::fn_CHECK_DEVICE_ZERO_AMC(kDev); }, 0x04, 0x01, 300, 10, false},
    };
    for (const Case& c : cases) {
        for (unsigned at : {0u, 1u, c.rereads, c.rereads + 1}) {
            SCOPED_TRACE(std::string(c.name) + ", satisfied at read " + std::to_string(at));
            ScriptedFlash flash;
            flash.status = [&](int i) { return static_cast<unsigned>(i) >= at ? c.satisfied : c.pending; };
            transport::ScopedBackend scope(flash);
            const uint64_t start = sys::nowMs();
            EXPECT_EQ(c.wait(), at <= c.rereads);
            std::vector<uint64_t> expected{start};
            for (unsigned k = 1; k <= std::min(at, c.rereads); ++k)
                expected.push_back(start + (c.readThenWait ? k - 1 : k) * c.intervalMs);
            EXPECT_EQ(flash.statusTimes, expected);
            EXPECT_EQ(flash.wire.size(), expected.size()) << "nothing but status reads";
            if (at > c.rereads) {
                EXPECT_EQ(sys::nowMs() - start, c.rereads * c.intervalMs) << "ends at the limit";
            }
        }
    }
}

TEST_F(FlashOps, WriteEnableRunsAllFourStepsWhateverFails) {
    struct Case { const char* name; std::string refused; uint8_t latch; uint8_t afterWrite; bool result; int latchReads, clearReads; };
    const Case cases[] = {
        {"every step succeeds", "", 0x02, 0x00, true, 1, 1},
        {"write enable refused", kWriteEnable, 0x02, 0x00, false, 1, 1},
        {"latch never appears", "", 0x00, 0x00, false, 301, 1},
        {"status write refused", "ff04200200", 0x02, 0x00, false, 1, 1},
        {"protection never clears", "", 0x06, 0x06, false, 1, 301},
    };
    struct Program { const char* name; std::function<bool()> call; };
    for (const Program& p : {Program{"windows", [] { return IDEAccess::QV_SFWriteEnable(kPath); }},
                             Program{"mac", [] { return qvaccess::QV_SFWriteEnable(kDev); }}}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(p.name) + ": " + c.name);
            ScriptedFlash flash;
            flash.refused = c.refused;
            flash.status = [&](int i) { return i < c.latchReads ? c.latch : c.afterWrite; };
            transport::ScopedBackend scope(flash);
            EXPECT_EQ(p.call(), c.result);
            // macOS reads four status bytes: compare the command bytes only.
            std::vector<std::string> expected{kWriteEnable};
            expected.insert(expected.end(), c.latchReads, kStatusRead);
            expected.push_back(kStatusWrite);
            expected.insert(expected.end(), c.clearReads, kStatusRead);
            std::vector<std::string> got;
            for (const auto& w : flash.wire) got.push_back(w.rfind(kStatusRead, 0) == 0 ? kStatusRead : w);
            EXPECT_EQ(got, expected);
        }
    }
}

// One page of each method, byte for byte, with the pacing between the cycles.
TEST_F(FlashOps, SpiProgrammingSendsEachMethodsCycles) {
    const auto hex = [](std::vector<uint8_t> v) { return sys::toHex(v.data(), v.size()); };
    const auto cycle = [](std::string spi, bool continues) {
        const std::string c = "ff04200" + std::to_string(spi.size() / 2) + (continues ? "01" : "00") + spi;
        return c + std::string(24 - c.size(), '0');
    };
    const auto dataPhase = [&](std::vector<uint8_t> d) {
        return "ff042200000000" + hex({uint8_t(d.size() >> 8), uint8_t(d.size())}) + "000000:" + hex(d);
    };
    const std::vector<std::string> unlock{cycle("50", false), cycle("01", true), dataPhase({0, 0}), cycle("06", false)};
    std::vector<uint8_t> d(512 + 255);
    for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(0xC3 ^ (i * 29));

    std::vector<std::string> page{kStatusRead, cycle("06", false), cycle("02012300", true),
                                  dataPhase(std::vector<uint8_t>(d.begin(), d.begin() + 256))};
    std::vector<std::string> words{kStatusRead}, bytes{kStatusRead};
    words.insert(words.end(), unlock.begin(), unlock.end());
    words.insert(words.end(), {cycle("ad004000", true), dataPhase({d[0], d[1]})});
    for (size_t i = 2; i < 512; i += 2) words.push_back(cycle("ad" + hex({d[i], d[i + 1]}), false));
    words.push_back(cycle("04", false));
    bytes.insert(bytes.end(), unlock.begin(), unlock.end());
    bytes.insert(bytes.end(), {cycle("af000200", true), dataPhase({d[0], 0x00})});
    for (size_t i = 1; i < 512; ++i) bytes.push_back(cycle("af" + hex({d[i]}), false));
    bytes.push_back(cycle("04", false));

    struct Case { const char* name; vendor::FlashType type; bool sst25; uint32_t address; size_t length; const std::vector<std::string>& wire; };
    for (const Case& c : {Case{"page, partial page left", vendor::kFlashWinbond, false, 0x012300, 256 + 255, page},
                          Case{"SST25 words", vendor::kFlashSst, true, 0x004000, 512, words},
                          Case{"SST bytes", vendor::kFlashSst, false, 0x000200, 512, bytes}}) {
        SCOPED_TRACE(c.name);
        ScriptedFlash flash;
        transport::ScopedBackend scope(flash);
        const uint64_t start = sys::nowMs();
        EXPECT_TRUE(IDEAccess::ProgramFlashBySpi(kPath, c.address, d.data(), c.length, c.type, c.sst25));
        EXPECT_EQ(flash.wire, c.wire);
        EXPECT_EQ(sys::nowMs() - start, 30u) << "two 10 ms pauses in the page, one after the chunk";
    }
}

namespace {

constexpr const char* kDescriptor = "3c03 00 000000 000004";
constexpr const char* kChipInfo = "e0f4e7";
constexpr const char* kProgram = "3b0e00";
constexpr const char* kRead = "3c01";
constexpr const char* kMfgErase = "df03000000000000000000fb";

std::vector<uint8_t> chipInfo(uint8_t codeState) {
    std::vector<uint8_t> r{0xF4, 0xE7, 0, 0, 0, 0, codeState, 0, '2', '9', '8', '4', 0, 0, 0, 0};
    return r;
}

// Offset and length of every buffer command with the prefix, in order.
std::vector<std::pair<uint32_t, uint32_t>> transfers(const ScriptedDevice& d, std::string_view prefix) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    const auto be24 = [](const std::vector<uint8_t>& c, size_t i) { return uint32_t(c[i]) << 16 | uint32_t(c[i + 1]) << 8 | c[i + 2]; };
    for (const Sent& s : d.log())
        if (hasPrefix(s.cdb, fromHex(prefix))) out.emplace_back(be24(s.cdb, 3), be24(s.cdb, 6));
    return out;
}

std::vector<std::pair<uint32_t, uint32_t>> unitsOf(uint32_t offset, uint32_t total) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (uint32_t at = 0; at < total; at += 4096) out.emplace_back(offset + at, std::min(4096u, total - at));
    return out;
}

}  // namespace

// The capacity, rounded up to 512, sets what is written and read, in 4 KiB units with a shorter
// last one; the image buffer is never read past its length, the caller's buffer never written
// past the length asked for.
TEST_F(FlashOps, BufferTransfersFollowTheDescriptorCapacity) {
    struct Case { std::vector<uint8_t> descriptor; uint32_t capacity, rounded; };
    for (const Case& c : {Case{{12, 0x01, 0x00, 0x00}, 65536, 65536}, Case{{12, 0x00, 0x40, 0x00}, 16384, 16384},
                          Case{{12, 0x00, 0x12, 0x34}, 0x1234, 0x1400}, Case{{12, 0x00, 0x00, 0x01}, 1, 512}}) {
        SCOPED_TRACE(c.capacity);
        std::vector<Answer> pieces;
        for (uint8_t i = 0; i < 16; ++i) pieces.push_back(ok(std::vector<uint8_t>(4096, uint8_t(0xA0 + i))));
        ScriptedDevice d;
        d.on(kDescriptor, c.descriptor).on(kChipInfo, chipInfo(1)).on(kProgram, std::vector<uint8_t>{}).on(kRead, pieces);
        transport::ScopedBackend scope(d);

        std::vector<uint8_t> image(3000);
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
        EXPECT_TRUE(qvaccess::fn_WriteBuffer298(kDev, 0x2000, image.data(), image.size(), false));
        EXPECT_EQ(transfers(d, kProgram), unitsOf(0x2000, c.rounded));
        std::vector<uint8_t> sent, expected(c.rounded, 0x00);   // zeros past the image
        for (const auto& piece : d.dataSent(kProgram)) sent.insert(sent.end(), piece.begin(), piece.end());
        std::copy_n(image.begin(), std::min<size_t>(image.size(), c.rounded), expected.begin());
        EXPECT_EQ(sent, expected);

        constexpr size_t kAsked = 0x1800;
        std::vector<uint8_t> out(kAsked + 64, 0xEE);
        EXPECT_TRUE(qvaccess::fn_ReadBuffer298(kDev, 0, out.data(), kAsked, 3));
        EXPECT_EQ(transfers(d, kRead), unitsOf(0, c.capacity));
        for (size_t i = 0; i < out.size(); ++i) {
            const uint8_t want = i >= kAsked ? 0xEE : i < c.capacity ? uint8_t(0xA0 + i / 4096) : 0x00;
            ASSERT_EQ(out[i], want) << "byte " << i;
        }
    }
}

TEST_F(FlashOps, BufferWriteRefusalsSendNothingToProgram) {
    struct Case { const char* name; std::vector<uint8_t> descriptor; bool alternate; uint32_t offset; };
    for (const Case& c : {Case{"alternate, ROM loader descriptor", {0xFF, 0x01, 0x00, 0x00}, true, 0},
                          Case{"alternate, 4 KiB descriptor", {12, 0x08, 0x00, 0x00}, true, 0},
                          Case{"boundary other than 12", {13, 0x01, 0x00, 0x00}, false, 0},
                          Case{"capacity 0", {12, 0, 0, 0}, false, 0},
                          Case{"past the 24-bit offsets", {12, 0x01, 0x00, 0x00}, false, 0xFF8000}}) {
        SCOPED_TRACE(c.name);
        ScriptedDevice d;
        d.on(kDescriptor, c.descriptor).on(kChipInfo, chipInfo(2)).on(kMfgErase, std::vector<uint8_t>{})
            .on(kProgram, std::vector<uint8_t>{});
        transport::ScopedBackend scope(d);
        std::vector<uint8_t> image(0x10000, 0x22);
        EXPECT_FALSE(qvaccess::fn_WriteBuffer298(kDev, c.offset, image.data(), image.size(), c.alternate));
        EXPECT_EQ(d.count(kProgram), 0);
        if (c.alternate) {
            EXPECT_EQ(d.log().size(), 1u) << "only the descriptor";
        }
    }
}

TEST_F(FlashOps, BufferTransfersOnManufacturingCodeAndAfterAFailedRead) {
    ScriptedDevice d;
    d.on(kDescriptor, {12, 0x08, 0x00, 0x00}).on(kChipInfo, chipInfo(2)).on(kMfgErase, std::vector<uint8_t>{})
        .on(kProgram, std::vector<uint8_t>{}).on(kRead, std::vector<uint8_t>(4096, 0x5A));
    transport::ScopedBackend scope(d);
    std::vector<uint8_t> image(0x80000, 0x11);
    ASSERT_TRUE(qvaccess::fn_WriteBuffer298(kDev, 0, image.data(), image.size(), false));
    const auto cdbs = d.cdbs();
    const auto firstOf = [&](std::string_view p) {
        return std::find_if(cdbs.begin(), cdbs.end(), [&](const std::string& c) { return c.rfind(p, 0) == 0; });
    };
    EXPECT_LT(firstOf(kMfgErase), firstOf(kProgram)) << "erased before the image goes out";
    EXPECT_EQ(d.count(kProgram), 128);
    d.clearLog();
    std::vector<uint8_t> out(0x20000);
    ASSERT_TRUE(qvaccess::fn_ReadBuffer298(kDev, 0, out.data(), out.size(), 0));
    EXPECT_EQ(transfers(d, kRead), unitsOf(0, 0x40000));

    // A failed read ends the reads; what was read is still handed out.
    ScriptedDevice failing;
    failing.on(kDescriptor, {12, 0x01, 0x00, 0x00}).on(kRead, {ok(std::vector<uint8_t>(4096, 0xA1)), refused()});
    transport::ScopedBackend scope2(failing);
    std::vector<uint8_t> partial(0x3000, 0xEE), expected(0x3000, 0x00);
    std::fill_n(expected.begin(), 4096, 0xA1);
    EXPECT_FALSE(qvaccess::fn_ReadBuffer298(kDev, 0, partial.data(), partial.size(), 0));
    EXPECT_EQ(failing.count(kRead), 2);
    EXPECT_EQ(partial, expected);
}
