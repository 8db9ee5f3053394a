// q55x list and info over emulated enclosures of every family.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

#include "cli/cli.h"

namespace {

nlohmann::json listJson(const std::vector<std::string>& sims, int* code = nullptr) {
    std::vector<std::string> args{"--json"};
    for (const auto& s : sims) {
        args.push_back("--sim");
        args.push_back(s);
    }
    args.push_back("list");
    std::ostringstream out, err;
    const int c = cli::runCli(args, out, err);
    if (code) *code = c;
    return nlohmann::json::parse(out.str());
}

}  // namespace

TEST(CliList, EveryFamilyNamedWithItsVersionAndFlash) {
    struct Case { const char* sim; int type; const char* name; const char* firmware; const char* flash; };
    const Case cases[] = {
        {"qvr298,fw=31.01.01.10", 16, "QVR298 Series", "31.01.01.10", "WINBOND"},
        {"qvr298,fw=31.01.01.10,flash=c22013", 16, "QVR298 Series", "31.01.01.10", "MXIC"},
        {"qvr297", 15, "QVR297 Series", nullptr, nullptr},
        {"qvr295", 17, "QVR295 Series", nullptr, nullptr},
        {"qvr292", 18, "QVR292 Series", nullptr, nullptr},
        {"qvr256", 13, "QVR256 Series", nullptr, nullptr},
        {"qvr253", 27, "QVR253 Series", nullptr, nullptr},
        {"qvd529", 9, "QVD522/529 Series", nullptr, nullptr},
        {"qvd528", 7, "QVD528 Series", nullptr, nullptr},
        // A chip information record of 12 bytes: major and minor only.
        {"qvd528,infolen=12", 7, "QVD528 Series", "3.02", nullptr},
        {"qvd523", 11, "QVD523 Series", nullptr, nullptr},
        {"qvd525", 8, "QVD525 Series", nullptr, nullptr},
        {"qvd276", 28, "QVD276 Series", nullptr, nullptr},
        {"qv84552", 1, "QV84552 Series", nullptr, nullptr},
        {"qv84556", 5, "QV84556 Series", nullptr, nullptr},
        {"qv84556e", 30, "QV84556 Series", nullptr, nullptr},
        {"qv84559u", 35, "QV84559", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sim);
        int code = -1;
        const auto doc = listJson({c.sim}, &code);
        ASSERT_EQ(code, 0);
        ASSERT_EQ(doc.size(), 1u);
        const auto& d = doc[0];
        EXPECT_EQ(d["chip_type"], c.type);
        EXPECT_EQ(d["chip_name"], c.name);
        EXPECT_EQ(d["bus"], "usb");
        if (c.firmware) {
            EXPECT_EQ(d["firmware"], c.firmware);
        }
        if (c.flash) {
            EXPECT_EQ(d["flash_name"], c.flash);
        }
        for (const char* key : {"path", "product", "revision", "internal_code", "flash_type", "flash_kib",
                                "block_size", "sector_size"})
            EXPECT_TRUE(d.contains(key)) << key;
    }
}

TEST(CliList, SeveralEnclosuresInOrderAndNoneAtAll) {
    const auto doc = listJson({"qvr298", "qvd529,bus=uas", "qvd525,bus=1394"});
    ASSERT_EQ(doc.size(), 3u);
    EXPECT_EQ(doc[1]["bus"], "uas");
    EXPECT_EQ(doc[2]["bus"], "1394");

    std::ostringstream out, err;
    EXPECT_EQ(cli::runCli({"--sim", "qvr298", "--device", "sim:/dev/sg7", "list"}, out, err), 3);
    EXPECT_NE(err.str().find("No available device!!!"), std::string::npos);
}

TEST(CliInfo, ChipRecordAndJedecId) {
    std::ostringstream out, err;
    ASSERT_EQ(cli::runCli({"--json", "--sim", "qvr298,fw=31.01.01.10,flash=ef3013", "info"}, out, err), 0) << err.str();
    const auto d = nlohmann::json::parse(out.str());
    EXPECT_EQ(std::string(d["chip_info"]).substr(0, 4), "f4e7");
    EXPECT_EQ(std::string(d["chip_info"]).substr(24, 8), "1f01010a");
    EXPECT_EQ(d["flash_kib"], 512);
}
