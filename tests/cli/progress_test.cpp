// The terminal's progress display: which status texts start a stage, how bytes are counted from
// the commands, and what a user sees on a terminal during an update of an emulated enclosure.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/cli.h"
#include "cli/progress_bar.h"
#include "image/image_catalog.h"
#include "update/update_texts.h"
#include "sys/clock.h"
#include "sys/resources.h"

namespace {

using cli::ProgressStage;

TEST(CliProgress, StatusTextsStartStagesAndResultsStayMessages) {
    EXPECT_EQ(cli::stageOfStatus(firmware::kTextErasing), ProgressStage::Erase);
    EXPECT_EQ(cli::stageOfStatus(firmware::kTextProgramming), ProgressStage::Write);
    EXPECT_EQ(cli::stageOfStatus(firmware::kTextProgrammingFlash), ProgressStage::Write);
    EXPECT_EQ(cli::stageOfStatus(firmware::kTextDownloading), ProgressStage::Write);
    EXPECT_EQ(cli::stageOfStatus(firmware::kTextReading), ProgressStage::ReadBack);
    for (const char* message : {firmware::kTextProgrammingFail, firmware::kTextReadErasedError,
                                firmware::kTextCompareFail, firmware::kTextDownloadFail, firmware::kTextAutoReset,
                                firmware::kTextBoundaryError, "Programming Success!!", ""})
        EXPECT_EQ(cli::stageOfStatus(message), ProgressStage::None) << message;
}

transport::TraceEntry command(transport::Direction dir, uint32_t bytes, bool ok = true) {
    transport::TraceEntry e;
    e.dir = dir;
    e.xfer = bytes;
    e.len = bytes;
    e.ok = ok;
    return e;
}

TEST(CliProgress, CountsDataTransfersOfTheStageOnly) {
    sys::VirtualClock clock(5000);
    sys::ScopedClock scoped(clock);
    std::ostringstream out;
    cli::ProgressBar bar(out, 16384);
    bar.begin(ProgressStage::Write);
    bar.onCommand(command(transport::Direction::Out, 4096));
    clock.sleepMs(61'000);
    bar.onCommand(command(transport::Direction::In, 1));            // a status poll
    bar.onCommand(command(transport::Direction::In, 4096));         // not a write
    bar.onCommand(command(transport::Direction::Out, 4096, false)); // failed: nothing moved
    EXPECT_EQ(bar.line(), "Writing    [#######-----------------------]  25%  4.0/16.0 KiB  01:01");

    bar.begin(ProgressStage::ReadBack);   // a new stage: its own count and clock
    for (int i = 0; i < 4; ++i) bar.onCommand(command(transport::Direction::In, 4096));
    EXPECT_EQ(bar.line(), "Reading    [##############################] 100%  16.0/16.0 KiB  00:00");
    clock.sleepMs(3000);   // the time after the last command is not the stage's
    EXPECT_EQ(bar.line(), "Reading    [##############################] 100%  16.0/16.0 KiB  00:00");

    bar.setExpectedBytes(16384, 65536);   // reading on past the image: measured against the flash
    bar.onCommand(command(transport::Direction::In, 16384));
    EXPECT_EQ(bar.line(), "Reading    [###############---------------]  50%  32.0/64.0 KiB  00:03");
    EXPECT_NE(out.str().find("\rWriting    [#######-----------------------]  25%  4.0/16.0 KiB  01:01\x1b[K\n"),
              std::string::npos)
        << "a stage ends on a line of its own at its last state";
    bar.end();
    EXPECT_FALSE(bar.active());
    EXPECT_EQ(out.str().back(), '\n');
}

TEST(CliProgress, EraseShowsAnIndicatorAndUnknownSizesNoPercent) {
    std::ostringstream out;
    cli::ProgressBar bar(out, 0);
    bar.begin(ProgressStage::Erase);
    bar.onCommand(command(transport::Direction::None, 0));
    bar.onCommand(command(transport::Direction::None, 0));
    EXPECT_EQ(bar.line().substr(0, 48), "Erasing    [--####------------------------]  --%");
    EXPECT_NE(bar.line().find("2 commands"), std::string::npos);
    bar.begin(ProgressStage::Write);
    bar.onCommand(command(transport::Direction::Out, 512));
    EXPECT_NE(bar.line().find(" --%  0.5 KiB"), std::string::npos) << bar.line();
}

struct CliProgressRun : ::testing::Test {
    sys::ResourceLoader old = sys::setResourceLoader(firmware::catalogResources());
    ~CliProgressRun() override { sys::setResourceLoader(old); }

    std::string run(std::vector<std::string> args) {
        std::ostringstream out, err;
        code = cli::runCli(args, out, err);
        return out.str();
    }
    int code = -1;
};

TEST_F(CliProgressRun, AnUpdateOnATerminalDrawsOneBarPerStage) {
    const std::string out = run({"--progress", "bar", "--sim", "qvr298,fw=31.01.01.10,resetms=500", "update", "--yes",
                                 "--no-backup"});
    ASSERT_EQ(code, 0) << out;
    // The whole 256 KiB image goes out through the buffer and the bar ends full, on a line of its own.
    EXPECT_NE(out.find("\rWriting    [##############################] 100%  256.0/256.0 KiB"), std::string::npos) << out;
    EXPECT_EQ(out.find(".........."), std::string::npos) << "the bar replaces the dots";
    EXPECT_NE(out.find("Update    Pass!!"), std::string::npos) << out;
}

TEST_F(CliProgressRun, PlainLinesAndJsonDrawNoBar) {
    const std::string lines = run({"--progress", "lines", "--sim", "qvr298,fw=31.01.01.10,resetms=500", "update",
                                   "--yes", "--no-backup"});
    ASSERT_EQ(code, 0) << lines;
    EXPECT_EQ(lines.find('\r'), std::string::npos);
    EXPECT_NE(lines.find("Programming Flash...."), std::string::npos) << lines;

    const std::string json = run({"--json", "--progress", "bar", "--sim", "qvr298,fw=31.01.01.10,resetms=500",
                                  "update", "--yes", "--no-backup"});
    ASSERT_EQ(code, 0) << json;
    EXPECT_EQ(json.find('\r'), std::string::npos);
    EXPECT_EQ(json.front(), '{');
}

}  // namespace
