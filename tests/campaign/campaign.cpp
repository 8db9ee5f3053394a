// q55x-campaign: every update procedure of both programs against the emulator, once with a power
// cut at each command of its clean run, and once per fault of the fault matrix. Each case runs in
// a process of its own, so a crash is counted rather than ending the campaign, and a watchdog
// ends a case that stops making progress in real time; inside a case, bounds in commands and in
// virtual time catch a procedure that would never end.
//
// Exit status: 0 when no case was reported as passed while the enclosure was not updated, none
// crashed and none hung; 1 otherwise; 2 for a usage error or a clean run that does not update.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "campaign/bench.h"
#include "campaign/cut_points.h"
#include "campaign/fork_pool.h"
#include "campaign/oracle.h"
#include "campaign/procedures.h"
#include "campaign/promises.h"
#include "image/image_catalog.h"
#include "update/update_window.h"
#include "campaign/recovery.h"
#include "sys/clock.h"
#include "sys/debug.h"
#include "sys/resources.h"

namespace campaign {
namespace {

// --- what one case found ------------------------------------------------------------------------

enum class FlashState : uint8_t { New, Old, Mixed };
enum class Boot : uint8_t { NotModelled, New, Old, Rom, Manufacturing, Other };
enum class Nvram : uint8_t { NotKept, Kept, Lost };
enum class End : uint8_t { Finished, Hang, Crash };

// Crosses the pipe from the case's process: plain bytes only.
struct CaseResult {
    End end = End::Crash;
    bool reported = false;          // the program told the user "passed"
    FlashState flash = FlashState::Mixed;
    Boot boot = Boot::Other;
    bool rerunPassed = false;       // re-running the same procedure on the powered-on enclosure
    bool rerunUpdated = false;      // ... and the new firmware runs after it
    int8_t back = -1;               // 0: runs a firmware at power-on; n: after recovery step n; -1: never
    Nvram nvramAtCut = Nvram::NotKept, nvramFinal = Nvram::NotKept;
    bool falsePass = false, falsePassRerun = false;
    uint64_t commands = 0, virtualMs = 0;
    char note[96] = {};
    // The judge's checks on what the run left (promises.h).
    bool checked = false, success = false, bootJudged = false, keptBroken = false, bootBroken = false, codeBroken = false;
    char promise[240] = {};
};

using Signature = BootSignature;
Signature signatureOf(Bench& b) { return b.bootSignature(); }

// What a procedure's clean run leaves, against which every case is judged.
struct Baseline {
    Store before, after;
    Signature oldBoot, newBoot;
    uint64_t commands = 0, virtualMs = 0;
    bool keeps = false;   // the clean run keeps the kept stretches
};

struct CaseSetup {
    enum class Kind { Cut, Fault } kind = Kind::Cut;
    uint64_t cutAt = 0;             // Cut: enclosure command index from the start of the run
    std::string fault;              // Fault: a row of kFaults
    uint64_t cutAtUs = 0;           // Cut, when cutAt is 0: virtual time from the start of the run
};

// The fault matrix: each applied after selection, before the update starts.
struct FaultRow {
    const char* name;
    void (*apply)(Bench&, const Baseline&);
};
const FaultRow kFaults[] = {
    {"NOT READY x10", [](Bench& b, const Baseline&) { b.enclosure().faults().notReady(10); }},
    {"NOT READY x40", [](Bench& b, const Baseline&) { b.enclosure().faults().notReady(40); }},
    {"NOT READY x31 mid-run",
     [](Bench& b, const Baseline& base) { b.atCommand(base.commands / 2, [](sim::Enclosure& e) { e.faults().notReady(31); }); }},
    {"stuck busy", [](Bench& b, const Baseline&) { b.enclosure().faults().stuckBusy(true); }},
    {"stuck busy mid-run",
     [](Bench& b, const Baseline& base) { b.atCommand(base.commands / 2, [](sim::Enclosure& e) { e.faults().stuckBusy(true); }); }},
    {"short 1st data-in", [](Bench& b, const Baseline&) { b.enclosure().faults().shortAt(1); }},
    {"short 3rd data-in", [](Bench& b, const Baseline&) { b.enclosure().faults().shortAt(3); }},
    {"short 40th data-in", [](Bench& b, const Baseline&) { b.enclosure().faults().shortAt(40); }},
    {"bit flip every read", [](Bench& b, const Baseline&) { b.enclosure().faults().flipEvery(1); }},
#define Q55X_ONE_FLIP(n)                                                                              \
    {"one bit flipped, command " #n, [](Bench& b, const Baseline&) {                                \
         b.atCommand(n, [](sim::Enclosure& e) { e.faults().flipEvery(1); });                         \
         b.atCommand(n + 1, [](sim::Enclosure& e) { e.faults().flipEvery(0); });                     \
     }}
    // The first commands of an update read what it must keep: one bit flipped in any of them.
    Q55X_ONE_FLIP(1), Q55X_ONE_FLIP(2), Q55X_ONE_FLIP(3), Q55X_ONE_FLIP(4), Q55X_ONE_FLIP(5), Q55X_ONE_FLIP(6),
#undef Q55X_ONE_FLIP
    {"bit flip every 5th read", [](Bench& b, const Baseline&) { b.enclosure().faults().flipEvery(5); }},
    {"bit flip every 40th read", [](Bench& b, const Baseline&) { b.enclosure().faults().flipEvery(40); }},
    {"no return after reset", [](Bench& b, const Baseline&) { b.enclosure().faults().noReturn(true); }},
    {"twins after reset", [](Bench& b, const Baseline&) { b.enclosure().faults().twins(true); }},
    {"drops off mid-run",
     [](Bench& b, const Baseline& base) {
         b.atCommand(base.commands / 2, [](sim::Enclosure& e) { e.faults().dropAt(e.commandCount() + 1); });
     }},
};

// --- one case, in its own process -----------------------------------------------------------------

Bounds caseBounds(const Baseline& base) {
    Bounds b;
    b.commands = base.commands * 10 + 20000;
    b.virtualMs = base.virtualMs * 10 + 3600 * 1000;
    b.onExceeded = [](const char* what) {
        CaseResult r;
        r.end = End::Hang;
        std::snprintf(r.note, sizeof r.note, "bound exceeded: %s", what);
        if (inCaseProcess()) {
            sendToParent(&r, sizeof r);
            ::_exit(0);
        }
        std::fprintf(stderr, "q55x-campaign: a clean run exceeded its bound (%s)\n", what);
        std::exit(2);
    };
    return b;
}

Nvram keptState(const Procedure& p, const Baseline& base, const Store& s) {
    if (p.kept.empty() || !base.keeps) return Nvram::NotKept;
    for (const Kept& k : p.kept) {
        const Bytes want = keptPattern(k);
        if (s.flash.size() < k.at + k.len || !std::equal(want.begin(), want.end(), s.flash.begin() + k.at))
            return Nvram::Lost;
    }
    return Nvram::Kept;
}

Boot bootOf(const Procedure& p, const Baseline& base, Bench& b) {
    if (!p.bootsFromFlash) return Boot::NotModelled;
    const Signature s = signatureOf(b);
    if (s == base.newBoot) return Boot::New;
    if (s == base.oldBoot) return Boot::Old;
    switch (s.state) {
        case sim::BootState::RomCode: return Boot::Rom;
        case sim::BootState::ManufacturingFlash:
        case sim::BootState::ManufacturingRam: return Boot::Manufacturing;
        case sim::BootState::Firmware: return Boot::Other;
    }
    return Boot::Other;
}

// A firmware runs: for a chip that boots from its flash, its boot found one; for the disk-resident
// firmware, the area holds a whole image, old or new.
bool runsFirmware(const Procedure& p, const Baseline& base, Bench& b) {
    if (!p.bootsFromFlash) {
        const Store s = b.store();
        return s == base.after || s == base.before;
    }
    return b.enclosure().bootState() == sim::BootState::Firmware;
}

bool updated(const Procedure& p, const Baseline& base, Bench& b) {
    if (!p.bootsFromFlash) return b.store().disk == base.after.disk;
    return signatureOf(b) == base.newBoot;
}

CaseResult runCase(const Procedure& p, const Baseline& base, const CaseSetup& setup) {
    CaseResult r;
    const Bounds bounds = caseBounds(base);
    Store cut, atStart;
    {
        Bench b(p.enclosure, nullptr, bounds);
        if (!b.ok()) {
            std::snprintf(r.note, sizeof r.note, "%s", b.error().c_str());
            return r;
        }
        p.prepare(b);
        b.powerCycle();
        if (std::string_view(p.program) == "Windows") b.select(true);
        atStart = b.store();
        b.startPhase();
        if (setup.kind == CaseSetup::Kind::Cut && setup.cutAtUs) {
            b.enclosure().faults().powerCutAtUs(sys::nowUs() + setup.cutAtUs);
        } else if (setup.kind == CaseSetup::Kind::Cut) {
            b.enclosure().faults().powerCutAt(b.enclosure().commandCount() + setup.cutAt);
        } else {
            for (const FaultRow& f : kFaults)
                if (setup.fault == f.name) f.apply(b, base);
        }
        r.reported = p.run(b);
        r.commands = b.phaseCommands();
        r.virtualMs = b.phaseMs();
        cut = b.store();
    }
    r.flash = cut == base.after ? FlashState::New : cut == base.before ? FlashState::Old : FlashState::Mixed;
    r.nvramAtCut = keptState(p, base, cut);
    // A power cut takes what was in flight with it, and the Windows and macOS programs keep no
    // journal: after a cut only a reported success is judged (what a cut loses, the NVRAM column
    // counts, and the ways back are tried on it). So after an enclosure that stops answering or
    // stays busy mid-run; every other failure under a fault is judged.
    const bool judged = r.reported || (setup.kind == CaseSetup::Kind::Fault && setup.fault.find("mid-run") == std::string::npos) ||
                        setup.fault == "NOT READY x31 mid-run";
    const Verdicts v = judged ? judgeRun(factsOf(p.subject, atStart, cut), r.reported) : Verdicts{};
    r.checked = judged;
    r.success = v.success, r.bootJudged = v.judgedBoot;
    r.keptBroken = !v.kept.empty(), r.bootBroken = !v.boots.empty(), r.codeBroken = !v.code.empty();
    std::snprintf(r.promise, sizeof r.promise, "%s", v.first().c_str());

    // Power on again, as the user would, and take the ways back our tools offer.
    Bench on(p.enclosure, &cut, bounds);
    if (!on.ok()) {
        std::snprintf(r.note, sizeof r.note, "%s", on.error().c_str());
        return r;
    }
    r.boot = bootOf(p, base, on);
    r.falsePass = r.reported && !(r.flash == FlashState::New && (r.boot == Boot::New || r.boot == Boot::NotModelled));
    r.back = runsFirmware(p, base, on) ? 0 : -1;
    const bool nothingToDo = r.reported && !r.falsePass;
    for (size_t i = 0; i < p.recovery.size() && !nothingToDo; ++i) {
        if (i > 0 && updated(p, base, on)) break;
        on.startPhase();
        const bool ok = p.recovery[i].run(on);
        on.powerCycle();
        if (i == 0) {
            r.rerunPassed = ok;
            r.rerunUpdated = updated(p, base, on);
            r.falsePassRerun = ok && !r.rerunUpdated;
        }
        if (r.back < 0 && runsFirmware(p, base, on)) r.back = static_cast<int8_t>(i + 1);
    }
    if (nothingToDo) r.rerunPassed = r.rerunUpdated = true;
    r.nvramFinal = keptState(p, base, on.store());
    r.end = End::Finished;
    return r;
}

// --- the clean run ----------------------------------------------------------------------------------

bool cleanRun(const Procedure& p, Baseline& base, std::string& why) {
    Bounds bounds;
    bounds.commands = 2000000;
    bounds.virtualMs = 24ull * 3600 * 1000;
    bounds.onExceeded = caseBounds(base).onExceeded;
    Bench b(p.enclosure, nullptr, bounds);
    if (!b.ok()) return why = b.error(), false;
    p.prepare(b);
    b.powerCycle();
    if (std::string_view(p.program) == "Windows") b.select(true);
    base.before = b.store();
    base.oldBoot = signatureOf(b);
    const Expect expected = p.model ? p.model(b, base.before) : Expect{};
    b.startPhase();
    const uint64_t first = b.enclosure().commandCount();
    const bool ok = p.run(b);
    base.commands = b.enclosure().commandCount() - first;
    base.virtualMs = b.phaseMs();
    base.after = b.store();
    b.powerCycle();
    base.newBoot = signatureOf(b);
    if (!ok) return why = "the clean run does not pass: " + b.window().status(), false;
    if (p.bootsFromFlash && base.newBoot.state != sim::BootState::Firmware)
        return why = std::string("the clean run leaves a chip that boots ") + sim::bootStateName(base.newBoot.state), false;
    if (base.after == base.before) return why = "the clean run changes nothing", false;
    // The clean run is what every case is judged against; it must be what the model says.
    if (p.model && expected.verdict != Verdict::Success)
        return why = std::string("the model has the clean run end in a ") + verdictName(expected.verdict) + ": " + expected.why, false;
    if (p.model && base.after != expected.after)
        return why = "the clean run differs from the model: " + describeDifference(base.after, expected.after), false;
    base.keeps = true;
    base.keeps = keptState(p, base, base.after) == Nvram::Kept;
    return true;
}

// --- running cases in processes of their own -------------------------------------------------------

struct Job {
    size_t proc;
    CaseSetup setup;
    CaseResult result;
};

void runJobs(const std::vector<Procedure>& procs, const std::vector<Baseline>& bases, std::vector<Job>& jobs,
             unsigned parallel, unsigned timeoutSec) {
    runCases<CaseResult>(
        jobs.size(), parallel, timeoutSec,
        [&](size_t i) { return runCase(procs[jobs[i].proc], bases[jobs[i].proc], jobs[i].setup); },
        [&](size_t i) -> CaseResult& { return jobs[i].result; },
        [](CaseResult& out, bool hang, const std::string& why) {
            out.end = hang ? End::Hang : End::Crash;
            std::snprintf(out.note, sizeof out.note, "%s", why.c_str());
        });
}

// --- tables ------------------------------------------------------------------------------------------

const char* text(FlashState s) { return s == FlashState::New ? "new" : s == FlashState::Old ? "old" : "mixed"; }
const char* text(Boot b) {
    switch (b) {
        case Boot::NotModelled: return "n/a";
        case Boot::New: return "new";
        case Boot::Old: return "old";
        case Boot::Rom: return "ROM";
        case Boot::Manufacturing: return "mfg";
        case Boot::Other: return "other";
    }
    return "?";
}
const char* text(Nvram n) { return n == Nvram::NotKept ? "n/a" : n == Nvram::Kept ? "kept" : "LOST"; }

std::string backText(const Procedure& p, const CaseResult& r) {
    if (r.back == 0) return "-";
    if (r.back < 0) return "NO";
    return p.recovery[static_cast<size_t>(r.back - 1)].label;
}

// One table row's columns, without the case name.
std::string columns(const Procedure& p, const CaseResult& r) {
    if (r.end == End::Crash) return "CRASH | | | | | ";
    if (r.end == End::Hang) return "HANG | | | | | ";
    std::string reported = r.reported ? (r.falsePass ? "PASS (false)" : "Pass") : "Fail";
    std::string rerun = r.reported && !r.falsePass ? "-" : r.rerunUpdated ? "Pass" : r.rerunPassed ? "PASS (false)" : "Fail";
    // NVRAM as it stands at the end; "restored" when the cut had lost it and a way back (the bank
    // recovery's copy of the second bank) put it back.
    const std::string nvram = r.nvramAtCut == Nvram::Lost && r.nvramFinal == Nvram::Kept ? "restored" : text(r.nvramFinal);
    return reported + " | " + text(r.flash) + " | " + text(r.boot) + " | " + rerun + " | " + backText(p, r) + " | " + nvram;
}

std::string ranges(const std::vector<uint64_t>& v) {
    std::string s;
    for (size_t i = 0; i < v.size();) {
        size_t j = i;
        while (j + 1 < v.size() && v[j + 1] == v[j] + 1) ++j;
        if (!s.empty()) s += ",";
        s += std::to_string(v[i]);
        if (j > i) s.append("-").append(std::to_string(v[j]));
        i = j + 1;
        if (s.size() > 48 && i < v.size()) {
            s += ",...";
            break;
        }
    }
    return s;
}

struct Totals {
    uint64_t runs = 0, falsePasses = 0, crashes = 0, hangs = 0, unrecoverable = 0, nvramLost = 0;
    PromiseCounters promises;
    void add(const CaseResult& r) {
        ++runs;
        if (r.end == End::Crash) ++crashes;
        if (r.end == End::Hang) ++hangs;
        if (r.end != End::Finished) return;
        if (r.falsePass || r.falsePassRerun) ++falsePasses;
        if (r.back < 0) ++unrecoverable;
        if (r.nvramFinal == Nvram::Lost) ++nvramLost;
        if (!r.checked) return;
        Verdicts v;
        v.success = r.success, v.judgedBoot = r.bootJudged;
        v.kept = r.keptBroken ? "x" : "", v.boots = r.bootBroken ? "x" : "", v.code = r.codeBroken ? "x" : "";
        promises.add(v);
    }
    void add(const Totals& t) {
        runs += t.runs, falsePasses += t.falsePasses, crashes += t.crashes, hangs += t.hangs;
        unrecoverable += t.unrecoverable, nvramLost += t.nvramLost;
        promises.add(t.promises);
    }
};

void printProcedure(const Procedure& p, const Baseline& base, const std::vector<Job>& jobs, size_t index, Totals& all,
                    bool verbose) {
    Totals t;
    std::cout << "\n### " << p.key << " — " << p.program << ": " << p.title << "\n\n";
    std::cout << "Enclosure `" << p.enclosure << "`; clean run " << base.commands << " commands, "
              << base.virtualMs / 1000.0 << " s virtual; kept settings: ";
    if (p.kept.empty()) std::cout << "none";
    for (size_t i = 0; i < p.kept.size(); ++i)
        std::cout << (i ? ", " : "") << p.kept[i].len << " bytes at 0x" << std::hex << p.kept[i].at << std::dec;
    if (!p.kept.empty() && !base.keeps) std::cout << " (NOT kept by the clean run)";
    std::cout << "\n\n";

    // Power cuts, grouped by outcome.
    std::map<std::string, std::vector<uint64_t>> groups;
    std::vector<std::string> order;
    std::map<std::string, std::string> notes;
    uint64_t cuts = 0;
    for (const Job& j : jobs) {
        if (j.proc != index || j.setup.kind != CaseSetup::Kind::Cut) continue;
        ++cuts;
        t.add(j.result);
        // Timed cuts group apart from the command cuts, by their instant.
        const std::string c = (j.setup.cutAtUs ? "@ " : "") + columns(p, j.result);
        if (!groups.count(c)) order.push_back(c);
        groups[c].push_back(j.setup.cutAtUs ? j.setup.cutAtUs / 1000 : j.setup.cutAt);
        if (j.result.note[0]) notes[c] = j.result.note;
    }
    if (cuts) {
        std::cout << "| power cut at command (@: at ms) | runs | reported | flash | boots | re-run | back by | NVRAM |\n";
        std::cout << "|---|---:|---|---|---|---|---|---|\n";
        for (const std::string& c : order) {
            std::cout << "| " << c.substr(0, c.starts_with("@ ") ? 2 : 0) << ranges(groups[c]) << " | " << groups[c].size()
                      << " | " << c.substr(c.starts_with("@ ") ? 2 : 0) << " |";
            if (notes.count(c) && verbose) std::cout << " " << notes[c];
            std::cout << "\n";
        }
        std::cout << "\n";
    }
    std::cout << "| fault | reported | flash | boots | re-run | back by | NVRAM |\n|---|---|---|---|---|---|---|\n";
    for (const Job& j : jobs) {
        if (j.proc != index || j.setup.kind != CaseSetup::Kind::Fault) continue;
        t.add(j.result);
        std::cout << "| " << j.setup.fault << " | " << columns(p, j.result) << " |";
        if (j.result.note[0]) std::cout << " " << j.result.note;
        if (j.result.promise[0]) std::cout << " PROMISE BROKEN: " << j.result.promise;
        std::cout << "\n";
    }
    std::cout << "\nruns " << t.runs << ", false passes " << t.falsePasses << ", crashes " << t.crashes << ", hangs "
              << t.hangs << ", not brought back " << t.unrecoverable << ", NVRAM lost " << t.nvramLost << "\n\n"
              << t.promises << "\n";
    for (const Job& j : jobs)
        if (j.proc == index && j.setup.kind == CaseSetup::Kind::Cut && j.result.promise[0])
            std::cout << "- PROMISE BROKEN, power cut at command " << j.setup.cutAt << ": " << j.result.promise << "\n";
    all.add(t);
}

constexpr uint64_t kFullCuts = 3000;

int usage() {
    std::cerr << "usage: q55x-campaign [--bounded | --stride N] [--only KEY,...] [--jobs N] [--timeout SEC]\n"
                 "                     [--case KEY:cut:N | --case KEY:cutus:US | --case KEY:fault:NAME] [--list] [--verbose] [--gentle]\n"
                 "  --bounded   every Nth command index per procedure (about 40 per procedure) and the\n"
                 "              whole fault matrix: the form CI runs\n";
    return 2;
}

}  // namespace
}  // namespace campaign

