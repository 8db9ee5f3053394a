// The journal of an update and `q55x recover`, as a user meets them: an update cut short by a power
// cut or by q55x being killed is finished (or undone) from its journal with the chip's settings in
// place; the journal is on the disk before anything is erased; journals of other enclosures are
// listed and never acted on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "cli/disk_use.h"
#include "cli/journal.h"
#include "cli/keep_awake.h"
#include "cli/state_files.h"
#include "sim/state_file.h"
#include "support/cli_run.h"
#include "sys/resources.h"
#include "transport/trace.h"
#include "bridge/cdb.h"

namespace fs = std::filesystem;
using testsupport::q55x;
using Bytes = std::vector<uint8_t>;

namespace {

// Writes nothing to the disk: it records what would have been flushed, in order.
struct RecordingDurability final : cli::Durability {
    std::vector<std::string> calls;
    std::function<void()> onCall;
    bool syncFile(const std::string& p) override { return record("file " + fs::path(p).filename().string()); }
    bool syncFolder(const std::string& p) override { return record("folder " + fs::path(p).filename().string()); }
    bool record(std::string c) {
        calls.push_back(std::move(c));
        if (onCall) onCall();
        return true;
    }
};

// One update of the enclosure in e.state, as the user asks for it, with the sample it writes.
struct Update {
    const char* model;
    const char* sample;          // "" for q55x update
    uint32_t keptAt, keptLen;    // the chip's settings the update keeps (len 0: none)
    const char* extra = "";      // further --sim keys
};

const Update kUpdates[] = {
    {"qvd528", "qvd528_with_nvram", 0, 4096},
    {"qvr256", "qvr256_1.02.03", 0xC000, 4096},
    {"qv84556", "qv84556_with_nvram", 0x8000, 512},
    {"qvr298", "", 0, 0, ",fw=31.01.01.10"},
};

struct CliJournal : ::testing::Test {
    sys::ResourceLoader oldLoader = sys::setResourceLoader(firmware::catalogResources());
    fs::path dir = testsupport::testFolder();
    RecordingDurability durable;
    cli::Durability* oldDurability = cli::setDurability(&durable);
    CliJournal() { ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1); }
    ~CliJournal() override {
        cli::setDurability(oldDurability);
        sys::setResourceLoader(oldLoader);
        fs::remove_all(dir);
    }

    std::string sim(const Update& u, const std::string& faults = "") const {
        return std::string(u.model) + u.extra + ",state=" + (dir / "e.state").string() + faults;
    }
    std::vector<std::string> update(const Update& u, bool backup = false) {
        std::vector<std::string> a{*u.sample ? "flash" : "update", "--yes", "--allow-reinstall"};
        if (!backup) a.push_back("--no-backup");
        if (*u.sample) a.push_back(testsupport::sampleFile(dir, u.sample).string());
        return a;
    }
    testsupport::CliRun run(const std::string& simText, std::vector<std::string> command) {
        command.insert(command.begin(), {"--sim", simText});
        return q55x(command);
    }
    // A fresh enclosure in e.state, with settings of its own where the update keeps them; its
    // flash as it stands.
    Bytes fresh(const Update& u) {
        fs::remove(dir / "e.state");
        EXPECT_EQ(run(sim(u), {"list"}).code, 0);
        sim::EnclosureState s;
        bool exists = false;
        std::string error;
        EXPECT_TRUE(sim::loadStateFile((dir / "e.state").string(), s, exists, error)) << error;
        for (uint32_t i = 0; i < u.keptLen; ++i) s.flash[u.keptAt + i] = static_cast<uint8_t>(i * 7 + 3);
        EXPECT_TRUE(sim::saveStateFile((dir / "e.state").string(), s, error)) << error;
        return s.flash;
    }
    Bytes flash() const {
        sim::EnclosureState s;
        bool exists = false;
        std::string error;
        EXPECT_TRUE(sim::loadStateFile((dir / "e.state").string(), s, exists, error)) << error;
        return s.flash;
    }
    static Bytes stretch(const Bytes& f, uint32_t at, uint32_t len) { return Bytes(f.begin() + at, f.begin() + at + len); }
    std::vector<cli::Journal> journals() const { return cli::JournalStore().list().journals; }
    std::string firmware(const Update& u) { return run(sim(u), {"--json", "info"}).json()["firmware"]; }

