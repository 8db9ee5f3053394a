// q55x-campaign --recover: every procedure `q55x flash` and `q55x update` run, interrupted at each
// command, each followed by `q55x recover --yes` on the enclosure as it was left:
//   cut     the enclosure's power goes during the command (powercut=N); q55x sees it vanish
//   kill    q55x itself is killed (SIGKILL) once the command is done; the enclosure's state file
//           follows every change (persist=each), so it stands exactly as that command left it
//   journal q55x is killed inside the journal's own writes, at its Nth flush
//   twin    the power cut, then recover with a twin attached beside it (one serial, the enclosure
//           as it was before): it must refuse to guess, and finish with --device naming ours
//   second  a second q55x (list, update, recover) runs while the update holds at command N, on
//           the one enclosure both reach (persist=shared); it must send it nothing
// Wrong-device writes (the twin changed) and commands a second q55x sends into a running update
// are counted, as is a "written and verified" recovery that does not boot the new firmware.
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
#include <functional>
#include <iostream>
#include <sstream>

#include "campaign/bench.h"
#include "campaign/fork_pool.h"
#include "campaign/matrix.h"
#include "campaign/model.h"
#include "campaign/promises.h"
#include "cli/cli.h"
#include "bridge/cdb.h"
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
    c.includeNvram = r.route == Route::Sst;   // q55x writes a file's own NVRAM there only when asked
    if (r.update) c.shape.size = caseFile(c).size();
    return c;
}

std::string keyOf(const OracleCase& c) {
    return std::string(c.cliUpdate ? "update " : "flash ") + c.family->key + " " + routeName(c.route) + " on " + c.flash +
           ", " + c.shape.name;
}

enum class Interrupt : uint8_t { Cut, Kill, JournalKill, Twin, Second };
constexpr Interrupt kInterrupts[] = {Interrupt::Cut, Interrupt::Kill, Interrupt::JournalKill, Interrupt::Twin, Interrupt::Second};
const char* interruptName(Interrupt how) {
    switch (how) {
        case Interrupt::Cut: return "power cut";
        case Interrupt::Kill: return "kill";
        case Interrupt::JournalKill: return "kill in the journal";
        case Interrupt::Twin: return "cut, twin beside";
        case Interrupt::Second: return "second q55x";
    }
    return "";
}
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
    uint32_t wrongDeviceWrites = 0;    // commands that changed the twin
    uint32_t sentIntoRunning = 0;      // commands a second q55x sent into the running update
    bool falseVerified = false;        // recover said "written and verified" of an enclosure that does not boot it
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
    uint64_t flushes = 0;   // the journal's flushes in the clean run
    uint64_t firstWrite = 0;   // the clean run's first command that erases or writes (from 1)
    bool bootsFromFlash = true;
};

void note(Result& r, const std::string& s) { std::snprintf(r.note, sizeof r.note, "%s", s.c_str()); }

struct CliOutcome {
    int exit = -1;
    std::string out;
};

