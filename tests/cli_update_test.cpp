// q55x update, flash and recover as a user runs them against emulated enclosures: exit codes, what
// the chip reports afterwards, and the commands on the wire.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli.h"
#include "firmware/image_catalog.h"
#include "sys/resources.h"

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int code;
    std::string out, err;
    nlohmann::json json() const { return nlohmann::json::parse(out); }
};

CliRun q55x(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int code = cli::runCli(args, out, err);
    return {code, out.str(), err.str()};
}

fs::path temp(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path p = fs::temp_directory_path() / ("q55x-" + std::string(info->name()) + "-" + name);
    fs::remove(p);
    return p;
}

fs::path sample(const std::string& name) {
    for (const auto& c : firmware::imageCatalog()) {
        if (name != c.name) continue;
        std::vector<uint8_t> bytes;
        std::string error;
        EXPECT_TRUE(firmware::generateImage(c, bytes, error)) << error;
        const fs::path p = temp(name + ".bin");
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
        return p;
    }
    ADD_FAILURE() << name;
    return {};
}

// The programs' images, as the build generates them, served in-process.
struct CliUpdate : ::testing::Test {
    sys::ResourceLoader old = sys::setResourceLoader(firmware::catalogResources());
    ~CliUpdate() override { sys::setResourceLoader(old); }
};

std::vector<nlohmann::json> trace(const fs::path& p) {
    std::vector<nlohmann::json> lines;
    std::ifstream f(p);
    for (std::string l; std::getline(f, l);) lines.push_back(nlohmann::json::parse(l));
    return lines;
}

}  // namespace

TEST_F(CliUpdate, OneButtonUpdateThenAlreadyUpdated) {
    const fs::path state = temp("e.state"), t = temp("t.jsonl");
    const std::string sim = "qvr298,fw=31.01.01.10,state=" + state.string();
    CliRun r = q55x({"--json", "--sim", sim, "--trace", t.string(), "update"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.json()["result"], "Update    Pass!!");
    EXPECT_EQ(r.json()["version_before"], "31.01.01.10");
    EXPECT_EQ(r.json()["version_after"], "31.01.01.15");

    // On the wire: the image in 4096-byte WRITE BUFFER mode 14 chunks through the sense variant,
    // offsets ascending, then the reset.
    uint32_t expectOffset = 0;
    int chunks = 0;
    bool reset = false;
    for (const auto& l : trace(t)) {
        const std::string cdb = l["cdb"];
        if (cdb.rfind("3b0e00", 0) == 0) {
            EXPECT_EQ(l["op"], "ScsiDataOutSense");
            EXPECT_EQ(l["len"], 4096);
            EXPECT_EQ(l["timeout"], 10);
            EXPECT_EQ(std::stoul(cdb.substr(6, 6), nullptr, 16), expectOffset);
            EXPECT_EQ(cdb.substr(12, 6), "001000");
            EXPECT_FALSE(reset) << "nothing is programmed after the reset";
            expectOffset += 4096;
            ++chunks;
        }
        if (cdb == "ff0426515600000000000000") reset = true;
    }
    EXPECT_EQ(chunks, 64) << "256 KiB of embedded image";
    EXPECT_TRUE(reset);

    r = q55x({"--sim", sim, "update"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.out.find("Firmware already updated."), std::string::npos);
    fs::remove(state);
    fs::remove(t);
}

TEST_F(CliUpdate, RefusalsWriteNothing) {
    const fs::path t = temp("t.jsonl");
    CliRun r = q55x({"--sim", "qvr298,fw=30.01.01.10", "--trace", t.string(), "update"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Firmware ID not match!!"), std::string::npos);
    for (const auto& l : trace(t)) EXPECT_NE(l["dir"], "out") << l.dump();
    EXPECT_EQ(q55x({"--sim", "qvd529", "update"}).code, 1);
    EXPECT_EQ(q55x({"--sim", "qvr298,noreturn=1", "update"}).code, 1);
    fs::remove(t);
}

TEST_F(CliUpdate, FlashFileThenTheNextPowerOnRunsIt) {
    const fs::path state = temp("e.state");
    const std::string sim = "qvr256,flash=c22011,state=" + state.string();
    CliRun r = q55x({"--json", "--sim", sim, "flash", sample("qvr256_1.02.03").string()});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.json()["status"], "Programming Success!!");
    r = q55x({"--json", "--sim", sim, "info"});
    EXPECT_EQ(r.json()["firmware"], "1.02.03");
    fs::remove(state);
}

TEST_F(CliUpdate, FlashRefusesAFileOfAnotherChipBeforeWriting) {
    const fs::path t = temp("t.jsonl");
    CliRun r = q55x({"--sim", "qvr256", "--trace", t.string(), "flash", sample("qvr253_1.02.05").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("The firmware file seems not match this chip!"), std::string::npos);
    for (const auto& l : trace(t)) EXPECT_NE(l["dir"], "out") << l.dump();
    EXPECT_EQ(q55x({"--sim", "qvr298", "flash", sample("qvr297_31.02.00.05").string()}).code, 1);
    EXPECT_EQ(q55x({"--sim", "qvr298", "flash", "/nonexistent.bin"}).code, 1);
    fs::remove(t);
}

TEST_F(CliUpdate, DamagedBankIsReportedAndRecoveredOnRequest) {
    const fs::path state = temp("e.state");
    const std::string sim = "qvr256,flash=c22011,state=" + state.string();
    // Clear a few bits of bank 1's code through the bridge's own program command.
    ASSERT_EQ(q55x({"--sim", sim, "raw", "ff0411010100000000000000", "--out", "00000000"}).code, 0);
    CliRun r = q55x({"--json", "--sim", sim, "list"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.json()[0]["advice"], "bank 1 damaged, bank 0 valid: run q55x recover");
    r = q55x({"--sim", sim, "recover"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("FW Recovery successful!!"), std::string::npos);
    EXPECT_EQ(q55x({"--json", "--sim", sim, "list"}).json()[0]["advice"], "");
    EXPECT_EQ(q55x({"--sim", sim, "recover"}).code, 2) << "nothing left to recover";
    fs::remove(state);
}
