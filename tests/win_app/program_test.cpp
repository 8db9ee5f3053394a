// The program from its command line to its exit code on the headless backend: the unattended
// update with its report, a settings file that cannot be used, and the command line itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "image/image_catalog.h"
#include "sys/resources.h"
#include "win_app/headless_backend.h"
#include "win_app/program.h"

namespace {

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct ProgramRig : ::testing::Test {
    sys::ResourceLoader previous = sys::setResourceLoader(firmware::catalogResources());
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("q55x_winapp_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    winform::HeadlessBackend ui;
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override {
        sys::setResourceLoader(previous);
        std::filesystem::remove_all(dir);
    }
    int run(const std::vector<std::string>& args) {
        winapp::ProgramOptions o;
        std::string error;
        EXPECT_TRUE(winapp::parseProgramOptions(args, o, error)) << error;
        if (o.settingsFile.empty()) {
            // A settings file that sets nothing (comments only).
            o.settingsFile = (dir / "plain.ini").string();
            std::ofstream(o.settingsFile) << "[Settings]\n";
        }
        return winapp::runProgram(ui, o);
    }
};

}  // namespace

TEST_F(ProgramRig, UnattendedUpdatePassesAndReports) {
    const auto report = dir / "r.json";
    EXPECT_EQ(run({"--sim", "qvr298,fw=31.01.01.10", "--auto-update", "--report", report.string()}), winapp::kExitPass);
    const std::string j = readFile(report);
    for (const char* want : {R"("application":"Corvane QV8455x Firmware Update Utility")",
                             R"("caption":"Brannock 778HLNK5 firmware update utility_v1.0.0.0")", R"("pressed":true)",
                             R"("result":"Update    Pass!!")", R"("ok":true)",
                             R"("name":"devpnl","kind":"panel","parent":"Q55xFwTool","caption":"Update    Pass!!")",
                             R"("caption":"Firmware already updated.")", R"("text":"31.01.01.15")"})
        EXPECT_NE(j.find(want), std::string::npos) << want;
    EXPECT_NE(j.find(R"("progress":100)"), std::string::npos);
    EXPECT_TRUE(ui.windowCreated && ui.windowDestroyed);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(ProgramRig, UnattendedRunWithNothingToUpdateFails) {
    const auto report = dir / "r.json";
    EXPECT_EQ(run({"--sim", "qvr298,fw=31.01.01.15", "--auto-update", "--report", report.string()}), winapp::kExitFail);
    const std::string j = readFile(report);
    EXPECT_NE(j.find(R"("pressed":false)"), std::string::npos);
    EXPECT_NE(j.find(R"("result":"Firmware already updated.")"), std::string::npos);
    EXPECT_EQ(run({"--sim", "qvr256", "--auto-update"}), winapp::kExitFail) << "no QVR298";
}

// A VID or PID that is not hexadecimal: one message box naming key and value, no window.
TEST_F(ProgramRig, UnusableSettingsEndStartUp) {
    for (const auto& [text, key, value] : {std::tuple{"VID=72XZ PID=7A3C", "VID", "72XZ"},
                                           std::tuple{"vid 728d\npid=G1", "PID", "G1"}}) {
        SCOPED_TRACE(text);
        winform::HeadlessBackend fresh;
        std::swap(ui, fresh);
        std::ofstream(dir / "bad.ini") << text;
        EXPECT_EQ(run({"--sim", "qvr298", "--settings", (dir / "bad.ini").string()}), winapp::kExitFail);
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].title, "Error");
        EXPECT_NE(ui.boxes[0].text.find(key), std::string::npos);
        EXPECT_NE(ui.boxes[0].text.find(value), std::string::npos);
        EXPECT_FALSE(ui.windowCreated);
    }
}

TEST(WinAppProgram, CommandLine) {
    winapp::ProgramOptions o;
    std::string error;
    ASSERT_TRUE(winapp::parseProgramOptions({"--sim", "a", "--sim", "b,fw=1.2.3.4", "--auto-update", "--report", "r.json"}, o, error));
    EXPECT_EQ(o.sims, (std::vector<std::string>{"a", "b,fw=1.2.3.4"}));
    EXPECT_TRUE(o.autoUpdate);
    EXPECT_EQ(o.reportFile, "r.json");
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--sim"}, {"--report", "r.json"}, {"--fast"}}) {
        winapp::ProgramOptions ignored;
        EXPECT_FALSE(winapp::parseProgramOptions(bad, ignored, error));
        EXPECT_FALSE(error.empty());
    }
}
