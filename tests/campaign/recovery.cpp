// q55x-campaign --recover: every procedure `q55x flash` and `q55x update` run, interrupted at each
// command in two ways, each followed by `q55x recover --yes` on the enclosure as it was left:
//   cut   the enclosure's power goes during the command (powercut=N); q55x sees it vanish
//   kill  q55x itself is killed (SIGKILL) once the command is done; the enclosure's state file
//         follows every change (persist=each), so it stands exactly as that command left it
// Each case runs in a process of its own (the kill in one more, which dies). After the recovery
// the enclosure is powered on: it must boot the new firmware or the old one, and every stretch the
// update keeps (the model's kept stretches, and a product record from an earlier update) must hold
// what it held before or what the update puts there.
#include "campaign/recovery.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "campaign/bench.h"
#include "campaign/fork_pool.h"
#include "campaign/matrix.h"
#include "campaign/model.h"
#include "campaign/promises.h"
#include "cli/cli.h"
#include "cli/journal.h"
#include "transport/trace.h"

namespace campaign {

namespace {

constexpr uint32_t kProductArea = 0x44000, kProductRecordLen = 72;
constexpr uint64_t kFullCuts = 1500;    // power cuts per procedure, at most
// A kill at command k has the state file written after each of the changing commands before it,
// so kills cost by where they fall: at most this many per procedure, and fewer in the long runs
// (the SST part programmed byte by byte).
constexpr uint64_t kFullKills = 300, kFullKillsLongRun = 60, kLongRun = 20000;
constexpr uint64_t kBoundedCount = 6;   // each kind in the bounded form, besides the first and last three
// The bounded form kills the long runs within their first commands only, where the journal is
// made and the erase and the programming begin.
constexpr uint64_t kBoundedKillsWithin = 4000;

// The procedures: every family q55x updates, on its own flash part, with a file that leaves it
// something to keep where the family keeps anything.
struct Row {
    const char* family;
    Route route;
    const char* flash;
    Shape shape;
    bool update = false;            // q55x update rather than q55x flash
    const char* enclosure = "";     // --sim text when the family's own is not the one
};

const std::vector<Row>& rows() {
    static const std::vector<Row> kRows = {
        {"qvr298", Route::OneButton, "W25X40", {"the carried image", 0}, true, "qvr298,flash=W25X40,fw=31.01.01.10"},
        {"qvr298", Route::Buffer, "W25X40", {"two banks", 0x40000}},
        {"qvr298", Route::Buffer, "W25X40", {"one bank", 0x20000}},
        {"qvr297", Route::Buffer, "W25X40", {"two banks", 0x40000}},
        {"qvr295", Route::Buffer, "W25X40", {"two banks", 0x40000}},
        {"qvr292", Route::Buffer, "W25X40", {"two banks", 0x40000}},
        {"qvr256", Route::Direct, "MX25L1006E", {"one bank", 0x10000}},
        {"qvr296", Route::Direct, "MX25L1006E", {"one bank", 0x10000}},
        {"qvr253", Route::Direct, "MX25L1006E", {"one bank", 0x10000}},
        {"qvr253", Route::Direct, "A25L010", {"ends inside the NVRAM", 0x8800}},
        {"qvd529", Route::Direct, "MX25L1006E", {"as made", 0x10000}},
        {"qvd529", Route::Direct, "MX25L1006E", {"code only, 12 KiB", 0x3000, true}},
        {"qvr227", Route::Direct, "MX25L1006E", {"as made", 0x10000}},
        {"qvd528", Route::Series528, "MX25L512", {"as made", 0x10000}},
        {"qvd528", Route::Series528, "MX25L512", {"code only, 12 KiB", 0x3000, true}},
        {"qvd523", Route::Series528, "MX25L512", {"NVRAM and two pages", 0x9000}},
        {"qvd523", Route::Sst, "SST25VF512", {"as made", 0x10000}},
        {"qvd525", Route::Legacy, "MX25L512", {"as made", 0x8000}},
        {"qvd525-1394", Route::Over1394, "MX25L512", {"as made", 0x8000}},
        {"qv84556", Route::Legacy, "MX25L512", {"as made", 0x8000}},
        {"qv84556", Route::Legacy, "A25L05PU", {"as made", 0x8000}},
        {"qv84552", Route::Legacy, "MX25L512", {"as made", 0x8000}},
        {"qv84553", Route::Legacy, "MX25L512", {"as made", 0x8000}},
        {"qvd276", Route::Legacy, "MX25L512", {"as made", 0x8000}},
        {"q556e", Route::Legacy, "MX25L512", {"as made", 0x8000}},
        {"qvr294", Route::Qvr294, "W25X40", {"as made", 0x40000}},
        {"q556e-disk", Route::Disk, "none", {"as made", 0x8000}},
    };
    return kRows;
}

OracleCase caseOf(const Row& r) {
    OracleCase c;
    c.family = familyByKey(r.family);
    c.route = r.route;
    c.program = Program::Cli;
    c.flash = r.flash;
    c.shape = r.shape;
    c.cliUpdate = r.update;
    c.enclosure = r.enclosure;
    if (r.update) c.shape.size = caseFile(c).size();
    return c;
}

std::string keyOf(const OracleCase& c) {
    return std::string(c.cliUpdate ? "update " : "flash ") + c.family->key + " " + routeName(c.route) + " on " + c.flash +
           ", " + c.shape.name;
}

enum class Interrupt : uint8_t { Cut, Kill };
enum class Boots : uint8_t { New, Old, Other };
enum class End : uint8_t { Finished, Hang, Crash };

// Crosses the pipe from the case's process: plain bytes only.
struct Result {
    End end = End::Crash;
    bool journalLeft = false;      // the interrupted run left a journal open
    int recoverExit = -1;
    bool journalAfter = false;     // a journal is still open after the recovery
    Boots boots = Boots::Other;
    bool keptLost = false;
    // The judge's checks on the enclosure after the recovery: the update finished (it boots the
    // new firmware) is judged as a success, anything else as a failure.
    bool success = false, bootJudged = false, keptBroken = false, bootBroken = false, codeBroken = false;
    char promise[240] = {};
    char note[112] = {};
};

struct Baseline {
    OracleCase c;
    Store before, after;
    BootSignature oldBoot, newBoot;
    std::vector<Stretch> kept;
    uint64_t commands = 0;
    bool bootsFromFlash = true;
};

void note(Result& r, const std::string& s) { std::snprintf(r.note, sizeof r.note, "%s", s.c_str()); }

struct CliOutcome {
    int exit = -1;
    std::string out;
};

// q55x in this process, on the case's enclosure, its state folder the case's own.
CliOutcome q55x(const std::string& dir, const std::string& sim, const std::vector<std::string>& command) {
    ::setenv("XDG_STATE_HOME", (dir + "/state-home").c_str(), 1);
    std::vector<std::string> args{"--sim", withRunKeys(sim)};
    args.insert(args.end(), command.begin(), command.end());
    std::ostringstream out, err;
    CliOutcome o;
    o.exit = cli::runCli(args, out, err);
    o.out = out.str() + err.str();
    return o;
}

size_t openJournals(const std::string& dir) {
    return cli::JournalStore(dir + "/state-home/q55x/journals").list().journals.size();
}

bool prepareFiles(const Baseline& base, const std::string& dir, std::string& error) {
    std::filesystem::create_directories(dir);
    const std::vector<uint8_t> bytes = caseFile(base.c);
    std::ofstream(dir + "/firmware.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return saveCaseState(base.c, base.before, dir + "/enclosure.state", error);
}

std::string simText(const OracleCase& c, const std::string& dir, const std::string& extra = "") {
    return enclosureText(c) + ",state=" + dir + "/enclosure.state" + extra;
}

Boots bootOf(const Baseline& base, const Store& s) {
    if (!base.bootsFromFlash) return s.disk == base.after.disk ? Boots::New : s.disk == base.before.disk ? Boots::Old : Boots::Other;
    Bench on(enclosureText(base.c), &s, {});
    if (!on.ok()) return Boots::Other;
    const BootSignature sig = on.bootSignature();
    return sig == base.newBoot ? Boots::New : sig == base.oldBoot ? Boots::Old : Boots::Other;
}

// A kept stretch holds what it held, or what the update puts there (a bank's copy of the NVRAM,
// the image's own bytes in the QVD523's).
bool keptIntact(const Baseline& base, const Store& s, std::string& which) {
    for (const Stretch& k : base.kept) {
        const auto same = [&](const Store& ref) {
            return std::equal(s.flash.begin() + k.at, s.flash.begin() + k.at + k.len, ref.flash.begin() + k.at);
        };
        if (s.flash.size() < k.at + k.len || !(same(base.before) || same(base.after))) {
            char t[80];
            std::snprintf(t, sizeof t, "%s at 0x%X lost", k.what, k.at);
            which = t;
            return false;
        }
    }
    return true;
}

bool cleanRun(Baseline& base, const std::string& dir, std::string& why) {
    OracleCase& c = base.c;
    base.bootsFromFlash = c.route != Route::Disk;
    {
        Bench b(enclosureText(c), nullptr, {});
        if (!b.ok()) return why = b.error(), false;
        prepareCase(b, c);
        b.powerCycle();
        base.before = b.store();
        base.oldBoot = b.bootSignature();
        b.select(false, true);
        std::filesystem::create_directories(dir);
        const std::string file = dir + "/firmware.bin";
        const std::vector<uint8_t> bytes = caseFile(c);
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        const Expect e = expectedStore(modelInput(b, c, base.before, file));
        for (const Stretch& k : e.kept)
            if (k.at + k.len <= base.before.flash.size()) base.kept.push_back(k);
    }
    // A product record an earlier update left, where this update does not write over it.
    const Bytes& f = base.before.flash;
    if (f.size() >= kProductArea + kProductRecordLen && f[kProductArea] == 0x42 && caseFile(c).size() <= kProductArea)
        base.kept.push_back({kProductArea, kProductRecordLen, "product record"});

    if (!prepareFiles(base, dir, why)) return false;
    uint64_t commands = 0;
    CliOutcome run;
    {
        const transport::ScopedCommandListener count([&commands](const transport::TraceEntry&) { ++commands; });
        run = q55x(dir, simText(c, dir), cliUpdateArgs(c, dir + "/firmware.bin"));
    }
    base.commands = commands;
    if (run.exit != 0) return why = "the clean run fails: " + run.out, false;
    if (openJournals(dir) != 0) return why = "the clean run leaves its journal open", false;
    if (!loadCaseState(dir + "/enclosure.state", base.after, why)) return false;
    Bench on(enclosureText(c), &base.after, {});
    if (!on.ok()) return why = on.error(), false;
    base.newBoot = on.bootSignature();
    if (base.bootsFromFlash && base.newBoot.state != sim::BootState::Firmware) return why = "the clean run leaves no firmware", false;
    std::string which;
    if (!keptIntact(base, base.after, which)) return why = "the clean run does not keep the " + which, false;
    return true;
}

Result runCase(const Baseline& base, Interrupt how, uint64_t at, const std::string& dir) {
    Result r;
    std::string error;
    if (!prepareFiles(base, dir, error)) {
        note(r, error);
        return r;
    }
    const std::vector<std::string> update = cliUpdateArgs(base.c, dir + "/firmware.bin");
    if (how == Interrupt::Cut) {
        q55x(dir, simText(base.c, dir, ",powercut=" + std::to_string(at)), update);
    } else {
        // q55x dies once the command is done: in a process of its own.
        const pid_t pid = ::fork();
        if (pid == 0) {
            uint64_t commands = 0;
            const transport::ScopedCommandListener kill([&commands, at](const transport::TraceEntry&) {
                if (++commands == at) ::raise(SIGKILL);
            });
            ::_exit(q55x(dir, simText(base.c, dir, ",persist=each"), update).exit);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    r.journalLeft = openJournals(dir) > 0;
    const CliOutcome recover = q55x(dir, simText(base.c, dir), {"recover", "--yes"});
    r.recoverExit = recover.exit;
    r.journalAfter = openJournals(dir) > 0;
    Store now;
    if (!loadCaseState(dir + "/enclosure.state", now, error)) {
        note(r, error);
        return r;
    }
    r.boots = bootOf(base, now);
    const bool journalSays = r.journalAfter && recover.out.find("journal") != std::string::npos;
    // An enclosure the interruption left untouched runs the old firmware, whatever its version.
    const bool finished = r.boots == Boots::New && !(now == base.before);
    const Verdicts v = judgeRun(factsOf(base.c, base.before, now), finished, journalSays);
    r.success = v.success, r.bootJudged = v.judgedBoot;
    r.keptBroken = !v.kept.empty(), r.bootBroken = !v.boots.empty(), r.codeBroken = !v.code.empty();
    std::snprintf(r.promise, sizeof r.promise, "%s", v.first().c_str());
    std::string which;
    r.keptLost = !keptIntact(base, now, which);
    r.end = End::Finished;
    if (r.keptLost) note(r, which);
    else if (r.journalLeft && r.recoverExit != 0) {
        const std::string& o = recover.out;
        const size_t cut = o.rfind('\n', o.size() > 1 ? o.size() - 2 : 0);
        note(r, "recover: " + o.substr(cut == std::string::npos ? 0 : cut + 1));
    }
    return r;
}

struct Job {
    size_t row;
    Interrupt how;
    uint64_t at;
    Result result;
};

struct Totals {
    uint64_t runs = 0, cuts = 0, kills = 0, journals = 0, finished = 0, recoverFailed = 0, journalsLeft = 0,
             bootsNew = 0, bootsOld = 0, unbootable = 0, keptLost = 0, crashes = 0, hangs = 0;
    PromiseCounters promises;
    void add(const Job& j) {
        ++runs;
        (j.how == Interrupt::Cut ? cuts : kills)++;
        const Result& r = j.result;
        if (r.end == End::Crash) ++crashes;
        if (r.end == End::Hang) ++hangs;
        if (r.end != End::Finished) return;
        Verdicts v;
        v.success = r.success, v.judgedBoot = r.bootJudged;
        v.kept = r.keptBroken ? "x" : "", v.boots = r.bootBroken ? "x" : "", v.code = r.codeBroken ? "x" : "";
        promises.add(v);
        journals += r.journalLeft;
        finished += r.journalLeft && r.recoverExit == 0;
        recoverFailed += r.journalLeft && r.recoverExit != 0;
        journalsLeft += r.journalAfter;
        bootsNew += r.boots == Boots::New;
        bootsOld += r.boots == Boots::Old;
        unbootable += r.boots == Boots::Other;
        keptLost += r.keptLost;
    }
    void add(const Totals& t) {
        runs += t.runs, cuts += t.cuts, kills += t.kills, journals += t.journals, finished += t.finished;
        recoverFailed += t.recoverFailed, journalsLeft += t.journalsLeft, bootsNew += t.bootsNew, bootsOld += t.bootsOld;
        unbootable += t.unbootable, keptLost += t.keptLost, crashes += t.crashes, hangs += t.hangs;
        promises.add(t.promises);
    }
    bool failed() const {
        return recoverFailed || journalsLeft || unbootable || keptLost || crashes || hangs || promises.violations();
    }
};

std::string keptText(const Baseline& b) {
    if (b.kept.empty()) return "nothing";
    std::string s;
    for (const Stretch& k : b.kept) {
        char t[64];
        std::snprintf(t, sizeof t, "%s%s (%u bytes at 0x%X)", s.empty() ? "" : ", ", k.what, k.len, k.at);
        s += t;
    }
    return s;
}

int usage() {
    std::cerr << "usage: q55x-campaign --recover [--bounded] [--only TEXT] [--jobs N] [--timeout SEC] [--list] [--gentle]\n"
                 "  every procedure q55x flash and q55x update run, its power cut and q55x killed at each command,\n"
                 "  then q55x recover; --only keeps the procedures whose label holds TEXT\n";
    return 2;
}

}  // namespace

// The campaign judges what recovery does, not the disk under the journals: they are written but
// not flushed (a killed process leaves what it wrote to the system; only a host that loses its
// power needs the flush).
struct Unflushed final : cli::Durability {
    bool syncFile(const std::string&) override { return true; }
    bool syncFolder(const std::string&) override { return true; }
};

int recoveryMain(int argc, char** argv) {
    static Unflushed unflushed;
    cli::setDurability(&unflushed);
    ModeOptions o;
    if (!parseModeOptions(argc, argv, "--recover", o) || o.verbose) return usage();
    const bool bounded = o.bounded;
    std::vector<Baseline> bases;
    for (const Row& row : rows()) {
        Baseline b;
        b.c = caseOf(row);
        if (o.only.empty() || keyOf(b.c).find(o.only) != std::string::npos) bases.push_back(std::move(b));
    }
    if (o.list) {
        for (const Baseline& b : bases) std::cout << keyOf(b.c) << "\n";
        return 0;
    }
    if (bases.empty()) return usage();

    // The kills have the enclosure's state file written after every command that changes it: in
    // memory where the system has a folder for that.
    std::error_code ec;
    const std::filesystem::path tmp = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : std::filesystem::temp_directory_path();
    const std::string dir = (tmp / ("q55x-recover-" + std::to_string(::getpid()))).string();
    const RemovedAtEnd cleanup{dir};
    for (size_t i = 0; i < bases.size(); ++i) {
        std::string why;
        if (!cleanRun(bases[i], dir + "/clean-" + std::to_string(i), why)) {
            std::cerr << "q55x-campaign --recover: " << keyOf(bases[i].c) << ": " << why << "\n";
            return 2;
        }
    }

    std::vector<Job> jobs;
    for (size_t i = 0; i < bases.size(); ++i) {
        for (Interrupt how : {Interrupt::Cut, Interrupt::Kill}) {
            const uint64_t all = bases[i].commands;
            const bool kill = how == Interrupt::Kill;
            const uint64_t n = bounded && kill ? std::min(all, kBoundedKillsWithin) : all;
            const uint64_t cap = bounded ? kBoundedCount : !kill ? kFullCuts : all > kLongRun ? kFullKillsLongRun : kFullKills;
            const uint64_t step = std::max<uint64_t>(1, (n + cap - 1) / cap);
            for (uint64_t k = 1; k <= n; ++k)
                if (k % step == 0 || k <= 3 || k + 3 > n) jobs.push_back({i, how, k, {}});
        }
    }
    const auto t0 = std::chrono::steady_clock::now();
    runCases<Result>(
        jobs.size(), o.parallel, o.timeoutSec,
        [&](size_t i) {
            const std::string own = dir + "/" + std::to_string(i);
            const Result r = runCase(bases[jobs[i].row], jobs[i].how, jobs[i].at, own);
            std::error_code ec;
            std::filesystem::remove_all(own, ec);
            return r;
        },
        [&](size_t i) -> Result& { return jobs[i].result; },
        [](Result& out, bool hang, const std::string& why) {
            out.end = hang ? End::Hang : End::Crash;
            note(out, why);
        });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::cout << "# q55x-campaign --recover (" << (bounded ? "bounded" : "full") << ")\n\n";
    std::cout << "| procedure | kept | commands | interrupted by | runs | journal left | finished by recover | recover failed | "
                 "boots new | boots old | unbootable | kept stretch lost |\n"
                 "|---|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    Totals all;
    std::vector<std::string> bad;
    for (size_t i = 0; i < bases.size(); ++i) {
        for (Interrupt how : {Interrupt::Cut, Interrupt::Kill}) {
            Totals t;
            for (const Job& j : jobs) {
                if (j.row != i || j.how != how) continue;
                t.add(j);
                const Result& r = j.result;
                if (r.end != End::Finished || r.keptLost || r.boots == Boots::Other || r.journalAfter ||
                    (r.journalLeft && r.recoverExit != 0) || r.promise[0])
                    bad.push_back(keyOf(bases[i].c) + ", " + (how == Interrupt::Cut ? "power cut" : "killed") + " at command " +
                                  std::to_string(j.at) + ": " + (r.end == End::Crash ? "CRASH " : r.end == End::Hang ? "HANG " : "") +
                                  (r.boots == Boots::Other ? "unbootable " : "") + r.note +
                                  (r.promise[0] ? std::string(" PROMISE BROKEN: ") + r.promise : ""));
            }
            std::cout << "| " << (how == Interrupt::Cut ? keyOf(bases[i].c) + " | " + keptText(bases[i]) + " | " + std::to_string(bases[i].commands) : " | |")
                      << " | " << (how == Interrupt::Cut ? "power cut" : "kill") << " | " << t.runs << " | " << t.journals << " | "
                      << t.finished << " | " << t.recoverFailed << " | " << t.bootsNew << " | " << t.bootsOld << " | "
                      << t.unbootable << " | " << t.keptLost << " |\n";
            all.add(t);
        }
    }
    std::cout << "\n## Cases to look at\n\n";
    for (const std::string& b : bad) std::cout << "- " << b << "\n";
    if (bad.empty()) std::cout << "none\n";
    std::cout << "\n## Totals\n\nprocedures " << bases.size() << ", runs " << all.runs << " (" << all.cuts << " power cuts, "
              << all.kills << " kills), journals left open by the interruption " << all.journals << ", finished by q55x recover "
              << all.finished << ", recover failed " << all.recoverFailed << ", journals still open " << all.journalsLeft
              << ", boots new " << all.bootsNew << ", boots old " << all.bootsOld << ", unbootable " << all.unbootable
              << ", kept stretches lost " << all.keptLost << ", crashes " << all.crashes << ", hangs " << all.hangs << " ("
              << static_cast<int>(seconds) << " s)\n\n"
              << all.promises << "\n";
    return all.failed() ? 1 : 0;
}

}  // namespace campaign
