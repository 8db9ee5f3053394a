// Chip identification of both programs, read from the commands a device is sent and what it
// answers: the inquiry code, the chip information record, GPIO straps, ODD strings and the
// per-model revision checks.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/scripted_device.h"
#include "sys/debug.h"
#include "sys/message_box.h"
#include "transport/maclib/qvlib.h"
#include "identify/chip_detect.h"

using testing_support::Answer;
using testing_support::ok;
using testing_support::refused;
using testing_support::ScriptedDevice;

namespace {

// The commands identification sends, as the catalogue has them.
constexpr const char* kInquiry40 = "120000002800000000000000";
constexpr const char* kGpio = "df10000002000000000000ff";
constexpr const char* kChipInfo = "e0f4e7000000000000000000";
constexpr const char* kOddInquiry = "ff0430080000000000000000";
constexpr const char* kUpload294 = "b56401000000000000000000";
constexpr const char* kRegisterFdb0 = "df1000000400fdb0000000fd";

std::vector<uint8_t> inquiryWith(std::string_view code4) {
    std::vector<uint8_t> r(40, 0);
    const std::string_view product = "Corvane QVDisk  ";
    std::copy(product.begin(), product.end(), r.begin() + 8);
    std::copy(code4.begin(), code4.end(), r.begin() + 36);
    return r;
}

// Chip information: signature, USB vendor/product, version, chip code characters.
std::vector<uint8_t> chipInfo(std::string_view code4, uint16_t vid = 0x1A2B, uint16_t pid = 0x3C4D) {
    std::vector<uint8_t> r = {0xF4, 0xE7, uint8_t(vid >> 8), uint8_t(vid), uint8_t(pid >> 8), uint8_t(pid),
                              1, 2, 0, 0, 0, 0, 3, 4, 5, 6};
    std::copy(code4.begin(), code4.end(), r.begin() + 8);
    return r;
}

std::vector<uint8_t> oddString(std::string_view s) {
    std::vector<uint8_t> r(40, 0);
    std::copy(s.begin(), s.end(), r.begin());
    return r;
}

// A bridge that answers no vendor inquiry code and reports `info` as its chip information.
void bridgeWithChipInfo(ScriptedDevice& d, std::vector<uint8_t> info, std::vector<uint8_t> gpio = {0, 0}) {
    d.on(kInquiry40, inquiryWith("    ")).on(kGpio, std::move(gpio)).on(kChipInfo, std::move(info));
}

struct OneMacDevice final : maclib::MakerDeviceSource {
    std::vector<maclib::MakerDevice> list() override { return {{0x1234, "mac-dev"}}; }
};

struct MessageRecorder {
    std::vector<std::string> shown;
    sys::MessageBoxHandler old;
    MessageRecorder() {
        old = sys::setMessageBoxHandler([this](std::string_view text, std::string_view title, sys::MsgIcon icon) {
            shown.push_back(std::string(title) + "|" + std::string(text) + "|" +
                            std::to_string(static_cast<int>(icon)));
            return 1;
        });
    }
    ~MessageRecorder() { sys::setMessageBoxHandler(old); }
};

struct Case {
    const char* name;
    std::function<void(ScriptedDevice&)> script;
    int winType, winRevision;
    int macType, macRevision;
};

}  // namespace

