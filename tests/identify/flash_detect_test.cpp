// Serial flash identification through the bridge: maker rules and opcodes, capacity, the AMIC
// and ATMEL model checks, and the choice among them by chip type. A scripted flash answers SPI
// opcodes through both probe commands; the tests read what was sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/scripted_device.h"
#include "transport/maclib/qvlib.h"
#include "identify/flash_detect.h"

using testing_support::ok;
using testing_support::ScriptedDevice;
using vendor::FlashVariant;

namespace {

std::string hexByte(uint8_t b) {
    char s[3];
    std::snprintf(s, sizeof s, "%02x", b);
    return s;
}

constexpr const char* kFlashType = "ff0423040000000000000000";
constexpr const char* kPrepareProbe = "df01000000000000000000fc";
constexpr const char* kReadBufferDescriptor = "3c030000000000000400";
constexpr const char* kSetPara = "ff040f";

// A flash behind the bridge. `answer` makes an opcode answer through the ChkID pair (prologue
// FF 04 20 01 01 OP, then the response) and through the read-id command with any count;
// `answerReadIdOnly` through the read-id command only. Opcodes not scripted are refused.
struct Flash {
    ScriptedDevice& d;

    Flash& answer(uint8_t op, std::vector<uint8_t> reply) {
        const std::string prologue = "ff04200101" + hexByte(op);
        d.on(prologue).after(prologue, "ff0421", {ok(reply)});
        return answerReadIdOnly(op, std::move(reply));
    }
    Flash& answerReadIdOnly(uint8_t op, std::vector<uint8_t> reply) {
        for (uint8_t n : {3, 4, 6}) d.on("ff0415" + hexByte(n) + hexByte(op), reply);
        return *this;
    }
    Flash& chipReports(uint8_t type) {
        d.on(kFlashType, {type, 0, 0, 0});
        return *this;
    }
};

struct OneMacDevice final : maclib::MakerDeviceSource {
    std::vector<maclib::MakerDevice> list() override { return {{0x1234, "mac-dev"}}; }
};

using Replies = std::vector<std::pair<uint8_t, std::vector<uint8_t>>>;

bool detectVendor(FlashVariant v, vendor::_VenderCmdPara& rec) {
    if (v == FlashVariant::MacChkId) return qvaccess::fn_SerialFalshType(0x1234, rec);
    return IDEAccess::DetectFlashVendor("dev", rec, v);
}

const char* variantName(FlashVariant v) {
    return v == FlashVariant::WinChkId ? "Windows ChkID" : v == FlashVariant::WinReadId ? "Windows ReadID" : "macOS";
}

}  // namespace

