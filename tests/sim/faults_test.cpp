// Faults the enclosure shows on request, and the --sim text that asks for them.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "sim/session.h"
#include "support/enclosure_rig.h"
#include "transport/scsi.h"
#include "bridge/IDEAccess.h"
#include "sys/clock.h"

namespace {

using namespace IDEAccess;
using Bytes = std::vector<uint8_t>;

struct Rig : testing_support::EnclosureRig {
    using EnclosureRig::EnclosureRig;
    bool gpio() {
        uint8_t b[2] = {};
        return GetGPIO(path, b);
    }
    // Whether the chip information command succeeded (the faults decide).
    bool chipInfo() {
        uint8_t b[16] = {};
        return QV_GetChipInfo(path, b, 16);
    }
};

TEST(SimFaults, FailingCommandsByCountOpcodeAndPeriod) {
    // Commands alternate GetGPIO (DF) and chip info (E0); the pattern lists which of 8 fail.
    struct Case { const char* text; const char* pattern; };
    for (Case c : {Case{"qvr298,fail=3", "..x....."}, Case{"qvr298,failevery=3", "..x..x.."},
                   Case{"qvr298,fail=2,failop=e0", "...x...."}, Case{"qvr298,failevery=2,failop=df", "..x...x."}}) {
        SCOPED_TRACE(c.text);
        Rig rig(c.text);
        std::string got;
        for (int i = 0; i < 8; ++i) got += ((i % 2 == 0) ? rig.gpio() : rig.chipInfo()) ? '.' : 'x';
        EXPECT_EQ(got, c.pattern);
    }
}

TEST(SimFaults, FailedCommandReportsCheckConditionWithSense) {
    Rig rig("qvr298,fail=1");
    uint8_t buf[4] = {};
    uint8_t sense[18] = {};
    int got = 0;
    EXPECT_FALSE(transport::ScsiDataInSense(rig.path, vendor::cdb::readBuffer(3, 0, 0, 4, 10), buf, 4, &got, sense, 18));
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], 0x0B);
}

TEST(SimFaults, NotReadyAnswersTheBufferCommandsForKTries) {
    struct Case { uint32_t k; bool ok; };
    for (Case c : {Case{3, true}, Case{30, true}, Case{31, false}}) {
        SCOPED_TRACE(c.k);
        Rig rig("qvr298,notready=" + std::to_string(c.k));
        EXPECT_TRUE(rig.chipInfo());   // other commands are not affected
        uint8_t d[4] = {};
        EXPECT_EQ(QV_ReadBuffer(rig.path, 3, 0, 0, d, 4), c.ok);
        if (c.ok) {
            EXPECT_EQ(d[0], 12);
        }
    }
    Rig rig("qvr298,notready=1");
    uint8_t d[4] = {}, sense[18] = {};
    int got = 0;
    EXPECT_FALSE(transport::ScsiDataInSense(rig.path, vendor::cdb::readBuffer(3, 0, 0, 4, 10), d, 4, &got, sense, 18));
    EXPECT_EQ(Bytes(sense, sense + 18),
              (Bytes{0x70, 0, 0x02, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x04, 0x01, 0, 0, 0, 0}));
}

TEST(SimFaults, StuckBusyNeverClears) {
    Rig rig("qvr298,stuckbusy=1");
    uint8_t s = 0;
    ASSERT_TRUE(QV_SerialFlashStatus(rig.path, &s));
    EXPECT_EQ(s & 1, 1);
    rig.session.clock().advanceMs(3600 * 1000);
    ASSERT_TRUE(QV_SerialFlashStatus(rig.path, &s));
    EXPECT_EQ(s & 1, 1);
    const uint8_t data[2] = {0, 0};
    EXPECT_FALSE(QV_SerialFlashWrite(rig.path, 0x60000, data, 2));
}

// A short transfer is a residual: a short reply to an identification command, a failed read of
// flash contents.
TEST(SimFaults, ShortTransferIsReportedAsAResidual) {
    Rig rig("qvr298,short=2");
    uint8_t buf[64] = {};
    int reported = -1;
    EXPECT_TRUE(QV_GetChipInfo(rig.path, buf, 16, &reported));
    EXPECT_EQ(reported, 16);
    EXPECT_TRUE(QV_GetChipInfo(rig.path, buf, 16, &reported));
    EXPECT_LT(reported, 16);
    EXPECT_EQ(buf[15], 0);
    EXPECT_TRUE(QV_GetChipInfo(rig.path, buf, 16, &reported));
    EXPECT_EQ(reported, 16);

    Rig flash("qvr298,short=1");
    EXPECT_FALSE(QV_SerialFlashRead(flash.path, 0, buf, 64));
    EXPECT_TRUE(QV_SerialFlashRead(flash.path, 0, buf, 64));
}

