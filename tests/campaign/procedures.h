// Every update procedure of the two programs as the campaign runs it: the enclosure it is meant
// for, what is prepared before it, how it is started and what the program reports, the settings
// it must keep, and the ways our tools have to bring a failed enclosure back.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "campaign/bench.h"
#include "campaign/matrix.h"
#include "campaign/model.h"

namespace campaign {

// A stretch of flash the procedure promises to keep (the chip's NVRAM or settings bytes).
struct Kept {
    uint32_t at = 0, len = 0;
    uint32_t mirror = 0;   // the copy in the second bank, where the chip keeps two (0: none)
};

// One way back after a failed update: run on a freshly powered enclosure, the result of the
// program that ran it. Each step selects the device itself.
struct RecoveryStep {
    const char* label;
    std::function<bool(Bench&)> run;
};

struct Procedure {
    const char* key;        // short name for --only and the tables
    const char* program;    // "Windows" or "macOS"
    const char* title;      // the procedure's name in the code
    std::string enclosure;  // --sim text
    std::vector<Kept> kept;
    // Before the update: what the user's enclosure holds (settings bytes), selection done.
    std::function<void(Bench&)> prepare;
    // The update as the program runs it; true when the program tells the user it passed.
    std::function<bool(Bench&)> run;
    // Where a procedure's chip boots nothing we model (firmware on the disk), the store alone
    // decides.
    bool bootsFromFlash = true;
    std::vector<RecoveryStep> recovery;
    // What the store must hold after the update, from the expected-flash model, given the bench as
    // the run starts (selected, for the Windows procedures) and the store then.
    std::function<Expect(Bench&, const Store&)> model;
    // What the judge's promises are asked about: the chip, the file and the options of the run.
    OracleCase subject;
};

// Writes the sample firmware files the Windows procedures open; false with a reason.
bool writeSampleFiles(const std::string& dir, std::string& error);
std::vector<Procedure> procedures(const std::string& sampleDir);

// The settings pattern a procedure's kept stretch is filled with before the update.
Bytes keptPattern(const Kept& k);

}  // namespace campaign