TEST(FlashVendor, MakerAndOpcodesFromTheProbes) {
    struct Case {
        const char* name;
        Replies replies;
        Replies readIdOnly;
        std::vector<FlashVariant> variants;
        bool found;
        int type;
        std::array<uint8_t, 4> ops;   // chip erase, block erase, program, sector erase
    };
    const std::vector<FlashVariant> all = {FlashVariant::WinChkId, FlashVariant::WinReadId, FlashVariant::MacChkId};
    const std::vector<FlashVariant> win = {FlashVariant::WinChkId, FlashVariant::WinReadId};
    const std::vector<FlashVariant> chkId = {FlashVariant::WinChkId, FlashVariant::MacChkId};
    const std::array<uint8_t, 4> plain = {0xC7, 0xD8, 0x02, 0x20};
    const Case cases[] = {
        {"AMIC 7F 37", {{0x9F, {0x7F, 0x37, 0x20, 0x21}}}, {}, all, true, 7, plain},
        {"AMIC 37 30", {{0x9F, {0x37, 0x30, 0x13, 0}}}, {}, all, true, 7, plain},
        {"PMC", {{0x9F, {0x7F, 0x9D, 0x21, 0}}}, {}, all, true, 1, plain},
        {"SANYO erases sectors with D7", {{0x9F, {0x62, 0x06, 0x13, 0}}}, {}, all, true, 10, {0xC7, 0xD8, 0x02, 0xD7}},
        {"GIGADEVICE blocks with 52 on Windows", {{0x9F, {0xC8, 0x40, 0x13, 0}}}, {}, win, true, 11, {0xC7, 0x52, 0x02, 0x20}},
        {"GIGADEVICE keeps D8 on macOS", {{0x9F, {0xC8, 0x40, 0x13, 0}}}, {}, {FlashVariant::MacChkId}, true, 11, plain},
        {"VPOWERWINS on Windows", {{0x9F, {0xA1, 0x31, 0x13, 0}}}, {}, win, true, 12, plain},
        {"VPOWERWINS unknown to macOS", {{0x9F, {0xA1, 0x31, 0x13, 0}}}, {}, {FlashVariant::MacChkId}, false, 0, plain},
        {"no 0x9F answer is an unknown flash, and success", {}, {}, all, true, 0, plain},
        {"SST by 0x90", {{0x9F, {0xFF, 0xFF, 0xFF, 0xFF}}, {0x90, {0xFF, 0xFF, 0xFF, 0xBF}}}, {}, all, true, 2, {0x60, 0x52, 0xAF, 0x20}},
        {"PMC by 0xAB", {{0x9F, {0, 0, 0, 0}}, {0xAB, {0xFF, 0xFF, 0xFF, 0x9D}}}, {}, all, true, 1, plain},
        {"ATMEL by 0x15", {{0x9F, {0, 0, 0, 0}}, {0x15, {0x1F, 0x60, 0, 0}}}, {}, all, true, 4, {0x62, 0x52, 0x02, 0x20}},
        {"ATMEL by the 3-byte read-id", {{0x9F, {0, 0, 0, 0}}}, {{0x15, {0x1F, 0x60, 0}}}, chkId, true, 4, {0x62, 0x52, 0x02, 0x20}},
        {"ST by the read-id signature", {{0x9F, {0, 0, 0, 0}}}, {{0xAB, {0x05, 0, 0, 0}}}, all, true, 3, plain},
        {"nothing matches", {{0x9F, {0, 0, 0, 0}}}, {}, all, false, 0, plain},
    };
    OneMacDevice source;
    maclib::setMakerDeviceSource(&source);
    for (const Case& c : cases) {
        for (FlashVariant v : c.variants) {
            SCOPED_TRACE(std::string(c.name) + " / " + variantName(v));
            ScriptedDevice d;
            Flash f{d};
            for (const auto& [op, reply] : c.replies) f.answer(op, reply);
            for (const auto& [op, reply] : c.readIdOnly) f.answerReadIdOnly(op, reply);
            transport::ScopedBackend scope(d);
            vendor::_VenderCmdPara rec;
            EXPECT_EQ(detectVendor(v, rec), c.found);
            EXPECT_EQ(rec.flashType, static_cast<uint32_t>(c.type));
            EXPECT_EQ((std::array<uint8_t, 4>{rec.chipEraseOp, rec.blockEraseOp, rec.programOp, rec.sectorEraseOp}), c.ops);
        }
    }
    maclib::setMakerDeviceSource(nullptr);
}

TEST(FlashVendor, ProbeSequenceOfEachVariant) {
    // A flash that answers 0x9F with nothing known and no other opcode: every probe goes out.
    const std::map<FlashVariant, std::vector<std::string>> expected = {
        {FlashVariant::WinChkId, {"ff042001019f000000000000", "ff0421000000000004000000", "ff0420010190000000000000",
                                  "ff04200101ab000000000000", "ff0420010115000000000000", "ff0415031500000000000000",
                                  "ff041503ab03000000000000"}},
        {FlashVariant::WinReadId, {"ff0415049f00000000000000", "ff0415049000000000000000", "ff041504ab03000000000000",
                                   "ff0415041500000000000000", "ff041504ab03000000000000"}},
        {FlashVariant::MacChkId, {"ff042001019f000000000000", "ff0421000000000004000000", "ff0420010190000000000000",
                                  "ff04200101ab000000000000", "ff0420010115000000000000", "ff0415031500000000000000",
                                  "ff041503ab03000000000000"}},
    };
    OneMacDevice source;
    maclib::setMakerDeviceSource(&source);
    for (const auto& [v, cdbs] : expected) {
        SCOPED_TRACE(variantName(v));
        ScriptedDevice d;
        Flash{d}.answer(0x9F, {0x00, 0x00, 0x00, 0x00});
        transport::ScopedBackend scope(d);
        vendor::_VenderCmdPara rec;
        EXPECT_FALSE(detectVendor(v, rec));
        EXPECT_EQ(d.cdbs(), cdbs);
    }
    maclib::setMakerDeviceSource(nullptr);
}