    // The clean update on a fresh enclosure: the firmware it leaves and the number (from 1) of its
    // first command that erases or writes.
    uint64_t cleanRun(const Update& u, std::string& version) {
        fresh(u);
        uint64_t n = 0, first = 0;
        {
            const transport::ScopedCommandListener count([&](const transport::TraceEntry& e) {
                ++n;
                if (!first && e.cdb && vendor::cdb::changesDevice(*e.cdb)) first = n;
            });
            EXPECT_EQ(run(sim(u), update(u)).code, 0);
        }
        version = firmware(u);
        EXPECT_TRUE(journals().empty()) << "a finished update closes its journal";
        return first;
    }
};

TEST_F(CliJournal, TheJournalIsOnTheDiskBeforeTheFirstErase) {
    for (const Update& u : kUpdates) {
        SCOPED_TRACE(u.model);
        const Bytes before = fresh(u);
        durable.calls.clear();
        std::vector<cli::Journal> atFirstChange;
        std::vector<std::string> flushedByThen;
        bool seen = false;
        {
            const transport::ScopedCommandListener watch([&](const transport::TraceEntry& e) {
                if (seen || !e.cdb || !vendor::cdb::changesDevice(*e.cdb)) return;
                seen = true;
                atFirstChange = journals();
                flushedByThen = durable.calls;
            });
            ASSERT_EQ(run(sim(u), update(u)).code, 0);
        }
        ASSERT_EQ(atFirstChange.size(), 1u);
        const cli::Journal& j = atFirstChange.front();
        // The image copy, then the journal, each flushed before its name is, then their folder.
        const std::vector<std::string> want{"file " + j.id + ".image.tmp", "folder journals", "file " + j.id + ".journal.tmp",
                                            "folder journals"};
        EXPECT_TRUE(std::search(flushedByThen.begin(), flushedByThen.end(), want.begin(), want.end()) != flushedByThen.end())
            << testing::PrintToString(flushedByThen);
        if (u.keptLen) {
            ASSERT_FALSE(j.kept.empty());
            EXPECT_EQ(j.kept[0].at, u.keptAt);
            EXPECT_EQ(j.kept[0].bytes, stretch(before, u.keptAt, u.keptLen));
        }
        EXPECT_FALSE(j.identity.serial.empty()) << "an emulated enclosure is known by its state file";
        EXPECT_TRUE(journals().empty());
    }
}

