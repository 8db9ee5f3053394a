// q55x handed what it cannot use: firmware files that are empty, cut short, too large, a
// directory or unreadable; settings files of garbage or of 10 MB; a device path too long for the
// device table. Each ends with a message that says what is wrong, and the enclosure's flash is
// as it was: no command carried data to it, and its saved state is the same byte for byte.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cli/cli.h"
#include "support/catalog_samples.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int code;
    std::string out, err;
};

CliRun q55x(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = cli::runCli(args, out, err);
    return {code, out.str(), err.str()};
}

std::vector<uint8_t> readAll(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

struct CliBadInput : ::testing::Test {
    testing_support::TempDir temp{"q55x-cli-badinput"};
    const fs::path& dir = temp.dir;
    CliBadInput() { ::setenv("XDG_STATE_HOME", (dir / "state-home").c_str(), 1); }
    fs::path write(const std::string& name, const std::vector<uint8_t>& bytes) const { return temp.write(name, bytes); }

    // Runs `args` (after the global options) against one enclosure kept in a state file, and
    // checks that nothing reached its flash. Returns the run.
    CliRun refusedWithoutWriting(const std::string& enclosure, std::vector<std::string> args) {
        const fs::path state = dir / "e.state", trace = dir / "t.jsonl";
        fs::remove(state);
        fs::remove(trace);
        const std::string sim = enclosure + ",state=" + state.string();
        EXPECT_EQ(q55x({"--sim", sim, "info"}).code, 0);
        const std::vector<uint8_t> before = readAll(state);
        EXPECT_FALSE(before.empty());

        std::vector<std::string> full{"--sim", sim, "--trace", trace.string()};
        full.insert(full.end(), args.begin(), args.end());
        const CliRun r = q55x(full);
        std::ifstream t(trace);
        for (std::string line; std::getline(t, line);)
            EXPECT_NE(nlohmann::json::parse(line)["dir"], "out") << line;
        EXPECT_EQ(readAll(state), before) << "the enclosure's flash or disk changed";
        return r;
    }
};

bool runningAsRoot() { return ::geteuid() == 0; }

}  // namespace