TEST(FlashCapacity, FromJedecReplyAndFallbackProbes) {
    struct Case {
        const char* name;
        FlashVariant v;
        int presetType;        // the record's type before sizing (0: identified first)
        Replies replies;
        unsigned kib;
        const char* mustSend;      // a command the sizing must send (or null)
        const char* mustNotSend;   // a command it must not send (or null)
    };
    const auto chk = FlashVariant::WinChkId;
    const auto rid = FlashVariant::WinReadId;
    const Case cases[] = {
        {"PMC 21", chk, 0, {{0x9F, {0x7F, 0x9D, 0x21, 0}}}, 128, nullptr, nullptr},
        {"PMC of unknown size decides without the fallback", chk, 0, {{0x9F, {0x7F, 0x9D, 0x23, 0}}}, 64, nullptr, "ff04200101ab"},
        {"PMC fallback 0xAB with 6 bytes", chk, 1, {{0x9F, {0, 0, 0, 0}}, {0xAB, {0, 0, 0, 0x9D, 0x7B, 0}}}, 64, "ff0421000000000006", nullptr},
        {"WINBOND 18 over ChkID", chk, 0, {{0x9F, {0xEF, 0x40, 0x18, 0}}}, 16384, nullptr, nullptr},
        {"WINBOND 18 over ReadID", rid, 0, {{0x9F, {0xEF, 0x40, 0x18, 0}}}, 64, nullptr, nullptr},
        {"SST 4A", chk, 2, {{0x9F, {0xBF, 0x25, 0x4A, 0}}}, 4096, nullptr, nullptr},
        {"SST fallback 49", rid, 2, {{0x9F, {0, 0, 0, 0}}, {0xAB, {0, 0, 0, 0xBF, 0x49, 0}}}, 128, "ff041506ab03", nullptr},
        {"ST 15", chk, 0, {{0x9F, {0x20, 0x20, 0x15, 0}}}, 2048, nullptr, nullptr},
        {"ST 17 is beyond the table", chk, 0, {{0x9F, {0x20, 0x20, 0x17, 0}}}, 64, nullptr, nullptr},
        {"ATMEL 44 over ChkID", chk, 0, {{0x9F, {0x1F, 0x44, 0x01, 0}}}, 512, nullptr, nullptr},
        {"ATMEL 44 over ReadID", rid, 0, {{0x9F, {0x1F, 0x44, 0x01, 0}}}, 64, nullptr, nullptr},
        {"ATMEL fallback 0x15", chk, 4, {{0x9F, {0, 0, 0, 0}}, {0x15, {0x1F, 0x60, 0, 0}}}, 128, "ff0420010115", nullptr},
        {"MXIC 22 11", chk, 0, {{0x9F, {0xC2, 0x22, 0x11, 0}}}, 128, nullptr, nullptr},
        {"MXIC 24 is not sized", chk, 0, {{0x9F, {0xC2, 0x24, 0x11, 0}}}, 64, nullptr, nullptr},
        {"AMIC 37 30 13", chk, 0, {{0x9F, {0x37, 0x30, 0x13, 0}}}, 512, nullptr, nullptr},
        {"AMIC 7F 37 b3 14", chk, 0, {{0x9F, {0x7F, 0x37, 0x20, 0x14}}}, 1024, nullptr, nullptr},
        {"ESMT 30 14", chk, 0, {{0x9F, {0x8C, 0x30, 0x14, 0}}}, 1024, nullptr, nullptr},
        {"SANYO by 0xAB", chk, 0, {{0x9F, {0x62, 0x06, 0x13, 0}}, {0xAB, {0, 0, 0, 0x44}}}, 256, "ff04200101ab", nullptr},
        {"VPOWERWINS 13", rid, 0, {{0x9F, {0xA1, 0x31, 0x13, 0}}}, 512, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + variantName(c.v));
        ScriptedDevice d;
        Flash f{d};
        for (const auto& [op, reply] : c.replies) f.answer(op, reply);
        transport::ScopedBackend scope(d);
        vendor::_VenderCmdPara rec;
        rec.flashType = static_cast<uint32_t>(c.presetType);
        rec.capacityKiB = 1;
        EXPECT_TRUE(IDEAccess::DetectFlashCapacity("dev", rec, c.v));
        EXPECT_EQ(rec.capacityKiB, c.kib);
        if (c.mustSend) {
            EXPECT_TRUE(d.sent(c.mustSend)) << c.mustSend;
        }
        if (c.mustNotSend) {
            EXPECT_FALSE(d.sent(c.mustNotSend)) << c.mustNotSend;
        }
    }
}