int main(int argc, char** argv) {
    using namespace campaign;
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--oracle" || std::string_view(argv[i]) == "--recover") {
            sys::setResourceLoader(firmware::catalogResources());
            sys::setDebugSink([](std::string_view) {});
            firmware::setMacOutputSink([](std::string_view) {});
            return std::string_view(argv[i]) == "--oracle" ? oracleMain(argc, argv) : recoveryMain(argc, argv);
        }
    bool bounded = false, list = false, verbose = false;
    uint64_t stride = 0;
    std::vector<std::string> only;
    std::optional<std::string> single;
    unsigned parallel = 2, timeoutSec = 120;
    if (const char* j = std::getenv("JOBS")) parallel = static_cast<unsigned>(std::max(1, std::atoi(j)));
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--bounded") bounded = true;
        else if (a == "--stride") stride = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--only") {
            std::stringstream s(value());
            for (std::string k; std::getline(s, k, ',');) only.push_back(k);
        } else if (a == "--jobs") parallel = static_cast<unsigned>(std::max(1, std::atoi(value().c_str())));
        else if (a == "--timeout") timeoutSec = static_cast<unsigned>(std::max(1, std::atoi(value().c_str())));
        else if (a == "--case") single = value();
        else if (a == "--list") list = true;
        else if (a == "--verbose") verbose = true;
        else if (a == "--gentle") setGentle(true);
        else return usage();
    }

    sys::setResourceLoader(firmware::catalogResources());
    sys::setDebugSink([](std::string_view) {});
    firmware::setMacOutputSink([](std::string_view) {});
    const std::string dir =
        (std::filesystem::temp_directory_path() / ("q55x-campaign-" + std::to_string(::getpid()))).string();
    std::string error;
    if (!writeSampleFiles(dir, error)) {
        std::cerr << "q55x-campaign: " << error << "\n";
        return 2;
    }
    const RemovedAtEnd cleanup{dir};

    std::vector<Procedure> procs = procedures(dir);
    if (list) {
        for (const Procedure& p : procs) std::cout << p.key << "\t" << p.program << "\t" << p.title << "\n";
        for (const FaultRow& f : kFaults) std::cout << "fault\t" << f.name << "\n";
        return 0;
    }
    if (single) {
        const std::string& s = *single;
        const size_t a = s.find(':'), b = a == std::string::npos ? a : s.find(':', a + 1);
        if (b == std::string::npos) return usage();
        only = {s.substr(0, a)};
    }
    if (!only.empty())
        std::erase_if(procs, [&](const Procedure& p) { return std::find(only.begin(), only.end(), p.key) == only.end(); });
    if (procs.empty()) return usage();

    std::vector<Baseline> bases(procs.size());
    for (size_t i = 0; i < procs.size(); ++i) {
        std::string why;
        if (!cleanRun(procs[i], bases[i], why)) {
            std::cerr << "q55x-campaign: " << procs[i].key << ": " << why << "\n";
            return 2;
        }
    }

    if (single) {   // one case in this process, for a debugger
        const std::string& s = *single;
        const size_t a = s.find(':'), b = s.find(':', a + 1);
        CaseSetup setup;
        if (s.substr(a + 1, b - a - 1) == "cut") setup.cutAt = std::strtoull(s.c_str() + b + 1, nullptr, 10);
        else if (s.substr(a + 1, b - a - 1) == "cutus") setup.cutAtUs = std::strtoull(s.c_str() + b + 1, nullptr, 10);
        else setup = {CaseSetup::Kind::Fault, 0, s.substr(b + 1)};
        const CaseResult r = runCase(procs[0], bases[0], setup);
        std::cout << columns(procs[0], r) << "  " << r.commands << " commands, " << r.virtualMs << " ms " << r.note << "\n";
        return 0;
    }

    std::vector<Job> jobs;
    for (size_t i = 0; i < procs.size(); ++i) {
        // The full form cuts at every command, but at most kFullCuts per procedure: the byte-by-byte
        // programming of the SST parts repeats one short pattern tens of thousands of times.
        for (const CutPoint& c : cutPoints(bases[i].commands, bases[i].virtualMs * 1000, bounded ? 40 : kFullCuts, stride))
            jobs.push_back({i, {CaseSetup::Kind::Cut, c.command, {}, c.atUs}, {}});
        for (const FaultRow& f : kFaults) jobs.push_back({i, {CaseSetup::Kind::Fault, 0, f.name}, {}});
    }
    const auto t0 = std::chrono::steady_clock::now();
    runJobs(procs, bases, jobs, parallel, timeoutSec);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::cout << "# q55x-campaign (" << (stride ? "every " + std::to_string(stride) + "th command" : bounded ? "bounded" : "full")
              << ")\n";
    Totals all;
    for (size_t i = 0; i < procs.size(); ++i) printProcedure(procs[i], bases[i], jobs, i, all, verbose);
    std::cout << "\n## Totals\n\nprocedures " << procs.size() << ", runs " << all.runs << ", false passes "
              << all.falsePasses << ", crashes " << all.crashes << ", hangs " << all.hangs
              << ", enclosures not brought back " << all.unrecoverable << ", NVRAM lost " << all.nvramLost << " ("
              << static_cast<int>(seconds) << " s)\n\n"
              << all.promises << "\n";
    return all.falsePasses || all.crashes || all.hangs || all.promises.violations() ? 1 : 0;
}
