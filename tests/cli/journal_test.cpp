// The journal of an update and `q55x recover`, as a user meets them: an update cut short by a power
// cut or by q55x being killed is finished (or undone) from its journal with the chip's settings in
// place; the journal is on the disk before anything is erased; journals of other enclosures are
// listed and never acted on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "cli/journal.h"
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
    bool syncFile(const std::string& p) override { return record("file " + fs::path(p).filename().string()); }
    bool syncFolder(const std::string& p) override { return record("folder " + fs::path(p).filename().string()); }
    bool record(std::string c) {
        calls.push_back(std::move(c));
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
    EXPECT_EQ(run(sim(u), {"journal", "discard", id}).code, 0);
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
    EXPECT_NE(r.err.find("cannot keep the update's journal"), std::string::npos) << r.err;
    EXPECT_EQ(flash(), before);
}

}  // namespace
