// q55x update, flash and recover as a user runs them against emulated enclosures: exit codes, what
// the chip reports afterwards, and the commands on the wire.
#include <gtest/gtest.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "cli/cli.h"
#include "image/image_catalog.h"
#include "sim/session.h"
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

// The programs' images, as the build generates them, served in-process; backups go to a folder of
// the test's own.
struct CliUpdate : ::testing::Test {
    sys::ResourceLoader old = sys::setResourceLoader(firmware::catalogResources());
    fs::path stateHome = temp("state-home");
    CliUpdate() { ::setenv("XDG_STATE_HOME", stateHome.c_str(), 1); }
    ~CliUpdate() override {
        sys::setResourceLoader(old);
        fs::remove_all(stateHome);
    }
    size_t backups() const {
        std::error_code ec;
        size_t n = 0;
        for (auto it = fs::directory_iterator(stateHome / "q55x/backups", ec); !ec && it != fs::directory_iterator(); ++it) ++n;
        return n;
    }
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
    CliRun r = q55x({"--json", "--sim", sim, "--trace", t.string(), "update", "--yes"});
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

    EXPECT_EQ(backups(), 1u) << "the flash was kept before it was written";
    EXPECT_EQ(r.json()["backup"].get<std::string>().rfind(stateHome.string(), 0), 0u);

    r = q55x({"--sim", sim, "update", "--yes"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.out.find("Firmware already updated."), std::string::npos);
    EXPECT_EQ(q55x({"--sim", sim, "update", "--yes", "--allow-reinstall", "--no-backup"}).code, 0);
    EXPECT_EQ(backups(), 1u);
    fs::remove(state);
    fs::remove(t);
}

// A second bridge stays attached while the updated one is off the bus after its reset: the wait
// is for ours, found by who it is (a twin of its serial on another port is not it; at another node
// it is), and the version shown afterwards is read from ours. Two at its port are a guess: refused.
TEST_F(CliUpdate, UpdateBesideAnotherBridgeWaitsForItsOwn) {
    const fs::path state = temp("e.state");
    const std::string sim = "qvr298,fw=31.01.01.10,state=" + state.string();
    struct Case { const char* ours; const char* other; int code; };
    for (const Case& c : std::initializer_list<Case>{{"", "qvd528", 0},
                                                     {"", "qvr298,fw=31.01.01.10", 0},
                                                     {",serial=T1", "qvr298,fw=31.01.01.10,serial=T1", 0},
                                                     {",renode=1", "qvr298,fw=31.01.01.10", 0},
                                                     {",twins=1", "qvd528", 8}}) {
        SCOPED_TRACE(std::string(c.ours) + " beside " + c.other);
        fs::remove(state);
        const CliRun r = q55x({"--json", "--sim", sim + c.ours, "--sim", c.other, "--device", "sim:/dev/sg1", "update", "--yes", "--no-backup"});
        ASSERT_EQ(r.code, c.code) << r.out << r.err;
        if (c.code) continue;
        EXPECT_EQ(r.json()["version_after"], "31.01.01.15");
        const CliRun after = q55x({"--sim", sim, "list"});
        EXPECT_NE(after.out.find("31.01.01.15"), std::string::npos) << after.out;
    }
    fs::remove(state);
}

TEST_F(CliUpdate, RefusalsWriteNothing) {
    const fs::path t = temp("t.jsonl");
    CliRun r = q55x({"--sim", "qvr298,fw=30.01.01.10", "--trace", t.string(), "update", "--yes"});
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("Firmware ID not match!!"), std::string::npos);
    for (const auto& l : trace(t)) EXPECT_NE(l["dir"], "out") << l.dump();
    EXPECT_EQ(q55x({"--sim", "qvd529", "update", "--yes"}).code, 4);
    EXPECT_EQ(q55x({"--sim", "qvr298,noreturn=1", "update", "--yes"}).code, 8);
    // Not on a terminal and not told --yes: nothing is written.
    fs::remove(t);
    EXPECT_EQ(q55x({"--sim", "qvr298", "--trace", t.string(), "update"}).code, 64);
    for (const auto& l : trace(t)) EXPECT_NE(l["dir"], "out") << l.dump();
    // A dry run sends identification only.
    const size_t backupsBefore = backups();
    fs::remove(t);
    r = q55x({"--sim", "qvr298", "--trace", t.string(), "update", "--dry-run"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("writes:"), std::string::npos);
    for (const auto& l : trace(t)) EXPECT_NE(l["dir"], "out") << l.dump();
    EXPECT_EQ(backups(), backupsBefore);
    fs::remove(t);
}

TEST_F(CliUpdate, FlashFileThenTheNextPowerOnRunsIt) {
    const fs::path state = temp("e.state");
    const std::string sim = "qvr256,flash=c22011,state=" + state.string();
    CliRun r = q55x({"--json", "--sim", sim, "flash", "--yes", sample("qvr256_1.02.03").string()});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.json()["status"], "Programming Success!!");
    r = q55x({"--json", "--sim", sim, "info"});
    EXPECT_EQ(r.json()["firmware"], "1.02.03");
    // The kept NVRAM is the one the enclosure started with, which our generator made alike.
    EXPECT_EQ(q55x({"--sim", sim, "verify", sample("qvr256_1.02.03").string()}).code, 0);
    fs::remove(state);
}

