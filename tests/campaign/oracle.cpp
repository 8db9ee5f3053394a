// The oracle: every case of the matrix in a process of its own; every success the program reports
// is compared with the model over the whole flash (and the disk), every failure with the
// stretches the procedure promised to keep, and a refusal must leave the flash as it was.
#include "campaign/oracle.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "campaign/bench.h"
#include "campaign/fork_pool.h"
#include "campaign/matrix.h"
#include "campaign/model.h"
#include "campaign/promises.h"
#include "update/update_window.h"

namespace campaign {

namespace {

enum class Judged : uint8_t { Match, Mismatch, Refused, FailedKept, KeptViolation, Crash, Hang, NoEnclosure };

// Crosses the pipe from the case's process: plain bytes only.
struct OracleResult {
    Judged judged = Judged::Crash;
    Verdict model = Verdict::Success;
    bool unexpected = false;   // a failure where the model has the procedure succeed
    bool q55xCheck = false;    // q55x's own file checks refused it
    bool wrongDispatch = false;   // the window's "Run" chose another procedure than the chip's
    // The judge's three checks (promises.h), each broken or not, and the first break.
    bool success = false, bootJudged = false, keptBroken = false, bootBroken = false, codeBroken = false;
    char promise[240] = {};
    char status[112] = {};
    char note[112] = {};
};

void copyText(char* to, size_t n, const std::string& s) { std::snprintf(to, n, "%s", s.c_str()); }

bool isQ55xCheck(const std::string& m) {
    for (const char* t : {"The firmware file seems not match this chip!", "FW file not Match.",
                          "The firmware file size is bigger than the flash size!", "The firmware file is larger than any flash.",
                          "The chip runs this version already", "The file is older than", "Firmware ID not match!!",
                          "Firmware already updated.", "the embedded firmware image is missing",
                          "Add --include-nvram to write it so."})
        if (m.find(t) != std::string::npos) return true;
    return false;
}

void keepVerdicts(OracleResult& r, const Verdicts& v) {
    r.success = v.success, r.bootJudged = v.judgedBoot;
    r.keptBroken = !v.kept.empty(), r.bootBroken = !v.boots.empty(), r.codeBroken = !v.code.empty();
    copyText(r.promise, sizeof r.promise, v.first());
}

Verdicts verdictsOf(const OracleResult& r) {
    Verdicts v;
    v.success = r.success, v.judgedBoot = r.bootJudged;
    if (r.keptBroken) v.kept = "x";
    if (r.bootBroken) v.boots = "x";
    if (r.codeBroken) v.code = "x";
    return v;
}

OracleResult judge(const OracleCase& c, const std::string& dir) {
    OracleResult r;
    Bounds bounds;
    bounds.commands = 3000000;
    bounds.virtualMs = 24ull * 3600 * 1000;
    bounds.onExceeded = [](const char* what) {
        OracleResult h;
        h.judged = Judged::Hang;
        copyText(h.note, sizeof h.note, std::string("bound exceeded: ") + what);
        sendToParent(&h, sizeof h);
        ::_exit(0);
    };
    Expect e;
    Store atStart, after;
    bool reported = false;
    std::string status;
    {
        Bench b(enclosureText(c), nullptr, bounds);
        if (!b.ok()) {
            r.judged = Judged::NoEnclosure;
            copyText(r.note, sizeof r.note, b.error());
            return r;
        }
        prepareCase(b, c);
        b.powerCycle();
        const Store before = b.store();
        if (c.program != Program::Mac) b.select(recoveryOnSelection(c), c.program == Program::Cli);
        const std::string path = dir + "/firmware.bin";
        const std::vector<uint8_t> bytes = caseFile(c);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        const ModelInput in = modelInput(b, c, before, path);
        e = expectedStore(in);
        atStart = b.store();
        if (recoveryOnSelection(c) && atStart != e.afterSelection) {
            r.judged = Judged::Mismatch;
            copyText(r.note, sizeof r.note, "bank recovery on selection: " + describeDifference(atStart, e.afterSelection));
            return r;
        }
        if (c.program != Program::Cli) {
            std::string lastLine;
            const auto previous = firmware::setMacOutputSink([&](std::string_view l) { lastLine = l; });
            r.wrongDispatch = !dispatchedAsExpected(b, c, path);
            reported = runOn(b, c, path, true);
            firmware::setMacOutputSink(previous);
            status = c.program == Program::Mac ? lastLine : b.window().status();
            after = b.store();
        }
    }
    if (c.program == Program::Cli) reported = runCli(c, atStart, dir, after, status);
    copyText(r.status, sizeof r.status, status);
    r.model = e.verdict;
    // q55x keeps what it may lose in its journal, and says so.
    const bool journalHolds = c.program == Program::Cli && status.find("journal") != std::string::npos &&
                              std::filesystem::exists(dir + "/state-home/q55x/journals");
    keepVerdicts(r, judgeRun(factsOf(c, atStart, after), reported, journalHolds));

    if (reported) {
        if (e.verdict != Verdict::Success) {
            r.judged = Judged::Mismatch;
            copyText(r.note, sizeof r.note, std::string("passed where the rules give a ") + verdictName(e.verdict) + ": " + e.why);
        } else if (after != e.after) {
            r.judged = Judged::Mismatch;
            copyText(r.note, sizeof r.note, describeDifference(after, e.after));
        } else {
            r.judged = Judged::Match;
        }
        return r;
    }
    r.unexpected = e.verdict == Verdict::Success;
    if (after == atStart) {
        r.judged = Judged::Refused;
        r.q55xCheck = c.program == Program::Cli && isQ55xCheck(status);
        if (r.q55xCheck) r.unexpected = false;
        return r;
    }
    if (e.verdict == Verdict::Refuse) {
        r.judged = Judged::KeptViolation;
        copyText(r.note, sizeof r.note, "the rules refuse before anything is erased (" + e.why + "), but the flash changed");
        return r;
    }
    r.judged = Judged::FailedKept;
    for (const Stretch& k : e.kept) {
        if (k.at + k.len > atStart.flash.size()) continue;   // nothing there to keep
        if (k.at + k.len > after.flash.size() || !std::equal(after.flash.begin() + k.at, after.flash.begin() + k.at + k.len,
                                                             atStart.flash.begin() + k.at)) {
            r.judged = Judged::KeptViolation;
            char t[112];
            std::snprintf(t, sizeof t, "%s at 0x%X (%u bytes) not kept", k.what, k.at, k.len);
            copyText(r.note, sizeof r.note, t);
            break;
        }
    }
    if (r.judged == Judged::FailedKept && e.verdict == Verdict::Fail) copyText(r.note, sizeof r.note, e.why);
    return r;
}

struct Totals {
    uint64_t runs = 0, checked = 0, mismatches = 0, violations = 0, refusals = 0, q55xChecks = 0, failedKept = 0, unexpected = 0,
             crashes = 0, hangs = 0, noEnclosure = 0, wrongDispatch = 0;
    PromiseCounters promises;
    void add(const OracleResult& r) {
        ++runs;
        if (r.judged != Judged::Crash && r.judged != Judged::Hang && r.judged != Judged::NoEnclosure) promises.add(verdictsOf(r));
        wrongDispatch += r.wrongDispatch;
        switch (r.judged) {
            case Judged::Match: ++checked; break;
            case Judged::Mismatch: ++checked, ++mismatches; break;
            case Judged::Refused: ++refusals; break;
            case Judged::FailedKept: ++failedKept; break;
            case Judged::KeptViolation: ++violations; break;
            case Judged::Crash: ++crashes; break;
            case Judged::Hang: ++hangs; break;
            case Judged::NoEnclosure: ++noEnclosure; break;
        }
        q55xChecks += r.q55xCheck;
        unexpected += r.unexpected;
    }
    void add(const Totals& t) {
        runs += t.runs, checked += t.checked, mismatches += t.mismatches, violations += t.violations;
        refusals += t.refusals, q55xChecks += t.q55xChecks, failedKept += t.failedKept, unexpected += t.unexpected;
        crashes += t.crashes, hangs += t.hangs, noEnclosure += t.noEnclosure, wrongDispatch += t.wrongDispatch;
        promises.add(t.promises);
    }
    // The promises decide; a procedure that fails or refuses an update the model has succeed, and
    // a "Run" that takes another chip's procedure, fail as well.
    bool failed() const {
        return mismatches || violations || crashes || hangs || unexpected || wrongDispatch || promises.violations();
    }
};

const char* judgedName(Judged j) {
    switch (j) {
        case Judged::Match: return "pass = model";
        case Judged::Mismatch: return "MISMATCH";
        case Judged::Refused: return "refused, untouched";
        case Judged::FailedKept: return "failed, kept";
        case Judged::KeptViolation: return "KEPT STRETCH LOST";
        case Judged::Crash: return "CRASH";
        case Judged::Hang: return "HANG";
        case Judged::NoEnclosure: return "no such enclosure";
    }
    return "?";
}

std::string groupOf(const OracleCase& c) {
    const char* program = c.program == Program::Windows ? "Windows" : c.program == Program::Mac ? "macOS" : "q55x";
    return std::string(program) + " | " + routeName(c.route) + " | " + c.family->key;
}

int usage() {
    std::cerr << "usage: q55x-campaign --oracle [--bounded] [--only TEXT] [--jobs N] [--timeout SEC] [--verbose] [--list] [--gentle]\n"
                 "  every procedure over the matrix of families, file shapes, options, chip states and flash\n"
                 "  parts, judged against the expected-flash model; --only keeps the cases whose label holds TEXT\n";
    return 2;
}

}  // namespace

int oracleMain(int argc, char** argv) {
    ModeOptions o;
    if (!parseModeOptions(argc, argv, "--oracle", o)) return usage();
    const bool bounded = o.bounded, verbose = o.verbose;
    std::vector<OracleCase> cases = oracleMatrix(bounded);
    if (!o.only.empty()) std::erase_if(cases, [&](const OracleCase& c) { return c.label().find(o.only) == std::string::npos; });
    if (o.list) {
        for (const OracleCase& c : cases) std::cout << c.label() << "\n";
        return 0;
    }
    if (cases.empty()) return usage();

    const std::string dir =
        (std::filesystem::temp_directory_path() / ("q55x-oracle-" + std::to_string(::getpid()))).string();
    std::vector<OracleResult> results(cases.size());
    const auto t0 = std::chrono::steady_clock::now();
    runCases<OracleResult>(
        cases.size(), o.parallel, o.timeoutSec,
        [&](size_t i) {
            const std::string own = dir + "/" + std::to_string(i);
            std::filesystem::create_directories(own);
            const OracleResult r = judge(cases[i], own);
            std::error_code ec;
            std::filesystem::remove_all(own, ec);
            return r;
        },
        [&](size_t i) -> OracleResult& { return results[i]; },
        [](OracleResult& out, bool hang, const std::string& why) {
            out.judged = hang ? Judged::Hang : Judged::Crash;
            copyText(out.note, sizeof out.note, why);
        });
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::cout << "# q55x-campaign --oracle (" << (bounded ? "bounded" : "full") << ")\n\n";
    std::cout << "| program | procedure | family | runs | successes checked | mismatches | kept-stretch violations | "
                 "refusals before writing | failures, kept | failures the model has succeed | promises broken |\n"
                 "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    std::map<std::string, Totals> groups;
    std::vector<std::string> order;
    Totals all;
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string g = groupOf(cases[i]);
        if (!groups.count(g)) order.push_back(g);
        groups[g].add(results[i]);
        all.add(results[i]);
    }
    for (const std::string& g : order) {
        const Totals& t = groups[g];
        std::cout << "| " << g << " | " << t.runs << " | " << t.checked << " | " << t.mismatches << " | " << t.violations << " | "
                  << t.refusals << " | " << t.failedKept << " | " << t.unexpected << " | "
                  << t.promises.violations() + t.wrongDispatch << " |\n";
    }
    std::cout << "\n## Cases to look at\n\n";
    bool any = false;
    for (size_t i = 0; i < cases.size(); ++i) {
        const OracleResult& r = results[i];
        const bool bad = r.judged == Judged::Mismatch || r.judged == Judged::KeptViolation || r.judged == Judged::Crash ||
                         r.judged == Judged::Hang || r.judged == Judged::NoEnclosure || r.promise[0] || r.wrongDispatch;
        if (!bad && !r.unexpected && !(verbose && r.judged != Judged::Match)) continue;
        any = true;
        std::cout << "- " << judgedName(r.judged) << (r.unexpected ? " (the model has it succeed)" : "") << ": "
                  << cases[i].label() << ". Status: \"" << r.status << "\"";
        if (r.note[0]) std::cout << ". " << r.note;
        if (r.wrongDispatch) std::cout << ". WRONG DISPATCH: the window chose another procedure";
        if (r.promise[0]) std::cout << ". PROMISE BROKEN: " << r.promise;
        std::cout << "\n";
    }
    if (!any) std::cout << "none\n";
    std::cout << "\n## Totals\n\nruns " << all.runs << ", successes checked against the model " << all.checked
              << ", mismatches " << all.mismatches << ", kept-stretch violations " << all.violations
              << ", refusals before writing " << all.refusals << " (" << all.q55xChecks << " by q55x's file checks)"
              << ", failures that kept their stretches " << all.failedKept << ", failures the model has succeed "
              << all.unexpected << ", crashes " << all.crashes << ", hangs " << all.hangs << " ("
              << static_cast<int>(seconds) << " s)\n\n"
              << all.promises << "; wrong dispatches " << all.wrongDispatch << "\n";
    return all.failed() ? 1 : 0;
}

}  // namespace campaign