TEST_F(CliBadInput, FirmwareFilesThatAreNoFirmware) {
    const std::vector<uint8_t> qvr256 = testing_support::catalogBytes("qvr256_1.02.03");
    std::vector<uint8_t> cut(qvr256.begin(), qvr256.begin() + 0xBFF0 + 5);   // the signature block is at 0xBFF0
    std::vector<uint8_t> overFlash = qvr256;
    overFlash.resize(256 * 1024, 0xFF);                                        // MX25L1005: 128 KiB
    const fs::path huge = dir / "huge.bin";
    std::ofstream(huge).close();
    fs::resize_file(huge, (64u << 20) + 1);
    fs::create_directory(dir / "folder.bin");

    struct Case { fs::path file; const char* says; int code = 1; };
    for (const Case& c : std::initializer_list<Case>{
             {write("empty.bin", {}), "The firmware file is empty."},
             {dir / "folder.bin", "Open File Error!!"},
             {dir / "missing.bin", "Open File Error!!"},
             {huge, "The firmware file is larger than any flash."},
             {write("cut.bin", cut), "The firmware file seems not match this chip!", 4},
             {write("over.bin", overFlash), "The firmware file size is bigger than the flash size!", 4}}) {
        SCOPED_TRACE(c.file.string());
        const CliRun r = refusedWithoutWriting("qvr256,flash=c22011", {"flash", "--yes", "--no-backup", c.file.string()});
        EXPECT_EQ(r.code, c.code);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

TEST_F(CliBadInput, UnreadableFirmwareFile) {
    if (runningAsRoot()) GTEST_SKIP() << "root reads a file whatever its permissions";
    const fs::path p = write("locked.bin", testing_support::catalogBytes("qvr256_1.02.03"));
    fs::permissions(p, fs::perms::none);
    const CliRun r = refusedWithoutWriting("qvr256", {"flash", "--yes", "--no-backup", p.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Open File Error!!"), std::string::npos) << r.err;
}

TEST_F(CliBadInput, ImageCommandSaysWhatIsWrong) {
    const fs::path huge = dir / "huge.bin";
    std::ofstream(huge).close();
    fs::resize_file(huge, (64u << 20) + 1);
    struct Case { fs::path file; const char* says; };
    for (const Case& c : std::initializer_list<Case>{
             {write("empty.bin", {}), "the file is empty"},
             {huge, "the file is larger than any flash; it was not read"},
             {dir, "Open Firmware File Error!!"}}) {
        SCOPED_TRACE(c.file.string());
        const CliRun r = q55x({"image", c.file.string()});
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    const CliRun j = q55x({"--json", "image", huge.string()});
    EXPECT_EQ(nlohmann::json::parse(j.out)["problem"], "the file is larger than any flash; it was not read");
}

TEST_F(CliBadInput, SettingsFilesThatAreNoSettings) {
    std::vector<uint8_t> garbage(2048);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 37 + 1);
    std::vector<uint8_t> big(10u << 20, ' ');
    fs::create_directory(dir / "folder.ini");
    const fs::path qvr298 = write("qvr298.bin", testing_support::catalogBytes("qvr298_31.01.01.20"));

    struct Case { fs::path file; const char* says; };
    for (const Case& c : std::initializer_list<Case>{
             {write("garbage.ini", garbage), "is not a text file (byte 0x01 at offset 0)"},
             {write("big.ini", big), "is larger than 1 MiB"},
             {dir / "folder.ini", "cannot read the settings file"},
             {dir / "missing.ini", "cannot read the settings file"}}) {
        SCOPED_TRACE(c.file.string());
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"update", "--yes", "--no-backup", "--settings", c.file.string()},
              std::vector<std::string>{"flash", "--yes", "--no-backup", "--settings", c.file.string(), qvr298.string()}}) {
            const CliRun r = refusedWithoutWriting("qvr298,fw=31.01.01.10", args);
            EXPECT_EQ(r.code, 64);
            EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        }
    }
}

TEST_F(CliBadInput, DevicePathLongerThanTheTableKeeps) {
    const std::string longPath = "sim:/dev/sg0" + std::string(250, 'x');
    const fs::path trace = dir / "t.jsonl";
    const CliRun r = q55x({"--sim", "qvr298", "--trace", trace.string(), "--device", longPath, "info"});
    EXPECT_EQ(r.code, 64);
    EXPECT_NE(r.err.find("the device path is longer than 255 characters"), std::string::npos) << r.err;
    EXPECT_EQ(readAll(trace).size(), 0u) << "no command is sent anywhere";
    // 255 characters are still a path (of no device here).
    EXPECT_EQ(q55x({"--sim", "qvr298", "--device", std::string(255, 'y'), "info"}).code, 3);
}

// A reply shorter than asked for fails its command. Wherever that happens before the flash is
// first written, the update either stops with nothing written and says why, or, when the command
// was one it can do without (a flash that does not answer its JEDEC probe counts as an unknown
// flash of 64 KiB), ends with the file in flash and the chip running it.
TEST_F(CliBadInput, ShortReplyBeforeTheFirstWrite) {
    const fs::path file = write("qvr256.bin", testing_support::catalogBytes("qvr256_1.02.03"));
    const fs::path state = dir / "e.state", trace = dir / "t.jsonl";
    const auto run = [&](const std::string& faults) {
        fs::remove(state);
        EXPECT_EQ(q55x({"--sim", "qvr256,state=" + state.string(), "info"}).code, 0);
        return q55x({"--sim", "qvr256" + faults + ",state=" + state.string(), "--trace", trace.string(), "flash",
                     "--yes", "--no-backup", file.string()});
    };
    fs::remove(state);
    ASSERT_EQ(q55x({"--sim", "qvr256,state=" + state.string(), "info"}).code, 0);
    const std::vector<uint8_t> untouched = readAll(state);
    ASSERT_EQ(run("").code, 0);
    const std::vector<uint8_t> updated = readAll(state);
    ASSERT_NE(updated, untouched);

    // The data-in commands sent before the first one that carries data to the enclosure.
    size_t readsFirst = 0;
    std::ifstream t(trace);
    for (std::string line; std::getline(t, line);) {
        const auto dir = nlohmann::json::parse(line)["dir"];
        if (dir == "out") break;
        if (dir == "in") ++readsFirst;
    }
    ASSERT_GT(readsFirst, 5u);

    for (size_t k = 1; k <= readsFirst; ++k) {
        SCOPED_TRACE("short=" + std::to_string(k));
        const CliRun r = run(",short=" + std::to_string(k));
        const std::vector<uint8_t> after = readAll(state);
        if (r.code == 0) {
            if (after == updated) continue;
            EXPECT_EQ(q55x({"--sim", "qvr256,state=" + state.string(), "verify", file.string()}).code, 0);
            const CliRun info = q55x({"--json", "--sim", "qvr256,state=" + state.string(), "info"});
            EXPECT_EQ(nlohmann::json::parse(info.out)["firmware"], "1.02.03");
        } else {
            EXPECT_EQ(after, untouched) << "a failed run wrote; " << r.out << r.err;
            EXPECT_FALSE((r.out + r.err).empty()) << "a failed run says why";
        }
    }
}