TEST(FlashModels, AmicAndAtmelChecks) {
    struct Case {
        std::vector<uint8_t> reply;   // empty: the flash does not answer
        int amic;
        int atmel;
    };
    const Case cases[] = {
        {{0x7F, 0x37, 0x20, 0x12}, 1, -1}, {{0x7F, 0x37, 0x20, 0x11}, 3, -1},
        {{0x7F, 0x37, 0x20, 0x20}, 4, -1}, {{0x7F, 0x37, 0x20, 0x10}, 5, -1},
        {{0x7F, 0x37, 0x20, 0x21}, -1, -1}, {{0x7F, 0x37, 0x20, 0x22}, -1, -1},
        {{0x7F, 0x37, 0x21, 0x12}, -1, -1},
        {{0x1F, 0x65, 0x00, 0x00}, -1, 1}, {{0x1F, 0x66, 0x00, 0x00}, -1, 2},
        {{0x1F, 0x44, 0x01, 0x00}, -1, 0}, {{}, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing_support::hex(c.reply));
        ScriptedDevice d;
        if (!c.reply.empty()) Flash{d}.answer(0x9F, c.reply);
        transport::ScopedBackend scope(d);
        EXPECT_EQ(IDEAccess::AmicModel("dev"), c.amic);
        EXPECT_EQ(IDEAccess::QV_ATMEL_FlashChk("dev"), c.atmel);
        if (c.reply.empty()) continue;
        // The prologue goes out through the data-in operation, and the response asks for no bytes
        // in its CDB while four are read.
        ASSERT_EQ(d.log().size(), 4u);
        EXPECT_EQ(testing_support::hex(d.log()[0].cdb), "ff042001019f000000000000");
        EXPECT_EQ(d.log()[0].sharing, transport::Sharing::Shared);
        EXPECT_EQ(testing_support::hex(d.log()[1].cdb), "ff0421000000000000000000");
        EXPECT_EQ(d.log()[1].xferLen, 4u);
    }
}

namespace {

struct Scenario {
    const char* name;
    std::string path;
    int chipType;
    int revision;
    std::function<void(Flash&)> script;
    vendor::RamBufferPath ram;
    // expected
    int type;
    std::string shownName;
    unsigned kib;
    std::string setPara;   // the parameter command's CDB, or empty when none may be sent
    bool sst25;
    int amic, atmel;
};

}  // namespace

