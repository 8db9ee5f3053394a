// What q55x does before it writes to a bridge: keep a copy of the flash, ask the user, refuse a
// reinstall or a downgrade unless told, or only show the plan.
#pragma once
#include <string>

#include "cli/context.h"
#include "update/update_window.h"

namespace CLI {
class App;
}

namespace cli {

struct WriteGuards {
    bool yes = false;
    bool noBackup = false;
    bool dryRun = false;
    bool allowReinstall = false;
    bool allowOlder = false;
    bool force = false;   // write while the disk behind the bridge is in use
};

void addWriteGuardOptions(CLI::App& sub, WriteGuards& g);

// Where backups go: $XDG_STATE_HOME/q55x/backups, else ~/.local/state/q55x/backups.
std::string backupDirectory();

// A settings file's VID and PID, for discovery to ask devices that introduce themselves so (a
// file that cannot be read is reported later, by the command on each device).
void acceptSettingsIds(Context& ctx, const std::string& settingsFile);

// With --yes and no --device, a write goes to no bridge when several are attached: the first found
// is not necessarily the one the user means. Returns 0 to go on, else the exit code after saying so.
int refuseAmbiguousDevice(Context& ctx, const WriteGuards& g, const std::vector<vendor::ListedDevice>& found);

// Asks on a terminal; without one, --yes is required. Returns 0 to go on, else the exit code.
int confirmWrite(Context& ctx, const WriteGuards& g, const std::string& question);

// Reads the whole flash through the family's read path into a new file under backupDirectory().
// Returns 0 and the file in `where`, or an exit code after reporting why.
int backupFlash(Context& ctx, firmware::UpdateWindow& w, const firmware::SelectedDevice& dev, std::string& where);

// Refuses, before anything is erased, while the host uses the disk behind the bridge at `path`:
// the chip's reset would drop it with what is not written yet. With `force`, a warning. 0 to go on,
// else the exit code after saying what uses it and how to end that. Going on, `hold` keeps the
// disk opened for this process alone where the platform can (nobody mounts it meanwhile); the
// open is refused too while something the mount tables do not show holds the disk.
int refuseWhileDiskInUse(Context& ctx, const std::string& path, bool force, std::unique_ptr<DiskHold>& hold);

class UpdateJournal;
// An update interrupted (SIGINT, SIGTERM, SIGHUP) before its first erase: its journal, if begun,
// is closed, and the user told that nothing changed. Returns kExitCancelled.
int endInterrupted(Context& ctx, UpdateJournal* journal);

// Versions as four bytes, most significant first: -1 older, 0 same, 1 newer.
int compareVersions(const uint8_t* candidate, const uint8_t* current);

}  // namespace cli