TEST(ChipDetection, TypeAndRevisionOnBothPrograms) {
    const Case cases[] = {
        {"inquiry code", [](auto& d) { d.on(kInquiry40, inquiryWith("q298")); }, 16, 0, 21, 0},
        {"q522 is the QVD529", [](auto& d) { d.on(kInquiry40, inquiryWith("q522")); }, 9, 0, 8, 0},
        {"553 is always the first 553 row", [](auto& d) { d.on(kInquiry40, inquiryWith("q553")); }, 3, 0, 3, 0},
        {"code and revision from chip information", [](auto& d) { bridgeWithChipInfo(d, chipInfo("2984")); }, 16, 4, 21, 4},
        {"553 in chip information", [](auto& d) { bridgeWithChipInfo(d, chipInfo("5532")); }, 3, 2, 3, 2},
        {"355 is the QVD529", [](auto& d) { bridgeWithChipInfo(d, chipInfo("3557")); }, 9, 7, 8, 7},
        {"maker USB ids win over a known code", [](auto& d) { bridgeWithChipInfo(d, chipInfo("2983", 0x728D, 0x5E2A)); }, 35, 0, 27, 0},
        {"maker vendor id alone is not enough", [](auto& d) { bridgeWithChipInfo(d, chipInfo("2983", 0x728D, 0x5E2B)); }, 16, 3, 21, 3},
        {"revision digit below '0' wraps as a byte", [](auto& d) { bridgeWithChipInfo(d, chipInfo("298 ")); }, 16, 0xF0, 21, 0xF0},
        {"no signature, GPIO bits 5-6 = 0", [](auto& d) { bridgeWithChipInfo(d, std::vector<uint8_t>(16, 0), {0x9F, 0xFF}); }, 31, 0, 23, 0},
        {"no signature, GPIO bits 5-6 = 2", [](auto& d) { bridgeWithChipInfo(d, std::vector<uint8_t>(16, 0), {0x40, 0x00}); }, 33, 0, 25, 0},
        {"no signature, GPIO bits 5-6 = 3", [](auto& d) { bridgeWithChipInfo(d, std::vector<uint8_t>(16, 0), {0x60, 0x00}); }, 34, 0, 26, 0},
        {"unknown code", [](auto& d) { bridgeWithChipInfo(d, chipInfo("9991")); }, 0, 1, 0, 1},
        {"inquiry fails", [](auto&) {}, 0, 0, 0, 0},
        {"GPIO fails", [](auto& d) { d.on(kInquiry40, inquiryWith("    ")).on(kChipInfo, chipInfo("2981")); }, 0, 0, 0, 0},
        {"chip information fails", [](auto& d) { d.on(kInquiry40, inquiryWith("    ")).on(kGpio, {0, 0}); }, 0, 0, 0, 0},
        {"QVR227 with the B4 register", [](auto& d) {
             bridgeWithChipInfo(d, chipInfo("2273"));
             d.on(kRegisterFdb0, {0, 0xB4, 0, 0});
         }, 12, 5, 11, 5},
        {"QVR227 before B4", [](auto& d) {
             bridgeWithChipInfo(d, chipInfo("2273"));
             d.on(kRegisterFdb0, {0, 0xB3, 0, 0});
         }, 12, 3, 11, 3},
        {"QVR227 answering the QVR294 upload (Windows only)", [](auto& d) {
             bridgeWithChipInfo(d, chipInfo("2273"));
             d.on(kUpload294, std::vector<uint8_t>(512, 0x11)).on(kRegisterFdb0, {0, 0xB4, 0, 0});
         }, 26, 3, 11, 5},
    };
    OneMacDevice source;
    maclib::setMakerDeviceSource(&source);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice win;
        c.script(win);
        {
            transport::ScopedBackend scope(win);
            const vendor::ChipId id = IDEAccess::DetectChipType("\\\\?\\usbstor#disk");
            EXPECT_EQ(id.type, c.winType);
            EXPECT_EQ(id.revision, c.winRevision);
            EXPECT_EQ(id.packed(), c.winType | c.winRevision << 8);
        }
        ScriptedDevice mac;
        c.script(mac);
        {
            transport::ScopedBackend scope(mac);
            const uint64_t v = qvaccess::QV_GetChipID_Version(0x1234);
            EXPECT_EQ(v & 0xFFFFFFFF, static_cast<uint64_t>(c.macType));
            EXPECT_EQ(v >> 32, static_cast<uint64_t>(c.macRevision));
            EXPECT_EQ(mac.count(kUpload294), 0) << "the macOS program never sends the QVR294 upload";
        }
    }
    maclib::setMakerDeviceSource(nullptr);
}