TEST_F(CliUpdate, FlashRefusesAFileOfAnotherChipBeforeWriting) {
    const fs::path t = temp("t.jsonl");
    CliRun r = q55x({"--sim", "qvr256", "--trace", t.string(), "flash", "--yes", sample("qvr253_1.02.05").string()});
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("The firmware file seems not match this chip!"), std::string::npos);
    for (const auto& l : trace(t)) EXPECT_NE(l["dir"], "out") << l.dump();
    EXPECT_EQ(q55x({"--sim", "qvr298", "flash", "--yes", sample("qvr297_31.02.00.05").string()}).code, 4);
    EXPECT_EQ(q55x({"--sim", "qvr298", "flash", "--yes", "/nonexistent.bin"}).code, 1);
    // The version the chip already runs, or an older one, only when asked for.
    EXPECT_EQ(q55x({"--sim", "qvr298,fw=31.01.01.20", "flash", "--yes", sample("qvr298_31.01.01.20").string()}).code, 2);
    EXPECT_EQ(q55x({"--sim", "qvr298,fw=31.01.01.30", "flash", "--yes", sample("qvr298_31.01.01.20").string()}).code, 4);
    EXPECT_EQ(q55x({"--sim", "qvr298,fw=31.01.01.30", "flash", "--yes", "--allow-older", "--no-backup",
                    sample("qvr298_31.01.01.20").string()}).code, 0);
    // The SST form writes a file's own NVRAM over the chip's: only when asked to.
    fs::remove(t);
    const std::string sst = "qvr227b4,flash=SST25VF016B";
    r = q55x({"--sim", sst, "--trace", t.string(), "flash", "--yes", sample("qvr227_with_nvram").string()});
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("--include-nvram"), std::string::npos);
    for (const auto& l : trace(t)) EXPECT_NE(l["dir"], "out") << l.dump();
    EXPECT_EQ(q55x({"--sim", sst, "flash", "--yes", "--no-backup", "--include-nvram", sample("qvr227_with_nvram").string()}).code, 0);
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