// q55x in this process, on the case's enclosure (and a twin's), its state folder the case's own.
CliOutcome q55x(const std::string& dir, const std::string& sim, const std::vector<std::string>& command,
                const std::string& twin = "") {
    ::setenv("XDG_STATE_HOME", (dir + "/state-home").c_str(), 1);
    std::vector<std::string> args{"--sim", withRunKeys(sim)};
    if (!twin.empty()) args.insert(args.end(), {"--sim", withRunKeys(twin)});
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

// Counts the journal's flushes; with `killAt`, q55x dies at that one (before it is done).
struct FlushCounter final : cli::Durability {
    uint64_t calls = 0, killAt = 0;
    bool syncFile(const std::string&) override { return flush(); }
    bool syncFolder(const std::string&) override { return flush(); }
    bool flush() {
        if (++calls == killAt) ::raise(SIGKILL);
        return true;
    }
};

// Runs `update` in a process of its own, which stops at its `holdAt`th command until `whileHeld`
// has run here, or dies at its `killAt`th command or `flushKillAt`th journal flush.
void runAside(const std::string& dir, const std::string& sim, const std::vector<std::string>& update, uint64_t killAt,
              uint64_t flushKillAt, uint64_t holdAt = 0, const std::function<void()>& whileHeld = {}) {
    int toChild[2] = {-1, -1}, toParent[2] = {-1, -1};
    if (holdAt && (::pipe(toChild) != 0 || ::pipe(toParent) != 0)) return;
    const pid_t pid = ::fork();
    if (pid == 0) {
        FlushCounter flushes;
        flushes.killAt = flushKillAt;
        if (flushKillAt) cli::setDurability(&flushes);
        uint64_t commands = 0;
        const transport::ScopedCommandListener at([&](const transport::TraceEntry&) {
            if (++commands == killAt) ::raise(SIGKILL);
            char c = 0;
            if (commands == holdAt && (::write(toParent[1], "x", 1) != 1 || ::read(toChild[0], &c, 1) != 1)) ::_exit(9);
        });
        ::_exit(q55x(dir, sim, update).exit);
    }
    char c = 0;
    // A run that ends before its holdAt-th command closes the pipe: nothing to hold.
    if (holdAt) {
        ::close(toParent[1]);
        if (::read(toParent[0], &c, 1) == 1 && whileHeld) whileHeld();
        if (::write(toChild[1], "x", 1) != 1) {
        }
        for (int fd : {toChild[0], toChild[1], toParent[0]}) ::close(fd);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
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
        FlushCounter flushes;
        cli::Durability* previous = cli::setDurability(&flushes);
        const transport::ScopedCommandListener count([&commands, &base](const transport::TraceEntry& e) {
            ++commands;
            if (!base.firstWrite && e.cdb && vendor::cdb::changesDevice(*e.cdb)) base.firstWrite = commands;
        });
        run = q55x(dir, simText(c, dir), cliUpdateArgs(c, dir + "/firmware.bin"));
        cli::setDurability(previous);
        base.flushes = flushes.calls;
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
    // Twins answer alike: one serial for both, and the twin's flash as ours was before.
    const std::string serial = how == Interrupt::Twin ? ",serial=twin" : "";
    const std::string twinState = dir + "/twin.state";
    Store twinBefore;
    if (how == Interrupt::Twin && (!saveCaseState(base.c, base.before, twinState, error) || !loadCaseState(twinState, twinBefore, error))) {
        note(r, error);
        return r;
    }
    const std::string twin = how == Interrupt::Twin ? enclosureText(base.c) + serial + ",state=" + twinState : "";
    switch (how) {
        case Interrupt::Cut:
        case Interrupt::Twin: q55x(dir, simText(base.c, dir, serial + ",powercut=" + std::to_string(at)), update); break;
        case Interrupt::Kill: runAside(dir, simText(base.c, dir, ",persist=each"), update, at, 0); break;
        case Interrupt::JournalKill: runAside(dir, simText(base.c, dir, ",persist=each"), update, 0, at); break;
        case Interrupt::Second: {
            const std::string shared = simText(base.c, dir, ",persist=shared");
            runAside(dir, shared, update, 0, 0, at, [&] {
                const transport::ScopedCommandListener count([&r](const transport::TraceEntry&) { ++r.sentIntoRunning; });
                for (const std::vector<std::string>& second : {std::vector<std::string>{"list"}, update, {"recover", "--yes"}})
                    q55x(dir, shared, second);
            });
            break;
        }
    }
    r.journalLeft = openJournals(dir) > 0;
    CliOutcome recover;
    if (how == Interrupt::Twin) {
        // Beside its twin, recover refuses to guess; named, ours is finished. The twin is never written.
        recover = q55x(dir, simText(base.c, dir, serial), {"recover", "--yes"}, twin);
        if (r.journalLeft) recover = q55x(dir, simText(base.c, dir, serial), {"--device", "sim:/dev/sg1", "recover", "--yes"}, twin);
        Store twinNow;
        if (!loadCaseState(twinState, twinNow, error) || !(twinNow == twinBefore)) ++r.wrongDeviceWrites;
    } else {
        recover = q55x(dir, simText(base.c, dir), {"recover", "--yes"});
    }
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
    r.falseVerified = recover.out.find("written and verified") != std::string::npos && r.boots != Boots::New;
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
             bootsNew = 0, bootsOld = 0, unbootable = 0, keptLost = 0, crashes = 0, hangs = 0, wrongDeviceWrites = 0,
             sentIntoRunning = 0, falseVerified = 0;
    PromiseCounters promises;
    void add(const Job& j) {
        ++runs;
        (j.how == Interrupt::Cut || j.how == Interrupt::Twin ? cuts : kills)++;
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
        wrongDeviceWrites += r.wrongDeviceWrites;
        sentIntoRunning += r.sentIntoRunning;
        falseVerified += r.falseVerified;
    }
    void add(const Totals& t) {
        runs += t.runs, cuts += t.cuts, kills += t.kills, journals += t.journals, finished += t.finished;
        recoverFailed += t.recoverFailed, journalsLeft += t.journalsLeft, bootsNew += t.bootsNew, bootsOld += t.bootsOld;
        unbootable += t.unbootable, keptLost += t.keptLost, crashes += t.crashes, hangs += t.hangs;
        wrongDeviceWrites += t.wrongDeviceWrites, sentIntoRunning += t.sentIntoRunning, falseVerified += t.falseVerified;
        promises.add(t.promises);
    }
    bool failed() const {
        return recoverFailed || journalsLeft || unbootable || keptLost || crashes || hangs || wrongDeviceWrites ||
               sentIntoRunning || falseVerified || promises.violations();
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
        for (Interrupt how : kInterrupts) {
            // A second q55x comes while the update holds its enclosure: from its first write on.
            const uint64_t from = how == Interrupt::Second ? bases[i].firstWrite - 1 : 0;
            const uint64_t all = how == Interrupt::JournalKill ? bases[i].flushes : bases[i].commands - from;
            const bool kill = how != Interrupt::Cut && how != Interrupt::Twin;
            const uint64_t n = bounded && kill ? std::min(all, kBoundedKillsWithin) : all;
            const uint64_t cap = bounded ? kBoundedCount : !kill ? kFullCuts : all > kLongRun ? kFullKillsLongRun : kFullKills;
            const uint64_t step = std::max<uint64_t>(1, (n + cap - 1) / cap);
            for (uint64_t k = 1; k <= n; ++k)
                if (k % step == 0 || k <= 3 || k + 3 > n) jobs.push_back({i, how, from + k, {}});
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
                 "boots new | boots old | unbootable | kept stretch lost | wrong-device writes | sent into a running update | false \"verified\" |\n"
                 "|---|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    Totals all;
    std::vector<std::string> bad;
    for (size_t i = 0; i < bases.size(); ++i) {
        for (Interrupt how : kInterrupts) {
            Totals t;
            for (const Job& j : jobs) {
                if (j.row != i || j.how != how) continue;
                t.add(j);
                const Result& r = j.result;
                if (r.end != End::Finished || r.keptLost || r.boots == Boots::Other || r.journalAfter ||
                    (r.journalLeft && r.recoverExit != 0) || r.promise[0] || r.wrongDeviceWrites || r.sentIntoRunning || r.falseVerified)
                    bad.push_back(keyOf(bases[i].c) + ", " + interruptName(how) + " at " + std::to_string(j.at) + ": " +
                                  (r.end == End::Crash ? "CRASH " : r.end == End::Hang ? "HANG " : "") +
                                  (r.wrongDeviceWrites ? "WRONG DEVICE WRITTEN " : "") +
                                  (r.sentIntoRunning ? "SENT INTO A RUNNING UPDATE " : "") + (r.falseVerified ? "FALSE VERIFIED " : "") +
                                  (r.boots == Boots::Other ? "unbootable " : "") + r.note +
                                  (r.promise[0] ? std::string(" PROMISE BROKEN: ") + r.promise : ""));
            }
            std::cout << "| " << (how == Interrupt::Cut ? keyOf(bases[i].c) + " | " + keptText(bases[i]) + " | " + std::to_string(bases[i].commands) : " | |")
                      << " | " << interruptName(how) << " | " << t.runs << " | " << t.journals << " | "
                      << t.finished << " | " << t.recoverFailed << " | " << t.bootsNew << " | " << t.bootsOld << " | "
                      << t.unbootable << " | " << t.keptLost << " | " << t.wrongDeviceWrites << " | " << t.sentIntoRunning << " | "
                      << t.falseVerified << " |\n";
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
              << ", kept stretches lost " << all.keptLost << ", wrong-device writes " << all.wrongDeviceWrites
              << ", commands sent into a running update " << all.sentIntoRunning << ", false \"verified\" " << all.falseVerified
              << ", crashes " << all.crashes << ", hangs " << all.hangs << " ("
              << static_cast<int>(seconds) << " s)\n\n"
              << all.promises << "\n";
    return all.failed() ? 1 : 0;
}

}  // namespace campaign
