// q55x as a user runs it: exit codes, the JSON document, the trace, and enclosures that live
// across runs.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli.h"

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int code;
    std::string out, err;
};

CliRun q55x(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int code = cli::runCli(args, out, err);
    return {code, out.str(), err.str()};
}

fs::path tempFile(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path p = fs::temp_directory_path() / ("q55x-" + std::string(info->name()) + "-" + name);
    fs::remove(p);
    return p;
}

std::vector<nlohmann::json> readTrace(const fs::path& p) {
    std::vector<nlohmann::json> lines;
    std::ifstream f(p);
    for (std::string line; std::getline(f, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

}  // namespace

TEST(CliRaw, ChipInformationOfAnEmulatedQvr298WithItsTrace) {
    const fs::path trace = tempFile("t.jsonl");
    CliRun r = q55x({"--sim", "qvr298,fw=31.01.01.10", "--trace", trace.string(), "--json", "raw",
                  "e0f4e7000000000000000000", "--in", "16"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto doc = nlohmann::json::parse(r.out);
    const std::string data = doc["data"];
    EXPECT_EQ(data.substr(0, 4), "f4e7");
    EXPECT_EQ(data.substr(16, 6), "323938") << "chip code 298 at bytes 8-10";
    EXPECT_EQ(data.substr(24, 8), "1f01010a") << "version 31.01.01.10 at bytes 12-15";
    EXPECT_EQ(doc["ok"], true);
    EXPECT_EQ(doc["status"], 0);

    const auto lines = readTrace(trace);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["op"], "ScsiDataIn");
    EXPECT_EQ(lines[0]["cdb"], "e0f4e7000000000000000000");
    EXPECT_EQ(lines[0]["dir"], "in");
    EXPECT_EQ(lines[0]["len"], 16);
    EXPECT_EQ(lines[0]["xfer"], 16);
    EXPECT_EQ(lines[0]["timeout"], 10);
    EXPECT_EQ(lines[0]["ok"], true);
    EXPECT_EQ(lines[0]["sense"], "");
    fs::remove(trace);
}

TEST(CliRaw, AnEnclosureLivesAcrossRunsThroughItsStateFile) {
    const fs::path state = tempFile("e.state");
    const std::string sim = "qvr298,state=" + state.string();
    ASSERT_EQ(q55x({"--sim", sim, "raw", "ff0411050000000000000000", "--out", "0123456789abcdef"}).code, 0);
    CliRun r = q55x({"--sim", sim, "--json", "raw", "ff0410050000000000000000", "--in", "8"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["data"], "0123456789abcdef");
    fs::remove(state);
}

TEST(CliRaw, FailuresAndUsageErrorsHaveTheirExitCodes) {
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const Case cases[] = {
        {{"--sim", "qvr298", "raw", "zz"}, 64},
        {{"--sim", "qvr298", "raw", "e0f4e7000000000000000000", "--in", "4", "--out", "00"}, 64},
        {{"--sim", "nosuchchip", "raw", "e0f4e7000000000000000000"}, 64},
        {{"--sim", "qvr298,bogus=1", "raw", "e0f4e7000000000000000000"}, 64},
        {{"--sim", "qvr298,fail=1", "raw", "e0f4e7000000000000000000", "--in", "16"}, 1},
        {{"--sim", "qvr298", "--device", "sim:/dev/sg9", "raw", "e0f4e7000000000000000000", "--in", "16"}, 1},
        {{"raw"}, 64},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--json");
        CliRun r = q55x(args);
        EXPECT_EQ(r.code, c.code);
        // With --json the output is exactly one document, an error included.
        const auto doc = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << r.out;
        if (c.code == 64) {
            EXPECT_TRUE(doc.contains("error"));
        }
    }
}

TEST(CliRaw, SenseOfAFailedBufferCommand) {
    CliRun r = q55x({"--json", "--sim", "qvr298,notready=1", "raw", "3c03000000000000040000", "--in", "4", "--sense"});
    EXPECT_EQ(r.code, 1);
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["status"], 2);
    EXPECT_EQ(std::string(doc["sense"]).substr(0, 6), "700002");
}