TEST_F(CliUpdate, BackupAndVerify) {
    const fs::path state = temp("e.state"), copy = temp("copy.bin");
    const std::string sim = "qvd528,state=" + state.string();
    CliRun r = q55x({"--json", "--sim", sim, "backup", copy.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(fs::file_size(copy), r.json()["bytes"].get<size_t>());
    EXPECT_EQ(q55x({"--sim", sim, "verify", copy.string()}).code, 0);
    // One bit of the flash cleared: verify names the place and the count.
    ASSERT_EQ(q55x({"--sim", sim, "raw", "ff0411002000000000000000", "--out", "00"}).code, 0);
    r = q55x({"--json", "--sim", sim, "verify", copy.string()});
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.json()["first_difference"], 0x2000);
    EXPECT_GE(r.json()["differing"].get<int>(), 1);
    fs::remove(state);
    fs::remove(copy);
}

TEST_F(CliUpdate, FlashServesEveryFamilyThroughItsOwnProcedure) {
    struct Case { const char* sim; const char* sample; };
    const Case cases[] = {
        {"qvd528", "qvd528_with_nvram"},   {"qvd523", "qvd523_with_nvram"},
        {"qvd529", "qvd529_with_nvram"},   {"qvr227", "qvr227_with_nvram"},
        {"qv84556", "qv84556_with_nvram"},  {"qv84552", "qv84552_with_nvram"},
        {"qvr294", "qvr294_31.05.00.01"},  {"qvd525,bus=1394", "qvd525_with_nvram"},
        {"qvr253", "qvr253_1.02.05"},      {"qvr296", "qvr296_1.02.04"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sim);
        CliRun r = q55x({"--json", "--sim", c.sim, "flash", "--yes", "--no-backup", sample(c.sample).string()});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        if (r.code == 0) {
            EXPECT_EQ(r.json()["status"], "Programming Success!!");
        }
    }
}

// What a dry run says is what the real run does, on every model the emulator plays: each is
// given its family's sample file where there is one, else its own flash contents, and both runs
// report the same procedure (or the same refusal).
TEST_F(CliUpdate, DryRunAndRealRunTakeOneProcedureOnEveryModel) {
    size_t count = 0, ran = 0;
    const sim::ChipPersona* personas = sim::chipPersonas(&count);
    for (size_t i = 0; i < count; ++i) {
        const std::string model = personas[i].model;
        SCOPED_TRACE(model);
        fs::path file = temp(model + ".bin");
        bool hasSample = false;
        for (const auto& c : firmware::imageCatalog()) hasSample = hasSample || model + "_with_nvram" == c.name;
        if (hasSample) {
            file = sample(model + "_with_nvram");
        } else {
            sim::Session session;
            std::string error;
            ASSERT_TRUE(session.bus().addEnclosure(model, error)) << error;
            const auto& flash = session.bus().enclosure(0).flash();
            std::ofstream(file, std::ios::binary)
                .write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
        }
        const std::vector<std::string> flags{"--allow-reinstall", "--allow-older", "--no-backup", file.string()};
        std::vector<std::string> dry{"--json", "--sim", model, "flash", "--dry-run"}, real{"--json", "--sim", model, "flash", "--yes"};
        dry.insert(dry.end(), flags.begin(), flags.end());
        real.insert(real.end(), flags.begin(), flags.end());
        const CliRun d = q55x(dry), r = q55x(real);
        const nlohmann::json dj = d.out.empty() ? nlohmann::json::parse(d.err) : d.json();
        const nlohmann::json rj = r.out.empty() ? nlohmann::json::parse(r.err) : r.json();
        if (dj.contains("error")) {
            EXPECT_EQ(rj["error"]["message"], dj["error"]["message"]) << r.out << r.err;
        } else {
            EXPECT_EQ(d.code, 0);
            ASSERT_TRUE(rj.contains("procedure")) << r.out << r.err;
            EXPECT_EQ(rj["procedure"], dj["procedure"]);
            EXPECT_NE(dj["plan"].get<std::string>().find(dj["procedure"].get<std::string>()), std::string::npos);
            ++ran;
        }
        fs::remove(file);
    }
    EXPECT_GE(ran, 17u) << "most models are updated by some procedure";

    // A QVR227 on its ROM code (flash erased) does not answer the ready register: the 528-series
    // route, in the plan as in the run.
    const fs::path state = temp("227.state"), file = sample("qvr227_with_nvram");
    const std::string sim = "qvr227,state=" + state.string();
    ASSERT_EQ(q55x({"--sim", sim, "raw", "ff0413000000000000000000"}).code, 0);   // chip erase
    const CliRun d = q55x({"--json", "--sim", sim, "flash", "--dry-run", file.string()});
    const CliRun r = q55x({"--json", "--sim", sim, "flash", "--yes", "--no-backup", file.string()});
    EXPECT_EQ(d.json()["procedure"], "UpdateFlash_528Series") << d.out << d.err;
    EXPECT_EQ(r.json()["procedure"], "UpdateFlash_528Series") << r.out << r.err;
    EXPECT_EQ(r.code, 0);
    fs::remove(state);
}

// A 1394 bridge is known by the bus discovery reports, not by its path's text (a Linux node says
// nothing of it): the QVD525 reports its flash itself, with no AMIC or ATMEL probe, and takes the
// 1394 procedure's 256-byte direct writes, whether found or named with --device.
TEST_F(CliUpdate, A1394BridgeTakesThe1394RouteWhateverItsPathSays) {
    const fs::path file = sample("qvd525_with_nvram");
    for (const bool named : {false, true}) {
        SCOPED_TRACE(named ? "--device" : "found");
        const fs::path t = temp("t.jsonl");
        std::vector<std::string> device;
        if (named) device = {"--device", "sim:/dev/sg1"};
        auto args = [&](std::vector<std::string> tail) {
            std::vector<std::string> a{"--json", "--sim", "qvd525,bus=1394", "--trace", t.string()};
            a.insert(a.end(), device.begin(), device.end());
            a.insert(a.end(), tail.begin(), tail.end());
            return a;
        };
        const CliRun list = q55x(args({"list"}));
        ASSERT_EQ(list.code, 0) << list.err;
        EXPECT_EQ(list.json()[0]["bus"], "1394");
        ASSERT_EQ(q55x(args({"flash", "--yes", "--no-backup", file.string()})).code, 0);
        size_t writes = 0;
        for (const auto& l : trace(t)) {
            const std::string cdb = l["cdb"];
            EXPECT_NE(cdb.substr(0, 10), "ff04200101") << "a flash model probe went to a 1394 bridge";
            EXPECT_TRUE(cdb.substr(0, 6) != "ff0411" && cdb.substr(0, 6) != "ff0414") << cdb;
            if (l["dir"] != "out") continue;
            ++writes;
            EXPECT_EQ(cdb.substr(0, 2) + cdb.substr(22, 2), "dffb") << cdb;
            EXPECT_EQ(l["len"], 256);
        }
        EXPECT_GE(writes, 0x8000u / 256);
    }
}

// A failed update says why: the procedure's own text, then the cause (step, address, the failing
// command's status and sense, or the bridge that did not come back) and what to do next.
TEST_F(CliUpdate, FailuresSayWhy) {
    const fs::path file = sample("qvd528_with_nvram"), t = temp("t.jsonl");
    // The enclosure counts commands of one opcode for fail=: find the first flash write among them.
    ASSERT_EQ(q55x({"--sim", "qvd528", "--trace", t.string(), "flash", "--yes", "--no-backup", file.string()}).code, 0);
    int ffCommands = 0, firstWrite = 0, firstRead = 0;
    for (const auto& l : trace(t)) {
        const std::string cdb = l["cdb"];
        if (cdb.substr(0, 2) != "ff") continue;
        ++ffCommands;
        if (!firstRead && cdb.substr(0, 6) == "ff0410") firstRead = ffCommands;
        if (!firstWrite && cdb.substr(0, 6) == "ff0411") firstWrite = ffCommands;
    }
    ASSERT_TRUE(firstRead && firstWrite);

    struct Case {
        std::string sim;
        std::vector<std::string> command;
        const char* step;
        std::optional<int> status;       // of the failing command, when one failed
        const char* cause;
        const char* next;
    };
    const std::vector<std::string> flash{"flash", "--yes", "--no-backup", file.string()};
    const Case cases[] = {
        {"qvr298,fw=31.01.01.10,noreturn=1", {"update", "--yes"}, "waiting for the bridge after its reset", {},
         "the bridge did not come back within 32 s after its reset", "Turn the enclosure off and on again"},
        {"qvd528,failop=ff,fail=" + std::to_string(firstWrite), flash, "programming the flash", 2,
         "programming the flash at 0x000000: command ff0411000000000000000000 ended with status 2 (CHECK CONDITION), "
         "sense key 0B ABORTED COMMAND, ASC/ASCQ 00/00",
         "then run `q55x recover --yes`: it finishes the update from its journal"},
        {"qvd528,failop=ff,fail=" + std::to_string(firstRead), flash, "reading the chip's NVRAM before the update", 2,
         "ff0410000000000000000000 ended with status 2", "Nothing was written to the flash; run the command again."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sim);
        std::vector<std::string> args{"--json", "--sim", c.sim};
        args.insert(args.end(), c.command.begin(), c.command.end());
        const CliRun r = q55x(args);
        EXPECT_EQ(r.code, std::string(c.next).rfind("Nothing was written", 0) == 0 ? 1 : 8) << r.out << r.err;
        const auto e = r.json()["error"];
        EXPECT_EQ(e["step"], c.step);
        EXPECT_NE(e["cause"].get<std::string>().find(c.cause), std::string::npos) << e["cause"];
        EXPECT_NE(e["next"].get<std::string>().find(c.next), std::string::npos) << e["next"];
        EXPECT_EQ(e.contains("scsi"), c.status.has_value());
        if (c.status) {
            EXPECT_EQ(e["scsi"]["status"], *c.status);
            EXPECT_EQ(e["scsi"]["sense"].get<std::string>().substr(0, 6), "70000b");
            EXPECT_EQ(e["address"], 0);
        }
        // On the terminal: the procedure's text first, the cause and next step below it.
        args.erase(args.begin());
        const CliRun text = q55x(args);
        const size_t cause = text.out.find("\ncause: "), next = text.out.find("\nnext:  ");
        EXPECT_TRUE(cause != std::string::npos && next > cause) << text.out;
        EXPECT_LT(text.out.find(c.sim.rfind("qvr298", 0) == 0 ? "Update    Fail!!" : "Update failed: "), cause);
    }
}

TEST_F(CliUpdate, AllEnclosuresAtOnceWithOneLineEach) {
    for (const char* jobs : {"1", "4"}) {
        SCOPED_TRACE(jobs);
        CliRun r = q55x({"--json", "--sim", "qvr298", "--sim", "qvr298,fw=31.01.01.15", "--sim", "qvd529", "--sim",
                         "qvr298,bus=uas", "--sim", "qvr298,fw=30.01.01.01", "update", "--all", "--yes",
                         "--no-backup", "--jobs", jobs});
        EXPECT_EQ(r.code, 4) << "one enclosure's firmware ID does not match";
        const auto all = r.json();
        ASSERT_EQ(all.size(), 4u) << "the QVD529 is not a QVR298";
        EXPECT_EQ(all[0]["report"]["result"], "Update    Pass!!");
        EXPECT_EQ(all[0]["report"]["version_after"], "31.01.01.15");
        EXPECT_EQ(all[1]["exit"], 2);
        EXPECT_EQ(all[2]["report"]["result"], "Update    Pass!!");
        EXPECT_EQ(all[3]["report"]["error"]["message"], "Firmware ID not match!!");
    }
    EXPECT_EQ(q55x({"--sim", "qvr298", "--sim", "qvr298", "update", "--all"}).code, 64) << "asked once, and not on a terminal";
}

// A version, each command shown with -v, and no guess at which of several bridges a script meant.
TEST_F(CliUpdate, TheConventionsOfTheFieldsTools) {
    EXPECT_EQ(q55x({"--version"}).out, std::string("q55x ") + cli::versionText() + "\n");
    const CliRun v = q55x({"--sim", "qvr298", "-v", "info"});
    ASSERT_EQ(v.code, 0);
    EXPECT_NE(v.err.find("q55x: ScsiDataIn sim:/dev/sg1\n    cdb: 120000002800000000000000  in 40 bytes, timeout 10 s\n"
                         "    status 0x00 (GOOD), host 0x00, driver 0x00\n    000000 "), std::string::npos) << v.err;

    const fs::path t = temp("t.jsonl");
    for (const char* command : {"update", "flash"}) {
        SCOPED_TRACE(command);
        std::vector<std::string> args{"--sim", "qvr298,fw=31.01.01.10", "--sim", "qvr298,fw=31.01.01.10", "--trace", t.string(),
                                      command, "--yes"};
        if (std::string(command) == "flash") args.push_back(sample("qvr298_31.01.01.20").string());
        const CliRun r = q55x(args);
        EXPECT_EQ(r.code, 4);
        EXPECT_NE(r.err.find("2 bridges are attached (sim:/dev/sg1 sim:/dev/sg2); name one with --device"), std::string::npos) << r.err;
        for (const auto& l : trace(t)) EXPECT_NE(l["dir"], "out") << l.dump();
    }
    fs::remove(t);
}

// A failure before anything is written carries its cause (the step, the command's status and
// sense, or that the device left), in the text and in --json; never a bare "fail".
TEST_F(CliUpdate, AFailureBeforeWritingCarriesItsCause) {
    struct Case { const char* fault; const char* message; const char* step; const char* cause; };
    for (const Case& c : std::initializer_list<Case>{
             {"failop=e0,fail=1", "Get chip information fail !", "reading the chip information",
              "command e0f4e7000000000000000000 ended with status 2 (CHECK CONDITION), sense key 0B ABORTED COMMAND"},
             {"drop=3", "Get chip information fail !", "reading the chip information", "it has left the bus"},
             {"failop=3c,fail=4", "backup of the flash failed", "reading the flash for the backup at 0x000000",
              "command 3c010000000000100000 ended with status 2 (CHECK CONDITION)"},
             {"drop=20", "backup of the flash failed", "reading the flash for the backup at 0x006000", "it has left the bus"}}) {
        SCOPED_TRACE(c.fault);
        const std::string sim = std::string("qvr298,fw=31.01.01.10,") + c.fault;
        const CliRun text = q55x({"--sim", sim, "update", "--yes"});
        EXPECT_EQ(text.code, 1);
        EXPECT_NE(text.err.find(c.message), std::string::npos) << text.err;
        EXPECT_NE(text.err.find(std::string("cause: ") + c.step + ": "), std::string::npos) << text.err;
        EXPECT_NE(text.err.find(c.cause), std::string::npos) << text.err;
        const nlohmann::json e = q55x({"--json", "--sim", sim, "update", "--yes"}).json()["error"];
        EXPECT_NE(e["cause"].get<std::string>().find(c.cause), std::string::npos) << e.dump();
        EXPECT_EQ(e["scsi"]["status"], c.cause[0] == 'c' ? 2 : 0) << e.dump();
    }
}

// Another maker's device gets the kernel's own INQUIRY once a command, a `list` or an update whose
// wait for the bridge after its reset scans twice a second.
TEST_F(CliUpdate, AnotherMakersDeviceGetsOneStandardInquiryPerCommand) {
    const fs::path t = temp("t.jsonl");
    for (const std::vector<std::string>& command : {std::vector<std::string>{"list"}, {"update", "--yes", "--no-backup"}}) {
        std::vector<std::string> args{"--sim", "qvr298,fw=31.01.01.10", "--sim", "qv84556,usbid=0bc2:2322", "--trace", t.string()};
        args.insert(args.end(), command.begin(), command.end());
        fs::remove(t);
        EXPECT_EQ(q55x(args).code, 0) << command[0];
        std::vector<std::string> sent;
        for (const auto& l : trace(t))
            if (l["path"] == "sim:/dev/sg2") sent.push_back(l["cdb"]);
        EXPECT_EQ(sent, std::vector<std::string>{"120000002400"}) << command[0];
    }
}

// A transfer limit is named before anything is written; the transport never sends more.
TEST_F(CliUpdate, ATransferLimitIsNamedBeforeAnythingIsWritten) {
    const fs::path t = temp("t.jsonl");
    const std::string file = sample("qvr298_31.01.01.20").string();
    CliRun r = q55x({"--sim", "qvr298,fw=31.01.01.10,xferlimit=32", "--trace", t.string(), "flash", "--yes", file});
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("sends 64 KiB in one command, and the host lets at most 32 KiB through to sim:/dev/sg1"), std::string::npos) << r.err;
    for (const auto& l : trace(t)) EXPECT_NE(l["dir"], "out") << l.dump();
    EXPECT_EQ(q55x({"--sim", "qvr298,fw=31.01.01.10,xferlimit=64", "flash", "--yes", "--no-backup", file}).code, 0);
    r = q55x({"--json", "--sim", "qvr298,xferlimit=32", "raw", "3c0200000000000080000000", "--in", "32769"});
    EXPECT_EQ(r.json()["errno"], EOVERFLOW);
    fs::remove(t);
}