TEST(DetectFlash, ByChipType) {
    using R = vendor::RamBufferPath;
    const std::string usb = "\\\\?\\usbstor#disk";
    const std::string fw = "\\\\?\\sbp2#disk";
    const auto mxic2211 = [](Flash& f) { f.chipReports(0).answer(0x9F, {0xC2, 0x22, 0x11, 0x00}); };
    const Scenario cases[] = {
        {"QVR298, MXIC C2 22 11: 16-bit parameter form", usb, 16, 0, mxic2211, R::No,
         5, "MXIC", 128, "ff040fc7d802200020000000", false, -1, -1},
        {"QVR298 through the RAM buffer: bridge not told", usb, 16, 0, mxic2211, R::Yes, 5, "MXIC", 128, "", false, -1, -1},
        {"QVR227 rev 5, MXIC C2 22 11: 8-bit form with 8", usb, 12, 5, mxic2211, R::Probe,
         5, "MXIC", 64, "ff040fc7d802200800000000", false, -1, -1},
        {"QVR227 rev 4 takes the chip's report only", usb, 12, 4, mxic2211, R::Probe, 0, "Unknown", 64, "", false, -1, -1},
        {"QVR256, MXIC 10: 16-bit form", usb, 13, 1, [](Flash& f) { f.chipReports(5).answer(0x9F, {0xC2, 0x22, 0x10, 0}); },
         R::Probe, 5, "MXIC", 64, "ff040fc7d802200020000000", false, -1, -1},
        {"QVR256, MXIC 12 is not told", usb, 13, 1, [](Flash& f) { f.chipReports(5).answer(0x9F, {0xC2, 0x22, 0x12, 0}); },
         R::Probe, 5, "MXIC", 256, "", false, -1, -1},
        {"QVR298, SST25", usb, 16, 0, [](Flash& f) { f.chipReports(2).answer(0x9F, {0xBF, 0x25, 0x41, 0}); },
         R::No, 2, "SST", 2048, "", true, -1, -1},
        {"QVD529 trusts the chip", usb, 9, 0, [](Flash& f) { f.chipReports(6).answer(0x9F, {0xC2, 0x22, 0x11, 0}); },
         R::Probe, 6, "WINBOND", 64, "", false, -1, -1},
        {"chip report beyond the table is unknown", usb, 9, 0, [](Flash& f) { f.chipReports(0x40); },
         R::Probe, 0, "Unknown", 64, "", false, -1, -1},
        {"QVD525 on 1394 takes the chip's report", fw, 8, 1, [](Flash& f) { f.chipReports(4); },
         R::Probe, 4, "ATMEL", 64, "", false, -1, -1},
        {"QVD525 on USB runs the model checks", usb, 8, 1, [](Flash& f) { f.answer(0x9F, {0x1F, 0x66, 0, 0}); },
         R::Probe, 0, "ATMEL", 64, "", false, -1, 2},
        {"AMIC model shown as AMIC", usb, 1, 0, [](Flash& f) { f.answer(0x9F, {0x7F, 0x37, 0x20, 0x12}); },
         R::Probe, 0, "AMIC", 64, "", false, 1, -1},
        {"AMIC 7F 37 20 21: ATMEL check, then the chip's report", usb, 1, 0,
         [](Flash& f) { f.chipReports(3).answer(0x9F, {0x7F, 0x37, 0x20, 0x21}); },
         R::Probe, 3, "ST/EON/MXIC", 64, "", false, -1, -1},
        {"chip reports 0: ChkID probing", usb, 28, 0, [](Flash& f) { f.chipReports(0).answer(0x9F, {0xEF, 0x30, 0x13, 0}); },
         R::Probe, 6, "WINBOND", 64, "", false, -1, -1},
    };
    for (const Scenario& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice d;
        Flash f{d};
        c.script(f);
        d.on(kSetPara);
        transport::ScopedBackend scope(d);
        vendor::FlashProbeOptions options;
        options.ramBuffer = c.ram;
        const vendor::FlashFacts facts = IDEAccess::DetectFlash(c.path, static_cast<uint8_t>(c.chipType),
                                                                static_cast<uint8_t>(c.revision), options);
        EXPECT_TRUE(facts.shown);
        EXPECT_EQ(facts.type, c.type);
        EXPECT_EQ(facts.name, c.shownName);
        EXPECT_EQ(facts.capacityKiB, c.kib);
        EXPECT_EQ(facts.blockSize, vendor::tbl_FlashBlockSize[c.type]);
        EXPECT_EQ(facts.sectorSize, vendor::tbl_FlashSectorSize[c.type]);
        EXPECT_EQ(facts.sst25, c.sst25);
        EXPECT_EQ(facts.amicModel, c.amic);
        EXPECT_EQ(facts.atmelModel, c.atmel);
        std::vector<std::string> setPara;
        for (const std::string& cdb : d.cdbs())
            if (cdb.rfind(kSetPara, 0) == 0) setPara.push_back(cdb);
        EXPECT_EQ(setPara, c.setPara.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.setPara});
        EXPECT_EQ(facts.flashParameterSent, !c.setPara.empty());
        EXPECT_EQ(d.sent(kReadBufferDescriptor), c.ram == R::Probe && c.chipType >= 15 && c.chipType <= 18);
    }
}

TEST(DetectFlash, Qvr29xAsksTheBridgeForItsBufferAndRetriesAfterThePrepareCommand) {
    // A QVR298 whose flash is silent at first: identified, sized, then the prepare command and a
    // second round; the descriptor read answers, so the bridge is not told about the flash.
    ScriptedDevice d;
    Flash{d}.chipReports(0);
    d.on(kPrepareProbe).on(kReadBufferDescriptor, {0x0C, 0x01, 0x00, 0x00});
    transport::ScopedBackend scope(d);
    const vendor::FlashFacts facts = IDEAccess::DetectFlash("dev", 16, 0);
    EXPECT_EQ(facts.type, 0);
    EXPECT_TRUE(facts.ramBuffer);
    EXPECT_EQ(d.count(kPrepareProbe), 1);
    // Each round: identification, then sizing, which identifies a type-0 flash again before its
    // own 0x9F probe; each identification stops at its unanswered first probe.
    EXPECT_EQ(d.count("ff0415049f00"), 6);
    EXPECT_EQ(d.count(kReadBufferDescriptor), 1);
    EXPECT_FALSE(d.sent(kSetPara));
}

TEST(DetectFlash, ChipTypesWithoutFlashFieldSendNothing) {
    for (int type : {0, 2, 6, 19, 29, 31, 35}) {
        SCOPED_TRACE(type);
        ScriptedDevice d;
        transport::ScopedBackend scope(d);
        const vendor::FlashFacts facts = IDEAccess::DetectFlash("dev", static_cast<uint8_t>(type), 0);
        EXPECT_FALSE(facts.shown);
        EXPECT_TRUE(d.log().empty());
    }
}