TEST(SimFaults, FlipChangesOneBitInEveryNthRead) {
    Rig rig("qvr298,flip=2,seed=9");
    Bytes a(4096), b(4096), c(4096);
    ASSERT_TRUE(QV_SerialFlashRead(rig.path, 0, a.data(), 4096));
    ASSERT_TRUE(QV_SerialFlashRead(rig.path, 0, b.data(), 4096));
    ASSERT_TRUE(QV_SerialFlashRead(rig.path, 0, c.data(), 4096));
    EXPECT_EQ(a, c);
    int bits = 0;
    for (size_t i = 0; i < a.size(); ++i) bits += __builtin_popcount(a[i] ^ b[i]);
    EXPECT_EQ(bits, 1);
}

TEST(SimFaults, DropLeavesTheBusForGood) {
    Rig rig("qvr298,drop=2");
    EXPECT_TRUE(rig.gpio());
    EXPECT_FALSE(rig.gpio());
    rig.session.clock().advanceMs(600000);
    EXPECT_TRUE(rig.session.bus().devices().empty());
    EXPECT_FALSE(rig.gpio());
}

TEST(SimFaults, FaultsCanBeSetThroughTheApi) {
    Rig rig("qvr298");
    rig.session.bus().enclosure(0).faults().failAt(2);
    EXPECT_TRUE(rig.gpio());
    EXPECT_FALSE(rig.gpio());
    EXPECT_TRUE(rig.gpio());
}

// Failures that leave something behind: a register write that ran with its status lost, one that
// never answered (the host waits out its 50 s).
TEST(SimFaults, FailuresWithSideEffects) {
    struct Case { const char* text; bool ok, written; uint64_t tookS; };
    for (Case c : {Case{"qvr298", true, true, 0}, Case{"qvr298,lost=1", false, true, 0}, Case{"qvr298,hang=1", false, false, 50}}) {
        Rig rig(c.text);
        const uint8_t v[2] = {0x5A, 0x01};
        const uint64_t t0 = sys::nowMs();
        EXPECT_EQ(SetRegister(rig.path, 0x4000, v, 2), c.ok) << c.text;
        EXPECT_EQ((sys::nowMs() - t0) / 1000, c.tookS) << c.text;
        uint8_t back[2] = {};
        EXPECT_TRUE(GetRegister(rig.path, 0x4000, back, 2) && (back[0] == 0x5A) == c.written) << c.text;
    }
}

// NOT READY lasts a span of time after power-on and after every reset, however often it is tried.
TEST(SimFaults, NotReadyLastsASpanOfTimeAfterEachBoot) {
    Rig rig("qvr298,notreadyms=1500,resetms=2000");
    uint8_t d[4] = {};
    for (int boot = 0; boot < 2; ++boot) {
        EXPECT_FALSE(QV_ReadBuffer(rig.path, 3, 0, 0, d, 4));
        rig.session.clock().advanceMs(1400);
        EXPECT_FALSE(QV_ReadBuffer(rig.path, 3, 0, 0, d, 4));
        rig.session.clock().advanceMs(100);
        EXPECT_TRUE(QV_ReadBuffer(rig.path, 3, 0, 0, d, 4) && QV_ChipReset256(rig.path));
        rig.session.clock().advanceMs(2000);
    }
}

// The host's side: a one-byte write's pad byte comes back as a residue, a transfer above the host's
// limit is refused unsent, a mounted disk is in use, a cached write survives a cut only if flushed.
TEST(SimFaults, HostRealities) {
    Rig rig("qvr298,xferlimit=32,inuse=1");
    Bytes buf(65536);
    EXPECT_TRUE(SetRegister(rig.path, 0x506A, buf.data(), 1));
    EXPECT_EQ(transport::lastResult().residual, 1u);
    EXPECT_TRUE(QV_GetNVRAM_529(rig.path, 0, buf.data(), 32768));
    const uint64_t sent = rig.enc->commandCount();
    EXPECT_FALSE(QV_GetNVRAM_529(rig.path, 0, buf.data(), 32769));
    EXPECT_EQ(transport::lastResult().lastError + rig.enc->commandCount(), 87u + sent);
    EXPECT_TRUE(rig.session.bus().deviceOf(0).diskInUse);
    for (const bool flushed : {false, true}) {
        Rig cached("qvr298,writecache=1");
        ASSERT_TRUE(QV_DiskWriteDmaExt(cached.path, 8, buf.data(), 512, 512));
        EXPECT_TRUE(!flushed || transport::ScsiDataOut(cached.path, transport::Cdb{10, {0x35}}, nullptr, 0, nullptr));
        cached.enc->faults().powerCutAt(cached.enc->commandCount() + 1);
        EXPECT_FALSE(cached.gpio());
        EXPECT_EQ(cached.enc->disk().contents().count(8), flushed ? 1u : 0u);
    }
}