// A power cut in the middle of the erase or the programming, then `q55x recover`: the update is
// finished, the chip's settings are what they were, and the journal is closed.
TEST_F(CliJournal, RecoverFinishesAnUpdateCutShort) {
    for (const Update& u : kUpdates) {
        SCOPED_TRACE(u.model);
        std::string updated;
        const uint64_t first = cleanRun(u, updated);
        ASSERT_GT(first, 0u);
        // The power goes at the first command that takes the chip's settings from the flash (or a
        // little after the first write, where the update keeps none).
        std::vector<std::string> json = update(u);
        json.insert(json.begin(), "--json");
        Bytes before;
        testsupport::CliRun cut{};
        for (uint64_t k = first + (u.keptLen ? 0 : 2); k < first + 400; ++k) {
            fs::remove_all(dir / "state");
            before = fresh(u);
            cut = run(sim(u, ",powercut=" + std::to_string(k)), json);
            if (!u.keptLen || stretch(flash(), u.keptAt, u.keptLen) != stretch(before, u.keptAt, u.keptLen)) break;
        }
        if (u.keptLen) {
            ASSERT_NE(stretch(flash(), u.keptAt, u.keptLen), stretch(before, u.keptAt, u.keptLen)) << "the cut takes them";
        }
        const std::string old = firmware(u);
        EXPECT_EQ(cut.code, 8);
        ASSERT_EQ(journals().size(), 1u);
        const cli::Journal j = journals().front();
        EXPECT_EQ(cut.json()["journal"], j.id);
        EXPECT_NE(cut.json()["error"]["next"].get<std::string>().find("q55x recover"), std::string::npos);
        EXPECT_GE(j.stage, cli::Stage::EraseBegun);

        // Every command tells of it; another update is refused and writes nothing.
        EXPECT_NE(run(sim(u), {"list"}).err.find("was interrupted (journal " + j.id), std::string::npos);
        const testsupport::CliRun again = run(sim(u), update(u));
        EXPECT_EQ(again.code, 4);
        EXPECT_NE(again.err.find("q55x recover"), std::string::npos) << again.err;

        const testsupport::CliRun r = run(sim(u), {"recover", "--yes"});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Interrupted update (journal " + j.id), std::string::npos) << r.out;
        EXPECT_TRUE(journals().empty());
        if (u.keptLen) {
            EXPECT_EQ(stretch(flash(), u.keptAt, u.keptLen), stretch(before, u.keptAt, u.keptLen));
        }
        EXPECT_EQ(firmware(u), updated) << "powered on again it runs the new firmware, not " << old;
    }
}

// q55x killed mid-update: the enclosure's state file stands as the last command left it, and the
// journal as its last stage.
TEST_F(CliJournal, RecoverFinishesAnUpdateWhoseProgramWasKilled) {
    const Update& u = kUpdates[0];
    std::string updated;
    cleanRun(u, updated);
    const Bytes before = fresh(u);
    const std::vector<std::string> args = update(u);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Killed as soon as the first 32 KiB unit is erased.
        const transport::ScopedCommandListener kill([&](const transport::TraceEntry& e) {
            if (e.cdb && (*e.cdb)[0] == 0xFF && (*e.cdb)[1] == 0x04 && (*e.cdb)[2] == 0x14) ::raise(SIGKILL);
        });
        run(sim(u, ",persist=each"), args);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_NE(stretch(flash(), 0, 4096), stretch(before, 0, 4096)) << "the erase reached the state file";
    ASSERT_EQ(journals().size(), 1u);
    EXPECT_EQ(journals().front().stage, cli::Stage::EraseBegun);
    EXPECT_EQ(run(sim(u), {"recover", "--yes"}).code, 0);
    EXPECT_EQ(stretch(flash(), 0, 4096), stretch(before, 0, 4096));
    EXPECT_EQ(firmware(u), updated);
}

// The chip left with no firmware it can boot takes the update again through its ROM loader, which
// erases it whole: the product record an earlier update left goes back as the journal kept it.
TEST_F(CliJournal, TheProductRecordComesBackAfterTheRomLoaderErasedTheChip) {
    const Update u{"qvr298", "qvr298_31.01.01.20", 0x44000, 72};
    std::string updated;
    const uint64_t first = cleanRun(u, updated);
    Bytes record(72, 0);
    record[0] = 0x42;
    const std::string serial = "EARLIER-SERIAL-0042 ";
    std::copy(serial.begin(), serial.end(), record.begin() + 52);
    sim::EnclosureState s;
    bool exists = false;
    std::string error;
    const auto edit = [&](const std::function<void(Bytes&)>& change) {
        ASSERT_TRUE(sim::loadStateFile((dir / "e.state").string(), s, exists, error)) << error;
        change(s.flash);
        ASSERT_TRUE(sim::saveStateFile((dir / "e.state").string(), s, error)) << error;
    };
    fresh(u);
    edit([&](Bytes& f) { std::copy(record.begin(), record.end(), f.begin() + 0x44000); });
    EXPECT_EQ(run(sim(u, ",powercut=" + std::to_string(first + 5)), update(u)).code, 8);
    ASSERT_EQ(journals().size(), 1u);
    ASSERT_EQ(journals().front().kept.size(), 1u);
    EXPECT_EQ(journals().front().kept[0].bytes, record);
    // Neither bank boots any more.
    edit([](Bytes& f) { f[0x100] ^= 0xFF, f[0x20100] ^= 0xFF; });
    const testsupport::CliRun r = run(sim(u), {"recover", "--yes"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Download to RAM"), std::string::npos) << r.out;
    EXPECT_EQ(stretch(flash(), 0x44000, 72), record);
    EXPECT_TRUE(journals().empty());
    EXPECT_EQ(firmware(u), updated);
}

// --restore writes the backup taken before the update back, whatever the update had reached; a
// journal whose image copy is damaged can only be undone.
TEST_F(CliJournal, RestorePutsTheBackupBack) {
    const Update& u = kUpdates[1];
    std::string updated;
    const uint64_t first = cleanRun(u, updated);
    const Bytes before = fresh(u);
    EXPECT_EQ(run(sim(u, ",powercut=" + std::to_string(first + 40)), update(u, true)).code, 8);
    ASSERT_EQ(journals().size(), 1u);
    const cli::Journal j = journals().front();
    EXPECT_NE(flash(), before);
    EXPECT_EQ(testsupport::readBytes(j.backup), before);

    testsupport::writeBytes(cli::JournalStore().imagePath(j.id), Bytes(16, 0));
    const testsupport::CliRun damaged = run(sim(u), {"recover", "--yes"});
    EXPECT_EQ(damaged.code, 1);
    EXPECT_NE(damaged.out.find("damaged"), std::string::npos) << damaged.out;
    ASSERT_EQ(journals().size(), 1u);

    const testsupport::CliRun r = run(sim(u), {"--json", "recover", "--restore", "--yes"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.json()["recovered"][0]["action"], "restore");
    EXPECT_EQ(flash(), before);
    EXPECT_TRUE(journals().empty());

    // Without a backup there is nothing to restore from.
    EXPECT_EQ(run(sim(u, ",powercut=" + std::to_string(first + 40)), update(u)).code, 8);
    const testsupport::CliRun none = run(sim(u), {"recover", "--restore", "--yes"});
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.out.find("No backup was taken"), std::string::npos) << none.out;
}

// A journal is acted on only for its own enclosure: another one, at the node where it was, is
// refused when pointed at, and otherwise left alone while recover does what it always did.
TEST_F(CliJournal, JournalsOfOtherEnclosures) {
    const Update& u = kUpdates[0];
    std::string updated;
    const uint64_t first = cleanRun(u, updated);
    fresh(u);
    EXPECT_EQ(run(sim(u, ",powercut=" + std::to_string(first + 2)), update(u)).code, 8);
    ASSERT_EQ(journals().size(), 1u);
    const std::string id = journals().front().id;

    const std::string other = "qvd528,state=" + (dir / "other.state").string();
    testsupport::CliRun r = q55x({"--sim", other, "recover", "--yes"});
    EXPECT_EQ(r.code, 2) << "the bank recovery, as before, finds nothing to do on a QVD528";
    EXPECT_NE(r.out.find("Journal " + id + ": the QVD528"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("is not attached; nothing done"), std::string::npos) << r.out;

    r = q55x({"--sim", other, "--device", "sim:/dev/sg1", "recover", "--yes"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("refused: the device at sim:/dev/sg1 is a QVD528"), std::string::npos) << r.out;
    EXPECT_EQ(journals().size(), 1u);
    EXPECT_TRUE(q55x({"--sim", other, "list"}).err.empty()) << "no notice for another enclosure";

    r = q55x({"--sim", other, "journal"});
    EXPECT_NE(r.out.find(id + "  QVD528 Series  q55x flash"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("not attached (last at sim:/dev/sg1)"), std::string::npos) << r.out;
    EXPECT_NE(run(sim(u), {"journal", "show", id}).out.find("\"stage\""), std::string::npos);
    // Taken with --no-backup, the journal holds the only copy of the NVRAM the update kept.
    r = run(sim(u), {"journal", "discard", id});
    EXPECT_EQ(r.code, 64);
    EXPECT_NE(r.err.find("holds the only copy of what the update kept (4096 bytes of NVRAM"), std::string::npos) << r.err;
    EXPECT_EQ(run(sim(u), {"journal", "discard", id, "--yes"}).code, 0);
    EXPECT_TRUE(journals().empty());
    EXPECT_EQ(run(sim(u), {"journal", "discard", id}).code, 64);

    // A journal file that cannot be read is named and left as it is.
    fs::create_directories(cli::journalDirectory());
    testsupport::writeBytes(fs::path(cli::journalDirectory()) / "broken.journal", Bytes{'{'});
    r = run(sim(u), {"recover", "--yes"});
    EXPECT_NE(r.err.find("broken.journal cannot be read"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(fs::path(cli::journalDirectory()) / "broken.journal"));
}

// Without a journal on the disk nothing is written.
TEST_F(CliJournal, AnUpdateThatCannotKeepItsJournalWritesNothing) {
    const Update& u = kUpdates[0];
    const Bytes before = fresh(u);
    testsupport::writeBytes(dir / "state", Bytes{1});   // the state folder is a file
    const testsupport::CliRun r = run(sim(u), update(u));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << r.err;   // the lock, made first, says why
    EXPECT_EQ(flash(), before);
}

}  // namespace

namespace {

// A second q55x started while another updates the enclosure (a real second process, on the same
// state file): it sends the enclosure nothing, names who holds it, and never calls the running
// update interrupted.
TEST_F(CliJournal, ASecondProcessLeavesARunningUpdateAlone) {
    const Update& u = kUpdates[0];
    fresh(u);
    int toChild[2], toParent[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(toParent), 0);
    const std::vector<std::string> args = update(u);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Holds still at its first erase until the parent has looked.
        bool paused = false;
        const transport::ScopedCommandListener hold([&](const transport::TraceEntry& e) {
            if (paused || !e.cdb || !vendor::cdb::changesDevice(*e.cdb)) return;
            paused = true;
            char c = 0;
            if (::write(toParent[1], "x", 1) != 1 || ::read(toChild[0], &c, 1) != 1) ::_exit(9);
        });
        ::_exit(run(sim(u, ",persist=shared"), args).code);
    }
    char c = 0;
    ASSERT_EQ(::read(toParent[0], &c, 1), 1);
    const std::string holder = "(pid " + std::to_string(pid) + ")";
    struct Case { std::vector<std::string> args; int code; const char* says; };
    for (const Case& k : std::initializer_list<Case>{
             {{"list"}, 0, "updating (pid "},
             {args, 6, "held by another q55x (updating since "},
             {{"recover", "--yes"}, 2, ": running (updating since "},
             {{"journal"}, 0, "running (updating since "}}) {
        SCOPED_TRACE(k.args.front());
        // The second process reaches the very enclosure the first is updating (as it would a real
        // node), and its trace shows what it sent there: nothing.
        std::vector<std::string> traced{"--trace", (dir / "second.jsonl").string()};
        traced.insert(traced.end(), k.args.begin(), k.args.end());
        const testsupport::CliRun r = run(sim(u, ",persist=shared"), traced);
        EXPECT_EQ(r.code, k.code) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(k.says), std::string::npos) << r.out << r.err;
        EXPECT_EQ(r.err.find("was interrupted"), std::string::npos) << r.err;
        EXPECT_EQ(fs::file_size(dir / "second.jsonl"), 0u) << "the held enclosure was sent a command";
    }
    EXPECT_NE(run(sim(u), {"list"}).out.find(holder), std::string::npos);
    ASSERT_EQ(::write(toChild[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(journals().empty());
    EXPECT_EQ(run(sim(u), {"list"}).code, 0);
}

}  // namespace

namespace {

// What stands in the state folder is trusted only as q55x left it: a journal or backup changed,
// swapped for a link or a FIFO, grown past any size q55x writes, or in a folder others may write,
// is refused before anything is written, and still holds back a new update.
TEST_F(CliJournal, AJournalNobodyCanMisuse) {
    const Update& u = kUpdates[1];
    std::string updated;
    const uint64_t first = cleanRun(u, updated);
    const Bytes before = fresh(u);
    durable.calls.clear();
    ASSERT_EQ(run(sim(u, ",powercut=" + std::to_string(first + 40)), update(u, true)).code, 8);
    ASSERT_EQ(journals().size(), 1u);
    const cli::Journal j = journals().front();
    const fs::path file = cli::JournalStore().journalPath(j.id), backup = j.backup, folder = cli::journalDirectory();
    // The backup and its name are on the disk before the journal names it.
    const auto at = [&](const std::string& call) { return std::find(durable.calls.begin(), durable.calls.end(), call) - durable.calls.begin(); };
    EXPECT_LT(at("file " + backup.filename().string()), at("folder backups")) << testing::PrintToString(durable.calls);
    EXPECT_LT(at("folder backups"), at("file " + j.id + ".journal.tmp"));
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    const Bytes journalText = testsupport::readBytes(file), backupBytes = testsupport::readBytes(backup), cut = flash();

    struct Case { const char* what; std::function<void()> tamper; std::vector<std::string> args; const char* says; };
    const auto edited = [&] {
        std::string t(journalText.begin(), journalText.end());
        t.replace(t.find("\"writing\""), 9, "\"verified\"");
        testsupport::writeBytes(file, Bytes(t.begin(), t.end()));
    };
    const auto swapped = [&] { fs::remove(backup), testsupport::writeBytes(backup, Bytes(backupBytes.size(), 0)); };
    const auto linked = [&] { fs::remove(backup), fs::create_symlink(file, backup); };
    const auto fifo = [&] { fs::remove(file), ::mkfifo(file.c_str(), 0600); };
    const auto grown = [&] { testsupport::writeBytes(file, Bytes(cli::kJournalLimit + 1, ' ')); };
    const auto opened = [&] { fs::permissions(folder, fs::perms::others_write, fs::perm_options::add); };
    const std::vector<std::string> restore{"recover", "--restore", "--yes"}, finish{"recover", "--yes"};
    for (const Case& c : std::initializer_list<Case>{
             {"edited", edited, finish, "changed since q55x wrote it"},
             {"edited", edited, update(u), "It may be this enclosure's interrupted update"},
             {"swapped backup", swapped, restore, "is not the one taken before the update"},
             {"linked backup", linked, restore, "is a link"},
             {"fifo", fifo, update(u), "is not a plain file"},
             {"grown", grown, finish, "larger"},
             {"open folder", opened, finish, "may be written by others (mode 0702); `chmod 700"},
             {"open folder", opened, update(u), "may be written by others"}}) {
        SCOPED_TRACE(c.what);
        c.tamper();
        const testsupport::CliRun r = run(sim(u), c.args);
        EXPECT_NE(r.code, 0);
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
        EXPECT_EQ(flash(), cut) << "nothing was written";
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
        fs::remove(file), fs::remove(backup);
        testsupport::writeBytes(file, journalText), testsupport::writeBytes(backup, backupBytes);
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
    }

    // A restore cut short after its write leaves a journal that is no longer the update's: taking
    // it up writes the update in full, never "written and verified" on the old firmware.
    const Update& v = kUpdates[0];
    ASSERT_EQ(run(sim(u), {"journal", "discard", j.id, "--yes"}).code, 0);
    const uint64_t firstOf528 = cleanRun(v, updated);
    const auto cutUpdate = [&] {
        fresh(v);
        ASSERT_EQ(run(sim(v, ",powercut=" + std::to_string(firstOf528 + 40)), update(v, true)).code, 8);
    };
    cutUpdate();
    uint64_t n = 0;
    {
        const transport::ScopedCommandListener count([&](const transport::TraceEntry&) { ++n; });
        ASSERT_EQ(run(sim(v), restore).code, 0);
    }
    cutUpdate();
    EXPECT_EQ(run(sim(v, ",powercut=" + std::to_string(n - 3)), restore).code, 1);
    const testsupport::CliRun r = run(sim(v), finish);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("had been written and verified"), std::string::npos) << r.out;
    EXPECT_EQ(firmware(v), updated);
}

}  // namespace

namespace {

// The disk behind the bridge in use on the host: the update refuses before it reads or writes
// anything, saying what uses it and how to end that; --force goes on with a warning. An interrupt
// before the first erase ends the update with nothing changed; one after it lets it finish.
TEST_F(CliJournal, TheDiskAndTheUserAreHeardBeforeTheFirstErase) {
    const Update& u = kUpdates[0];
    struct Case { const char* faults; std::vector<std::string> extra; uint8_t signalAt; int code; const char* says; bool changed; };
    for (const Case& c : std::initializer_list<Case>{
             {",inuse=/media/ann/DATA", {}, 0, 1, "is mounted on /media/ann/DATA. The bridge's reset", false},
             {",inuse=/media/ann/DATA", {}, 0, 1, "`umount /media/ann/DATA`", false},
             {",inuse=/media/ann/DATA", {"--force"}, 0, 0, "warning: the disk behind sim:/dev/sg1 is in use", true},
             {",inuse=held", {}, 0, 1, "is open for another program's sole use", false},
             {",inuse=held", {"--force"}, 0, 0, "warning: the disk behind sim:/dev/sg1 is in use", true},
             {"", {}, 1, 130, "Interrupted before anything was erased: nothing changed", false},
             {"", {}, 2, 0, "the update was let finish", true}}) {
        SCOPED_TRACE(c.says);
        const Bytes before = fresh(u);
        std::vector<std::string> args = update(u, true);
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        bool raised = false;
        const auto ctrlC = [&] {
            if (!raised) ::raise(SIGINT);
            raised = true;
        };
        // 1: as the backup is flushed; 2: at the first erase or write of the flash.
        durable.onCall = [&] {
            if (c.signalAt == 1) ctrlC();
        };
        const transport::ScopedCommandListener erase([&](const transport::TraceEntry& e) {
            if (c.signalAt == 2 && e.cdb && vendor::cdb::changesDevice(*e.cdb)) ctrlC();
        });
        const testsupport::CliRun r = run(sim(u, c.faults), args);
        EXPECT_EQ(r.code, c.code) << r.out << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(flash() != before, c.changed);
        EXPECT_TRUE(journals().empty());
    }
    durable.onCall = {};
}

// The host's side of it: mounts (their blanks escaped), holders and swap, read from sysfs and proc.
TEST(DiskUse, MountsHoldersAndSwapOfTheDiskAndItsPartitions) {
    const fs::path root = testsupport::testFolder();
    const auto put = [&](const std::string& rel, const std::string& text) {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel) << text;
    };
    put("sys/block/sdb/dev", "8:16\n");
    put("sys/block/sdb/sdb1/dev", "8:17\n");
    put("sys/block/sdb/sdb2/dev", "8:18\n");
    fs::create_directories(root / "sys/block/sdb/sdb2/holders/dm-0");
    put("sys/block/sdb/sdb3/dev", "8:19\n");
    put("sys/block/sdbb/dev", "8:32\n");
    put("proc/self/mountinfo", "22 1 8:17 / /media/ann/My\\040Disk rw - vfat /dev/sdb1 rw\n"
                               "23 1 8:32 / /srv rw - ext4 /dev/sdbb rw\n");
    put("proc/swaps", "Filename Type Size Used Priority\n/dev/sdb3 partition 1024 0 -2\n/dev/sdbb partition 1 0 -3\n");
    const std::vector<std::string> want{"/dev/sdb2 is held by dm-0", "/dev/sdb1 is mounted on /media/ann/My Disk",
                                        "/dev/sdb3 is active swap"};
    EXPECT_EQ(cli::diskUsers("/dev/sdb", (root / "sys").string(), (root / "proc").string()), want);
    EXPECT_NE(cli::howToFreeDisk(want).find("`swapoff /dev/sdb3`"), std::string::npos);
    fs::remove_all(root);
}

}  // namespace

namespace {

// The machine is kept from sleeping for the whole write, by update, flash and recover alike: every
// command that erases or writes goes out while the hold stands, and none is left when they end.
TEST_F(CliJournal, TheMachineStaysAwakeWhileTheFlashIsWritten) {
    struct Hold final : cli::KeepAwake::Hold {
        int& count;
        explicit Hold(int& c) : count(c) { ++count; }
        ~Hold() override { --count; }
    };
    int held = 0;
    size_t writes = 0, unheld = 0;
    const cli::KeepAwake::Taker old = cli::KeepAwake::setTaker([&](std::string&) { return std::make_unique<Hold>(held); });
    const transport::ScopedCommandListener watch([&](const transport::TraceEntry& e) {
        if (e.cdb && vendor::cdb::changesDevice(*e.cdb)) writes += 1, unheld += held == 0;
    });
    std::string updated;
    EXPECT_GT(cleanRun(kUpdates[3], updated), 0u);
    const uint64_t first = cleanRun(kUpdates[0], updated);
    EXPECT_EQ(run(sim(kUpdates[0], ",powercut=" + std::to_string(first + 2)), update(kUpdates[0])).code, 8);
    const size_t beforeRecover = writes;
    EXPECT_EQ(run(sim(kUpdates[0]), {"recover", "--yes"}).code, 0);
    EXPECT_GT(writes, beforeRecover);
    EXPECT_EQ(unheld, 0u);
    EXPECT_EQ(held, 0);
    cli::KeepAwake::setTaker(old);
}

// Twins (one serial: here two enclosures of one state file) are never taken one for the other:
// `flash --all` and `recover` refuse to guess and list them for --device.
TEST_F(CliJournal, TwinsAreNeverTakenOneForTheOther) {
    const Update& u = kUpdates[0];
    std::string updated;
    const uint64_t first = cleanRun(u, updated);
    const Bytes before = fresh(u);
    const auto twins = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--sim", sim(u), "--sim", sim(u)});
        return q55x(args);
    };
    std::vector<std::string> all = update(u);
    all.insert(all.begin() + 1, "--all");
    testsupport::CliRun r = twins(all);
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.err.find("2 enclosures answer alike (serial state:"), std::string::npos) << r.err;
    EXPECT_EQ(flash(), before);

    ASSERT_EQ(run(sim(u, ",powercut=" + std::to_string(first + 2)), update(u)).code, 8);
    const Bytes cut = flash();
    r = twins({"recover", "--yes"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("2 attached enclosures answer as this journal's QVD528 Series (sim:/dev/sg1, sim:/dev/sg2): name one "
                         "with --device"), std::string::npos) << r.out;
    EXPECT_EQ(flash(), cut);
    EXPECT_EQ(twins({"--device", "sim:/dev/sg1", "recover", "--yes"}).code, 0);
}

}  // namespace