TEST(ChipDetection, CommandsSentOnEachRoute) {
    struct Route {
        const char* name;
        std::function<void(ScriptedDevice&)> script;
        std::vector<std::string> cdbs;
        std::vector<uint32_t> lengths;
    };
    const Route routes[] = {
        {"a known inquiry code sends nothing else", [](auto& d) { d.on(kInquiry40, inquiryWith("q298")); },
         {kInquiry40}, {40}},
        {"chip information route", [](auto& d) { bridgeWithChipInfo(d, chipInfo("2981")); },
         {kInquiry40, kGpio, kChipInfo}, {40, 2, 16}},
        {"unidentified chips ask for the ODD string", [](auto& d) { bridgeWithChipInfo(d, chipInfo("0000")); },
         {kInquiry40, kGpio, kChipInfo, kOddInquiry}, {40, 2, 16, 40}},
        {"QVR227: QVR294 upload, then the B4 register", [](auto& d) { bridgeWithChipInfo(d, chipInfo("2271")); },
         {kInquiry40, kGpio, kChipInfo, kUpload294, kRegisterFdb0}, {40, 2, 16, 512, 4}},
        {"QVD525: the short chip information", [](auto& d) {
             d.on(kInquiry40, inquiryWith("q525")).on(kChipInfo, chipInfo("5251"));
         }, {kInquiry40, kChipInfo}, {40, 12}},
    };
    sys::setMessageBoxHandler([](auto, auto, auto) { return 1; });
    for (const Route& r : routes) {
        SCOPED_TRACE(r.name);
        ScriptedDevice d;
        r.script(d);
        transport::ScopedBackend scope(d);
        IDEAccess::DetectChipType("dev");
        EXPECT_EQ(d.cdbs(), r.cdbs);
        ASSERT_EQ(d.log().size(), r.lengths.size());
        for (size_t i = 0; i < r.lengths.size(); ++i) EXPECT_EQ(d.log()[i].xferLen, r.lengths[i]) << i;
    }
    sys::setMessageBoxHandler({});
}

TEST(ChipDetection, OddStringsSetTypeAndRevision) {
    struct OddCase {
        std::string odd;   // first bytes of the ODD inquiry reply
        int winType, winRevision;
        int macType, macRevision;
    };
    // Every chip whose code leaves the type open (here code 000, revision '0' = 0) asks for it.
    const OddCase cases[] = {
        {"q552C3", 1, 4, 1, 4},
        {"q553A3", 4, 0, 0, 0},                 // not compared by the macOS program
        {"q556C1", 5, 2, 4, 2},
        {"q556E1", 30, '1' + 1, 18, '1' + 1},
        {"q276A0", 28, 1, 16, 1},
        {"q528", 7, 1, 6, 1},                   // byte 5 zero: revision 1
        {"q528x2", 7, 3, 6, 3},
        {"q8523\x35", 11, 6, 10, 6},
        {"q556", 0, 0, 0, 0},                   // no row matches: unchanged
        {"Q552C3", 0, 0, 0, 0},
    };
    OneMacDevice source;
    maclib::setMakerDeviceSource(&source);
    for (const OddCase& c : cases) {
        SCOPED_TRACE(c.odd);
        ScriptedDevice d;
        bridgeWithChipInfo(d, chipInfo("0000"));
        d.on(kOddInquiry, oddString(c.odd));
        transport::ScopedBackend scope(d);
        const vendor::ChipId win = IDEAccess::DetectChipType("dev");
        EXPECT_EQ(win.type, c.winType);
        EXPECT_EQ(win.revision, c.winRevision);
        const uint64_t mac = qvaccess::QV_GetChipID_Version(0x1234);
        EXPECT_EQ(mac & 0xFFFFFFFF, static_cast<uint64_t>(c.macType));
        EXPECT_EQ(mac >> 32, static_cast<uint64_t>(c.macRevision));
    }
    maclib::setMakerDeviceSource(nullptr);
}

TEST(ChipDetection, OddInquiryRefusedOnlyMovesTheQv84552ToRevisionOne) {
    for (auto [code, type, revision] : {std::tuple{"q552", 1, 1}, std::tuple{"q553", 3, 0}, std::tuple{"q528", 7, 0}}) {
        SCOPED_TRACE(code);
        ScriptedDevice d;
        d.on(kInquiry40, inquiryWith(code)).fail(kOddInquiry);
        transport::ScopedBackend scope(d);
        const vendor::ChipId id = IDEAccess::DetectChipType("dev");
        EXPECT_EQ(id.type, type);
        EXPECT_EQ(id.revision, revision);
        EXPECT_TRUE(d.sent(kOddInquiry));
    }
}

