// What the window shows for an identified chip: label, support class, firmware version text and
// the internal-code test, with the register probe that changes the QVR227 version.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/scripted_device.h"
#include "identify/chip_version.h"

using testing_support::Answer;
using testing_support::ok;
using testing_support::refused;
using testing_support::ScriptedDevice;

namespace {

constexpr const char* kChipInfo = "e0f4e7000000000000000000";
constexpr const char* kChipInfoAlt = "fef4e7000000000000000000";
constexpr const char* kStatus20 = "ff04a0140000000000000000";
constexpr const char* kStatus32 = "ff04a0200000000000000000";
constexpr const char* kGate7038 = "df10000004007038000000fd";
constexpr const char* kGate70F0 = "df100000040070f0000000fd";
constexpr const char* kRegC000 = "df1000000a00c000000000fd";
constexpr const char* kNvram1000 = "df10000400000000001000fa";
constexpr const char* kNvramBC00 = "df1000040000000000bc00fa";
constexpr const char* kNvram7C00 = "df10000400000000007c00fa";
constexpr const char* kFlash4000 = "ff0410004000000000000000";
constexpr const char* kGet506A = "df1000000100506a000000fd";
constexpr const char* kSet506A = "df0000000100506a000000fe";

// 55 AA AA 55 and the code, at `offset` of a block of `size` bytes.
std::vector<uint8_t> signatureBlock(std::string_view code, size_t size = 1024, size_t offset = 0,
                                    std::vector<uint8_t> mark = {0x55, 0xAA, 0xAA, 0x55}) {
    std::vector<uint8_t> b(size, 0xFF);
    std::copy(mark.begin(), mark.end(), b.begin() + static_cast<long>(offset));
    std::copy(code.begin(), code.end(), b.begin() + static_cast<long>(offset) + 4);
    return b;
}

std::vector<uint8_t> status(size_t size, uint8_t byte8, uint8_t byte18, uint8_t byte19) {
    std::vector<uint8_t> s(size, 0);
    s[8] = byte8;
    if (size > 18) s[18] = byte18;
    if (size > 19) s[19] = byte19;
    return s;
}

// Chip information with the version bytes the formats read.
std::vector<uint8_t> info(uint8_t c6, uint8_t c7, std::array<uint8_t, 6> c10to15) {
    std::vector<uint8_t> r = {0xF4, 0xE7, 0x72, 0x8D, 0x12, 0x34, c6, c7, '2', '9', 0, 0, 0, 0, 0, 0};
    std::copy(c10to15.begin(), c10to15.end(), r.begin() + 10);
    return r;
}

}  // namespace

