// The judge: what an update promises the user, per chip family, written from what each chip keeps
// in its flash and where it reads its code, not from any procedure's steps; and the three checks
// every run of every procedure must pass.
//   kept   after a reported success each stretch the chip keeps holds its bytes from before, or
//          the file's bytes for it when the file carries the whole stretch and the user asked for
//          it; after a reported failure each is intact, or the failure text says it is not and a
//          journal holds it
//   boots  after a reported success the enclosure, powered off and on, runs the file's firmware
//          version, as the emulator decides
//   code   after a reported success every byte of the file's code stands where the chip reads it
#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "campaign/bench.h"
#include "campaign/matrix.h"

namespace campaign {

// One run as the judge sees it: the chip from the persona's row, the flash from its part, the file
// and what the user asked, the store before and after.
struct RunFacts {
    const Family* family = nullptr;
    Program program = Program::Windows;
    Route route = Route::Direct;
    std::string enclosure;          // --sim text of the enclosure
    Bytes file;
    bool carried = false;           // the program's own image, not a file the user chose
    Bytes version;                  // the file's firmware version; empty: the file holds no whole firmware
    bool includeNvram = false, productSn = false;
    uint64_t diskSectors = 0;
    uint32_t diskSectorSize = 512;
    Store before, after;
};

RunFacts factsOf(const OracleCase& c, const Store& before, const Store& after);

// Each gives "" when the promise holds, else what broke, in one line.
std::string keptAfterSuccess(const RunFacts& f);
// `journalHolds`: the failure text says a stretch is not intact and a journal of q55x holds it.
std::string keptAfterFailure(const RunFacts& f, bool journalHolds);
std::string bootsTheFile(const RunFacts& f);
std::string codeWhereRead(const RunFacts& f);

// One run's three verdicts; `judgedBoot` false when the file holds no whole firmware or the chip
// boots nothing from flash.
struct Verdicts {
    bool success = false, judgedBoot = false;
    std::string kept, boots, code;
    bool any() const { return !kept.empty() || !boots.empty() || !code.empty(); }
    // Every broken promise, the kept stretches first.
    std::string first() const {
        std::string s = kept;
        for (const std::string* t : {&boots, &code})
            if (!t->empty()) s += (s.empty() ? "" : "; ") + *t;
        return s;
    }
};
Verdicts judgeRun(const RunFacts& f, bool reported, bool journalHolds = false);

struct PromiseCounters {
    uint64_t runs = 0, successes = 0, failures = 0, bootJudged = 0, keptViolations = 0, bootViolations = 0,
             codeViolations = 0;
    void add(const Verdicts& v);
    void add(const PromiseCounters& c);
    uint64_t violations() const { return keptViolations + bootViolations + codeViolations; }
};
std::ostream& operator<<(std::ostream& out, const PromiseCounters& c);

}  // namespace campaign
