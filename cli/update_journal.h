// What ties a journal to a device and to an update: the enclosure's identity as it reads now,
// which stretches an update keeps and where they stand in the image it writes, the reads of those
// stretches, and the journal an update keeps while it runs (its stages taken from the commands
// themselves, at the transport's trace point, so the procedures are not touched).
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/context.h"
#include "cli/journal.h"
#include "update/failure_cause.h"
#include "update/run_dispatch.h"
#include "update/update_window.h"
#include "transport/trace.h"

namespace cli {

// The procedure in the journal's words: the family's own ("direct", "528", ...), "one-button".
std::string journalProcedureName(firmware::RunProcedure p, bool oneButton);

// The identity of the bridge at `path` (one chip information read).
EnclosureIdentity identityOf(Context& ctx, const std::string& path, vendor::ChipType type);

// The device at `path` identified again right before the first write, after any question: 0 when
// it is still the enclosure `asked` was read from, else the exit code after saying so.
int stillTheSame(Context& ctx, const std::string& path, const EnclosureIdentity& asked);

// A bridge that is attached now, with its identity.
struct AttachedBridge {
    vendor::ListedDevice device;
    EnclosureIdentity identity;
};
// The bridges the command looks at (--device, else all), identified.
std::vector<AttachedBridge> attachedBridges(Context& ctx);

// The selected device as an update has it: identified, flash detected.
firmware::SelectedDevice selectedDevice(const vendor::ListedDevice& d, vendor::DeviceRecord& record);

// Reads `len` flash bytes at `at` through the family's read path, until two reads in a row agree
// (at most three). False when the family has none or the reads fail or disagree.
bool readStretchTwice(const firmware::SelectedDevice& dev, uint32_t at, size_t len, std::vector<uint8_t>& out);

// The stretches an update keeps and the image it writes with them in place, planned from the
// procedure's rules before anything is read: which bytes the procedure keeps for this file and
// these options, and where it puts them.
struct KeptPlan {
    std::string what;
    uint32_t at = 0, len = 0;
    PutBack putBack = PutBack::InImage;
    int copyOf = -1;   // a bank's copy: it holds what the update puts in that stretch; not read
};
struct UpdatePlan {
    firmware::RunProcedure procedure = firmware::RunProcedure::None;
    bool oneButton = false;
    std::vector<uint8_t> file;     // the file, or the carried image
    bool includeNvram = false;
    bool productSn = false;
    bool chipOnRomLoader = false;  // the QVR29x waits for a RAM image: the buffer path erases its chip
};
std::vector<KeptPlan> keptStretches(const firmware::SelectedDevice& dev, const UpdatePlan& p);
// The file with the kept stretches (read, in plan order) where the update writes them: written whole
// it leaves the flash as the update with its options would.
std::vector<uint8_t> imageWithKept(const firmware::SelectedDevice& dev, const UpdatePlan& p,
                                   const std::vector<KeptPlan>& plan, const std::vector<std::vector<uint8_t>>& bytes);

// The stages of an update as its commands show them: the first erase or write, each further 64 KiB
// of flash written, the chip reset. Its command listener nests with the others of the thread: it
// is made after the window's and before the failure watch's, and goes in the opposite order.
class StageWatch {
public:
    StageWatch(JournalStore& store, Journal& journal);
    void set(Stage s);
    bool resetSeen() const { return resetSeen_; }
    // The journal is closed: nothing more is written to it.
    void stop() { stopped_ = true; }

private:
    void onCommand(const transport::TraceEntry& e);
    void save();

    JournalStore& store_;
    Journal& j_;
    bool resetSeen_ = false;
    bool stopped_ = false;
    transport::ScopedCommandListener listener_;
};

// The journal of one update, from before its first erase to its end.
class UpdateJournal {
public:
    struct Request {
        std::string command;          // "flash" or "update"
        std::string file;             // as the user named it
        UpdatePlan plan;
        firmware::Settings settings;
        std::string backup;
        std::string versionBefore;
    };
    // Reads the kept stretches, writes the journal and the image copy and has them flushed, the
    // backup too. 0 to go on, else the exit code after reporting why (nothing was written).
    int begin(Context& ctx, const firmware::SelectedDevice& dev, const Request& r);
    void stage(Stage s) {
        if (watch_) watch_->set(s);
    }
    // Closes the journal after a success or a failure that changed nothing; otherwise it stays
    // open and the returned line names it.
    std::string end(bool ok, bool deviceChanged);
    // What to do after a failure that left the journal open.
    static std::string nextStep(const firmware::FailureCause& cause);
    const std::string& id() const { return j_.id; }

private:
    JournalStore store_;
    Journal j_;
    bool open_ = false;
    std::unique_ptr<StageWatch> watch_;
};

// An update refused because the enclosure's last one was interrupted: 0, or the exit code after
// saying so.
int refuseWhileInterrupted(Context& ctx, const std::string& path, vendor::ChipType type);
// The notice every command gives when an attached enclosure has an open journal.
void noticeInterruptedUpdates(Context& ctx);

}  // namespace cli