TEST(FirmwareVersion, TextPerChipType) {
    struct Case {
        const char* name;
        int type;
        std::vector<uint8_t> chipInfo;
        long reported;
        std::function<void(ScriptedDevice&)> script;
        bool shown;
        std::string text;
        std::string statusText;
    };
    const auto none = [](ScriptedDevice&) {};
    const auto qvd529Signed = [](ScriptedDevice& d) { d.on(kGate7038, {0, 0, 0x04, 0}).on(kNvram1000, signatureBlock("529")); };
    const auto qvr227 = [](uint8_t secondRead) {
        return [=](ScriptedDevice& d) {
            d.on(kGate7038, {0, 0, 0x10, 0}).on(kNvram1000, signatureBlock("227"));
            d.on(kGet506A, std::vector<Answer>{ok({0x01}), ok({secondRead})}).on(kSet506A);
        };
    };
    const auto qvr29x = [](ScriptedDevice& d) { d.on(kStatus20, status(20, 0, 0, 1)); };
    const Case cases[] = {
        {"default, 12 bytes reported", 1, info(3, 7, {0, 0, 1, 2, 3, 0}), 12, none, true, "3.07", ""},
        {"QVD529", 9, info(7, 8, {0, 0, 0, 16, 0, 0}), -1, qvd529Signed, true, "7.08.00.16.00", ""},
        {"QVD529 internal code version, signature present", 9, info(7, 7, {0, 0, 0, 16, 0, 0}), -1, qvd529Signed, true, "Internal code", ""},
        {"QVR227, 506A holds: last byte bit 0 flipped", 12, info(9, 18, {0, 0, 1, 16, 0, 0}), -1, qvr227(1), true, "9.18.01.16.01", ""},
        {"QVR227, 506A does not hold: internal version", 12, info(9, 18, {0, 0, 1, 16, 0, 0}), -1, qvr227(0), true, "Internal code", ""},
        {"QVR294 flips too", 26, info(1, 2, {0, 0, 3, 4, 7, 0}), -1,
         [](ScriptedDevice& d) { d.on(kGet506A, std::vector<Answer>{ok({0}), ok({1})}).on(kSet506A); }, true, "1.02.03.04.06", ""},
        {"QVD523 five digits", 11, info(0, 0, {1, 2, 3, 4, 5, 0}), -1, none, true, "01.02.03.04.05", ""},
        {"QVR296 family with the alternative information: characters", 14, info(0, 0, {0, 0, '1', '0', '0', '5'}), -1,
         [](ScriptedDevice& d) { d.on(kChipInfoAlt, std::vector<uint8_t>(16, 0)); }, true, "1.0.0.5", ""},
        {"QVR296 family without it: digits", 14, info(0, 0, {0, 0, '1', '0', '0', '5'}), -1,
         [](ScriptedDevice& d) { d.on(kStatus32, status(32, 0, 0, 1)); }, true, "49.48.48.53", ""},
        {"QVR298, C6 = 2: characters", 16, info(2, 0, {0, 0, '3', '1', '0', '2'}), -1, qvr29x, true, "3.1.0.2", ""},
        {"QVR298 characters end at a zero byte", 16, info(2, 0, {0, 0, '3', '1', 0, '2'}), -1, qvr29x, true, "3.1.", ""},
        {"QVR298, C6 = 1: digits", 16, info(1, 0, {0, 0, 3, 1, 0, 2}), -1, qvr29x, true, "03.01.00.02", ""},
        {"QVR298 without external code", 16, info(1, 0, {0, 0, 3, 1, 0, 2}), -1, none, true, "Internal code", ""},
        {"no signature", 16, std::vector<uint8_t>(16, 0), -1, none, false, "", "Not Corvane Chip!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice d;
        d.on(kChipInfo, std::vector<Answer>{Answer{true, c.chipInfo, c.reported}});
        c.script(d);
        transport::ScopedBackend scope(d);
        const auto v = IDEAccess::FormatFirmwareVersion("dev", static_cast<uint8_t>(c.type), 5);
        EXPECT_EQ(v.shown, c.shown);
        EXPECT_EQ(v.text, c.text);
        EXPECT_EQ(v.statusText, c.statusText);
    }
    ScriptedDevice silent;
    transport::ScopedBackend scope(silent);
    const auto v = IDEAccess::FormatFirmwareVersion("dev", 16, 5);
    EXPECT_FALSE(v.shown);
    EXPECT_TRUE(v.text.empty() && v.statusText.empty()) << "an unreadable chip shows nothing";
}

TEST(FirmwareVersion, Register506AIsRestoredWheneverItWasRead) {
    struct Case {
        const char* name;
        std::vector<Answer> reads;    // first read R, second read
        std::vector<Answer> writes;   // the zero write, the restoring write
        bool holds;
        std::vector<uint8_t> written; // first byte of each write sent
    };
    const Case cases[] = {
        {"holds: R goes back with bit 0 flipped", {ok({0x5B}), ok({0x01})}, {ok(), ok()}, true, {0x00, 0x5A}},
        {"second read 0", {ok({0x5B}), ok({0x00})}, {ok(), ok()}, false, {0x00, 0x5B}},
        {"second read 3 is not 1", {ok({0x5A}), ok({0x03})}, {ok(), ok()}, false, {0x00, 0x5A}},
        {"second read refused", {ok({0x5B}), refused()}, {ok(), ok()}, false, {0x00, 0x5B}},
        {"zero write refused: no second read, R still restored", {ok({0x5B})}, {refused(), ok()}, false, {0x00, 0x5B}},
        {"first read refused: R unknown, nothing written", {refused()}, {ok()}, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice d;
        d.on(kGet506A, c.reads).on(kSet506A, c.writes);
        transport::ScopedBackend scope(d);
        EXPECT_EQ(IDEAccess::ProbeRegister506A("dev"), c.holds);
        std::vector<uint8_t> written;
        for (const auto& data : d.dataSent(kSet506A)) {
            ASSERT_EQ(data.size(), 2u) << "one byte travels as two";
            written.push_back(data[0]);
        }
        EXPECT_EQ(written, c.written);
    }
}

TEST(ExternalCode, PerChipTypeTest) {
    struct Case {
        const char* name;
        int type;
        std::string version;
        int flashType;
        std::function<void(ScriptedDevice&)> script;
        bool external;
        const char* notSent;   // a read the test must not reach, or null
    };
    const auto gate = [](const char* reg, uint8_t byte, uint8_t bits) {
        return [=](ScriptedDevice& d) {
            std::vector<uint8_t> g(4, 0);
            g[byte] = bits;
            d.on(reg, g);
        };
    };
    const auto both = [](auto a, auto b) { return [=](ScriptedDevice& d) { a(d); b(d); }; };
    const auto answer = [](const char* prefix, std::vector<uint8_t> bytes) { return [=](ScriptedDevice& d) { d.on(prefix, bytes); }; };
    const auto qv5Gate = gate(kGate7038, 2, 0x01);
    const auto qvd528Gate = gate(kGate7038, 2, 0x04);
    const auto qvr227Gate = gate(kGate7038, 2, 0x10);
    const auto qvr256Gate = gate(kGate70F0, 3, 0x01);
    const std::vector<uint8_t> qvMark = {0x55, 0xAA, 0x51, 0x56};
    const Case cases[] = {
        {"QV84556 signed", 5, "1.00", 5, both(qv5Gate, answer(kRegC000, signatureBlock("556", 10))), true, nullptr},
        {"QV84556 with another code", 5, "1.00", 5, both(qv5Gate, answer(kRegC000, signatureBlock("528", 10))), false, nullptr},
        {"QV84556 gate bit clear", 5, "1.00", 5, both(gate(kGate7038, 2, 0xFE), answer(kRegC000, signatureBlock("556", 10))), false, kRegC000},
        {"gate register refused", 5, "1.00", 5, answer(kRegC000, signatureBlock("556", 10)), false, kRegC000},
        {"QVD528 signed", 7, "1.00", 5, both(qvd528Gate, answer(kRegC000, signatureBlock("528", 10))), true, nullptr},
        {"QVD529 signed 529", 9, "7.08.00.16.00", 5, both(qvd528Gate, answer(kNvram1000, signatureBlock("529"))), true, nullptr},
        {"QVD522 signed 522", 10, "7.08.00.16.00", 5, both(qvd528Gate, answer(kNvram1000, signatureBlock("522"))), true, nullptr},
        {"QVD529 internal version", 9, "7.07.00.16.00", 5, both(qvd528Gate, answer(kNvram1000, signatureBlock("529"))), false, kNvram1000},
        {"QVD529 NVRAM refused", 9, "7.08.00.16.00", 5, qvd528Gate, false, nullptr},
        {"QVR227 signed", 12, "9.18.01.16.01", 5, both(qvr227Gate, answer(kNvram1000, signatureBlock("227"))), true, nullptr},
        {"QVR227 internal version", 12, "5.13.11.16.00", 5, both(qvr227Gate, answer(kNvram1000, signatureBlock("227"))), false, nullptr},
        {"QVR256, unknown flash: external", 13, "1.2.3", 0, qvr256Gate, true, kStatus20},
        {"QVR256, status decides no", 13, "1.2.3", 5, both(qvr256Gate, answer(kStatus20, status(20, 1, 0, 0))), false, kNvramBC00},
        {"QVR256, status decides yes", 13, "1.2.3", 5, both(qvr256Gate, answer(kStatus20, status(20, 1, 0, 7))), true, kNvramBC00},
        {"QVR256, empty status: signature at 1012", 13, "1.2.3", 5,
         both(both(qvr256Gate, answer(kStatus20, status(20, 0, 0, 1))), answer(kNvramBC00, signatureBlock("256", 1024, 1012))), true, nullptr},
        {"QVR256, signature at 0 is not it", 13, "1.2.3", 5, both(qvr256Gate, answer(kNvramBC00, signatureBlock("256"))), false, nullptr},
        {"QVR256 internal version", 13, "49.48.48.49", 0, qvr256Gate, false, nullptr},
        {"QVD276 code in flash", 28, "1.02.03", 5, both(qv5Gate, answer(kFlash4000, signatureBlock("276", 1024, 0, qvMark))), true, nullptr},
        {"QVD276 with the other mark", 28, "1.02.03", 5, both(qv5Gate, answer(kFlash4000, signatureBlock("276"))), false, nullptr},
        {"QVD276 internal version", 28, "0.160.144", 5, both(qv5Gate, answer(kFlash4000, signatureBlock("276", 1024, 0, qvMark))), false, kFlash4000},
        {"QVR296 status byte 19", 14, "00.00.00.01", 5, answer(kStatus32, status(32, 0, 0, 1)), true, kChipInfoAlt},
        {"QVR296 alternative information", 14, "00.00.00.01", 5, answer(kChipInfoAlt, std::vector<uint8_t>(16, 0)), true, nullptr},
        {"QVR296 internal version", 14, "00.00.00.01", 5, [](ScriptedDevice&) {}, false, nullptr},
        {"QVR296 other version", 14, "00.00.00.02", 5, [](ScriptedDevice&) {}, true, nullptr},
        {"QVR298 status byte 19 clear", 16, "1", 5, answer(kStatus20, status(20, 0, 0, 0)), false, nullptr},
        {"QVR292 status refused", 18, "1", 5, [](ScriptedDevice&) {}, false, nullptr},
        {"other chips run external code", 1, "1", 5, [](ScriptedDevice&) {}, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice d;
        c.script(d);
        transport::ScopedBackend scope(d);
        EXPECT_EQ(IDEAccess::RunsExternalCode("dev", static_cast<uint8_t>(c.type), c.version,
                                              static_cast<uint8_t>(c.flashType)), c.external);
        if (c.notSent) {
            EXPECT_FALSE(d.sent(c.notSent)) << c.notSent;
        }
    }
}

TEST(ChipPresentation, LabelOfTheQvr296Family) {
    struct Case {
        const char* name;
        std::function<void(ScriptedDevice&)> script;
        std::string label;
    };
    const Case cases[] = {
        {"nothing answers", [](auto&) {}, "QVR290/293/299 Series"},
        {"status byte 8 = 1", [](auto& d) { d.on(kStatus32, status(32, 1, 0, 0)); }, "QVR293/290 Series"},
        {"status byte 8 = 2", [](auto& d) { d.on(kStatus32, status(32, 2, 0, 0)); }, "QVR299 Series"},
        {"alternative information wins", [](auto& d) {
             d.on(kStatus32, status(32, 1, 0, 0)).on(kChipInfoAlt, std::vector<uint8_t>(16, 0));
         }, "QVR296 Series"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice d;
        c.script(d);
        transport::ScopedBackend scope(d);
        EXPECT_EQ(IDEAccess::ChipLabel("dev", 14), c.label);
    }
    ScriptedDevice d;
    transport::ScopedBackend scope(d);
    EXPECT_EQ(IDEAccess::ChipLabel("dev", 16), "QVR298 Series");
    EXPECT_TRUE(d.log().empty());
}

TEST(ChipPresentation, SupportClasses) {
    struct Case {
        const char* name;
        int type;
        std::vector<Answer> status;   // 20-byte chip status answers (types 6 and 29)
        bool decided, flash, version, nvram;
        bool unsupported;
    };
    const Case cases[] = {
        {"unknown chip", 0, {}, true, false, false, false, true},
        {"GPIO-identified QV8455x", 32, {}, true, false, false, false, true},
        {"QV84559: version only", 2, {}, true, false, true, false, false},
        {"QVD529 with NVRAM option", 9, {}, true, true, true, true, false},
        {"QVR298 without NVRAM option", 16, {}, true, true, true, false, false},
        {"QV84586 at 208", 6, {ok(status(20, 208, 0, 0))}, true, false, true, false, false},
        {"QV84586 below 208", 6, {ok(status(20, 207, 0, 0))}, true, false, false, false, true},
        {"QVD246 AB with byte 18 above 209", 29, {ok(status(20, 0xAB, 210, 0))}, true, false, true, false, false},
        {"QVD246 AB with byte 18 at 209", 29, {ok(status(20, 0xAB, 209, 0))}, true, false, false, false, true},
        {"QVD246 byte 8 zero: undecided", 29, {ok(status(20, 0, 250, 0))}, false, false, false, false, false},
        {"QVD246 status refused: undecided", 29, {refused()}, false, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice d;
        if (!c.status.empty()) d.on(kStatus20, c.status);
        transport::ScopedBackend scope(d);
        const auto p = IDEAccess::ChipSupportOf("dev", static_cast<uint8_t>(c.type));
        EXPECT_EQ(p.decided, c.decided);
        EXPECT_EQ(p.showFlash, c.flash);
        EXPECT_EQ(p.showVersion, c.version);
        EXPECT_EQ(p.offersNvram, c.nvram);
        EXPECT_EQ(p.statusText, c.unsupported ? "The chip not support Firmware Update!" : "");
        EXPECT_EQ(d.log().size(), c.status.empty() ? 0u : 1u);
    }
}