TEST(SimConfig, ParsesEveryKey) {
    sim::EnclosureConfig c;
    std::string error;
    ASSERT_TRUE(sim::parseEnclosureConfig(
        "qvr298,fw=31.01.01.10,flash=ef3013,rev=2,bus=1394,state=/tmp/x,persist=each,resetms=100,fail=3,failop=3b,failevery=9,"
        "notready=4,stuckbusy=1,short=5,flip=6,powercut=7,drop=8,noreturn=1,twins=1,seed=11",
        c, error))
        << error;
    EXPECT_EQ(c.model, "qvr298");
    EXPECT_EQ(*c.firmware, (Bytes{31, 1, 1, 10}));
    EXPECT_EQ(c.flash, "ef3013");
    EXPECT_EQ(*c.revision, 2);
    EXPECT_EQ(c.bus, sim::BusKind::Ieee1394);
    EXPECT_EQ(c.stateFile, "/tmp/x");
    EXPECT_TRUE(c.persistEach);
    EXPECT_EQ(c.resetDelayMs, 100u);
    EXPECT_EQ(c.failOpcode, 0x3B);
    EXPECT_EQ(c.notReady, 4u);
    EXPECT_TRUE(c.stuckBusy && c.noReturn && c.twins);
    EXPECT_EQ(c.failAt + c.failEvery + c.shortAt + c.flipEvery + c.powerCutAt + c.dropAt + c.seed, 3u + 9 + 5 + 6 + 7 + 8 + 11);
    ASSERT_TRUE(sim::parseEnclosureConfig("qvr298,flash=none", c, error));
    EXPECT_TRUE(c.noFlash);
}

TEST(SimConfig, RejectsWhatItDoesNotKnowAndSaysWhatItWould) {
    struct Case { const char* text; const char* mentions; };
    for (Case c : {Case{"qvr999", "qvr298"}, Case{"", "valid models"}, Case{"QVR298", "qvr298"},
                   Case{"qvr298,colour=red", "valid keys"}, Case{"qvr298,fw", "key=value"},
                   Case{"qvr298,fw=1.2.3.4.5.6", "dotted"}, Case{"qvr298,fw=256.1", "dotted"},
                   Case{"qvr298,flash=123456", "ef3013"}, Case{"qvr298,bus=scsi", "usb, uas or 1394"},
                   Case{"qvr298,failop=3", "hex"}, Case{"qvr298,fail=0", "from 1"}, Case{"qvr298,fail=x", "number"},
                   Case{"qvr298,twins=2", "0 or 1"}, Case{"qvr298,rev=10", "0 to 9"},
                   Case{"qvr298,state=/tmp/x,persist=always", "each or exit"}, Case{"qvr298,persist=each", "state=FILE"}}) {
        SCOPED_TRACE(c.text);
        sim::EnclosureConfig cfg;
        std::string error;
        EXPECT_FALSE(sim::parseEnclosureConfig(c.text, cfg, error));
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    }
}

TEST(SimConfig, EveryKeyIsInTheHelp) {
    sim::EnclosureConfig c;
    std::string error;
    ASSERT_FALSE(sim::parseEnclosureConfig("qvr298,nokey=1", c, error));
    std::istringstream keys(error.substr(error.find("valid keys: ") + 12));
    for (std::string key; keys >> key;) EXPECT_NE(sim::simHelpText().find(" " + key + "="), std::string::npos) << key;
}

TEST(SimConfig, EveryModelAndFlashNamedInTheHelpIsAccepted) {
    const std::string help = sim::simHelpText();
    for (const char* m : {"qvr298", "qvr297", "qvr295", "qvr292", "qvr256", "qvr296", "qvr253", "qvr227", "qvr294",
                          "qvd529", "qvd522", "qvd528", "qvd525", "qvd523", "qvd276", "qvd246", "qv84552", "qv84553",
                          "qv84553a3", "qv84556", "qv84556e", "qv84559", "qv84586"}) {
        SCOPED_TRACE(m);
        EXPECT_NE(help.find(m), std::string::npos);
        sim::Session s;
        std::string error;
        EXPECT_TRUE(s.bus().addEnclosure(m, error)) << error;
    }
    // A flash too small for the family's firmware is a usage error, not a crash.
    sim::Session s;
    std::string error;
    EXPECT_FALSE(s.bus().addEnclosure("qvr298,flash=c22010", error));
    EXPECT_NE(error.find("too small"), std::string::npos) << error;
}

}  // namespace