TEST(ChipDetection, Qvd525RevisionAndItsMessageOnWindowsOnly) {
    const std::string kMessage = "Error|Get chip information fail !|1";
    struct RevCase {
        const char* name;
        Answer shortInfo;   // the 12-byte chip information
        int revision;
        bool message;
    };
    const RevCase cases[] = {
        {"revision 1", ok(chipInfo("5251")), 1, false},
        {"revision 2", ok(chipInfo("5252")), 2, false},
        {"revision 3 is not known", ok(chipInfo("5253")), 0, true},
        {"no signature", ok(std::vector<uint8_t>(12, 0)), 0, true},
        {"refused", refused(), 0, true},
    };
    OneMacDevice source;
    maclib::setMakerDeviceSource(&source);
    for (const RevCase& c : cases) {
        SCOPED_TRACE(c.name);
        MessageRecorder messages;
        ScriptedDevice d;
        d.on(kInquiry40, inquiryWith("q525")).on(kChipInfo, std::vector<Answer>{c.shortInfo});
        transport::ScopedBackend scope(d);
        const vendor::ChipId id = IDEAccess::DetectChipType("dev");
        EXPECT_EQ(id.type, 8);
        EXPECT_EQ(id.revision, c.revision);
        EXPECT_EQ(messages.shown, c.message ? std::vector<std::string>{kMessage} : std::vector<std::string>{});

        messages.shown.clear();
        const uint64_t mac = qvaccess::QV_GetChipID_Version(0x1234);
        EXPECT_EQ(mac, 7u | static_cast<uint64_t>(c.revision) << 32);
        EXPECT_TRUE(messages.shown.empty()) << "the macOS program keeps the revision silently";
    }
    maclib::setMakerDeviceSource(nullptr);
}

TEST(ChipDetection, MessageBoxWithoutHandlerGoesToTheDebugOutput) {
    std::string debug;
    auto old = sys::setDebugSink([&](std::string_view s) { debug += s; });
    EXPECT_EQ(sys::messageBox("Get chip information fail !", "Error", sys::MsgIcon::Error), 1);
    EXPECT_EQ(debug, "Error: Get chip information fail !\n");
    sys::setDebugSink(old);
}

TEST(ChipQueries, RegisterAndChipInformationTests) {
    struct QueryCase {
        const char* name;
        std::function<void(ScriptedDevice&)> script;
        std::function<bool()> query;
        bool expected;
    };
    const auto reg = [](const char* prefix, std::vector<uint8_t> bytes) {
        return [=](ScriptedDevice& d) { d.on(prefix, bytes); };
    };
    const char* k505E = "df1000000400505e000000fd";
    const auto mfg = [] { return IDEAccess::Is298RunMfgCode("dev"); };
    const auto b4 = [] { return IDEAccess::QV_Check256B4Version("dev"); };
    const auto ready = [] { return IDEAccess::IsRegister505EReady("dev"); };
    std::vector<uint8_t> mfgInfo = chipInfo("2981");
    mfgInfo[6] = 2;
    mfgInfo[7] = 0;
    std::vector<uint8_t> runInfo = mfgInfo;
    runInfo[7] = 1;
    const QueryCase cases[] = {
        {"manufacturing code", reg(kChipInfo, mfgInfo), mfg, true},
        {"run code", reg(kChipInfo, runInfo), mfg, false},
        {"chip information refused", [](auto&) {}, mfg, false},
        {"B4 at 0xB4", reg(kRegisterFdb0, {0, 0xB4, 0, 0}), b4, true},
        {"B4 above", reg(kRegisterFdb0, {0, 0xFF, 0, 0}), b4, true},
        {"B4 below", reg(kRegisterFdb0, {0xFF, 0xB3, 0xFF, 0xFF}), b4, false},
        {"B4 register refused", [](auto&) {}, b4, false},
        {"505E ready", reg(k505E, {0xFF, 0, 1, 0xFF}), ready, true},
        {"505E byte 1 set", reg(k505E, {0, 1, 1, 0}), ready, false},
        {"505E byte 2 not 1", reg(k505E, {0, 0, 3, 0}), ready, false},
        {"505E refused", [](auto&) {}, ready, false},
    };
    for (const QueryCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice d;
        c.script(d);
        transport::ScopedBackend scope(d);
        EXPECT_EQ(c.query(), c.expected);
        EXPECT_EQ(d.log().size(), 1u);
    }
}
