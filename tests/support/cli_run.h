// Running q55x in the test's own process, as a user would on a terminal, and the files its runs
// need: the sample firmware files our generator makes, a folder of the test's own.
#pragma once
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "image/image_catalog.h"

namespace testsupport {

struct CliRun {
    int code;
    std::string out, err;
    nlohmann::json json() const { return nlohmann::json::parse(out); }
};

inline CliRun q55x(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = cli::runCli(args, out, err);
    return {code, out.str(), err.str()};
}

// A folder named for the running test, empty.
inline std::filesystem::path testFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::filesystem::path p =
        std::filesystem::temp_directory_path() / ("q55x-" + std::string(info->test_suite_name()) + "-" + info->name());
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p;
}

inline std::vector<uint8_t> readBytes(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::filesystem::path& p, const std::vector<uint8_t>& b) {
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A catalogue sample (by its name) as a file in `folder`.
inline std::filesystem::path sampleFile(const std::filesystem::path& folder, const std::string& name) {
    for (const auto& c : firmware::imageCatalog()) {
        if (name != c.name) continue;
        std::vector<uint8_t> bytes;
        std::string error;
        EXPECT_TRUE(firmware::generateImage(c, bytes, error)) << error;
        const std::filesystem::path p = folder / (name + ".bin");
        writeBytes(p, bytes);
        return p;
    }
    ADD_FAILURE() << "no catalogue sample " << name;
    return {};
}

}  // namespace testsupport
