// q55x image over every image our generator makes, and over damaged ones.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/catalog_samples.h"
#include "cli/cli.h"
#include "image/image_catalog.h"

namespace fs = std::filesystem;

namespace {

fs::path writeTemp(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path p = fs::temp_directory_path() / ("q55x-image-" + name);
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
    return p;
}

nlohmann::json inspect(const fs::path& p, std::vector<std::string> extra = {}, int* code = nullptr) {
    std::vector<std::string> args{"--json", "image", p.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::ostringstream out, err;
    const int c = cli::runCli(args, out, err);
    if (code) *code = c;
    return nlohmann::json::parse(out.str());
}

using testing_support::catalogBytes;

}  // namespace

TEST(CliImage, StoredChecksumsEqualComputedForEveryGeneratedImage) {
    for (const auto& c : firmware::imageCatalog()) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes;
        std::string error;
        ASSERT_TRUE(firmware::generateImage(c, bytes, error)) << error;
        const fs::path p = writeTemp(std::string(c.name) + "." + c.type, bytes);
        const auto j = inspect(p);
        EXPECT_EQ(j["size"], bytes.size());
        EXPECT_EQ(j["crc16_stored"], j["crc16_computed"]);
        for (const auto& bank : j["banks"]) {
            if (!bank["signature_ok"].get<bool>()) continue;   // RAM images and NVRAM-first files have none
            EXPECT_EQ(bank["crc32_stored"], bank["crc32_computed"]);
        }
        if (!c.signatureChars) {
            EXPECT_EQ(j["chip_code"], c.params.chipCode);
        }
        fs::remove(p);
    }
}

TEST(CliImage, DamageShowsAsADifference) {
    std::vector<uint8_t> twoBank = catalogBytes("FW_FOR_UPDATE"), single = catalogBytes("qvr256_1.02.03");
    twoBank[0x20000 + 0x10] ^= 0x01;
    single[0x20] ^= 0x80;
    const auto a = inspect(writeTemp("damaged-two-bank.bin", twoBank));
    EXPECT_EQ(a["banks"][0]["crc32_stored"], a["banks"][0]["crc32_computed"]);
    EXPECT_NE(a["banks"][1]["crc32_stored"], a["banks"][1]["crc32_computed"]);
    const auto b = inspect(writeTemp("damaged-single.bin", single));
    EXPECT_NE(b["crc16_stored"], b["crc16_computed"]);
}

TEST(CliImage, MatchAgainstAChip) {
    const std::vector<uint8_t> bytes = catalogBytes("qvr253_1.02.05");
    const fs::path p = writeTemp("qvr253.bin", bytes);
    int code = -1;
    EXPECT_TRUE(inspect(p, {"--chip", "qvr253"}, &code)["matches"].get<bool>());
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(inspect(p, {"--chip", "qvr256"}, &code)["matches"].get<bool>());
    EXPECT_EQ(code, 1);
    inspect(p, {"--chip", "nosuch"}, &code);
    EXPECT_EQ(code, 64);

    const fs::path empty = writeTemp("empty.bin", {});
    EXPECT_EQ(inspect(empty, {}, &code)["size"], 0);
    EXPECT_EQ(code, 1);
    std::ostringstream out, err;
    EXPECT_EQ(cli::runCli({"image", "/nonexistent/file.bin"}, out, err), 1);
}
